// LineReader: the line framing of the server-to-client direction.
#include "line_reader.h"

#include <cstring>

namespace vaxo::detail
{
  namespace
  {
    // A buffer that grew past this is given back after its line, so that one
    // huge message doesn't pin a megabyte for the rest of the connection.
    constexpr std::size_t kKeptCapacity = 64 * 1024;
  }

  LineReader::LineReader(std::size_t maxLine) : maxLine_(maxLine) {}

  void LineReader::feed(const char* data, std::size_t size, Sink& sink)
  {
    while (size > 0)
    {
      const auto* newline = static_cast<const char*>(std::memchr(data, '\n', size));
      const std::size_t chunk = newline != nullptr ? static_cast<std::size_t>(newline - data) : size;
      const std::size_t consumed = newline != nullptr ? chunk + 1 : size;

      if (discarding_)
      {
        if (newline != nullptr)
          discarding_ = false;
      }
      else if (newline != nullptr && buffer_.empty())
      {
        // The usual case: the whole line lies in this read; no copy.
        finish(std::string_view(data, chunk), sink);
      }
      else if (buffer_.size() + chunk > maxLine_ + 1)
      {
        // One byte more than the limit may be a '\r' that ends the line, so
        // the line is known to be too long only past that.
        release();
        discarding_ = newline == nullptr;
        sink.onTooLong();
      }
      else
      {
        buffer_.append(data, chunk);
        if (newline != nullptr)
        {
          finish(buffer_, sink);
          if (buffer_.capacity() > kKeptCapacity)
            release();
          else
            buffer_.clear();
        }
      }

      data += consumed;
      size -= consumed;
    }
  }

  void LineReader::finish(std::string_view line, Sink& sink)
  {
    if (!line.empty() && line.back() == '\r')
      line.remove_suffix(1);
    if (line.size() > maxLine_)
      sink.onTooLong();
    else
      sink.onLine(line);
  }

  void LineReader::release()
  {
    std::string().swap(buffer_);
  }
}
