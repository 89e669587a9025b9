#include "vaxo-sim/screen_text.h"

namespace vaxosim
{
  std::string screenText(std::string_view text, std::size_t maxBytes)
  {
    static const char hex[] = "0123456789abcdef";
    std::string shown;
    shown.reserve(text.size() < 256 ? text.size() : 256);
    bool blank = false;
    for (std::size_t i = 0; i < text.size(); ++i)
    {
      auto c = static_cast<unsigned char>(text[i]);
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r')
      {
        blank = true;
        continue;
      }
      if (blank && !shown.empty())
        shown.push_back(' ');
      blank = false;
      if (c < 0x20 || c == 0x7f)
      {
        shown += "\\x";
        shown.push_back(hex[c >> 4]);
        shown.push_back(hex[c & 15]);
      }
      else
        shown.push_back(static_cast<char>(c));
      if (maxBytes != 0 && shown.size() > maxBytes)
        break;
    }
    if (maxBytes != 0 && shown.size() > maxBytes)
    {
      std::size_t cut = maxBytes;
      // Never cut a UTF-8 sequence in two.
      while (cut > 0 && (static_cast<unsigned char>(shown[cut]) & 0xC0) == 0x80)
        --cut;
      shown.resize(cut);
      shown += " ... (" + std::to_string(text.size()) + " bytes)";
    }
    return shown;
  }
}
