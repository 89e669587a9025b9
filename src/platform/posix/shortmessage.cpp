// Packing of MIDI messages into Windows' short message word.
#include "shortmessage.h"

namespace
{
  // Length of the whole message that starts with `status`, or 0 for the
  // system exclusive bytes that never form a short message.
  std::size_t messageLength(unsigned char status)
  {
    switch (status >> 4)
    {
    case 0xC:
    case 0xD:
      return 2;
    case 0xF:
      break;
    default:
      return 3;
    }
    switch (status)
    {
    case 0xF0:
    case 0xF7:
      return 0;
    case 0xF1:
    case 0xF3:
      return 2;
    case 0xF2:
      return 3;
    default:
      return 1;  // tune request, real-time messages and the undefined ones
    }
  }
}

ShortMessageKind packShortMessage(const unsigned char* bytes, std::size_t size, DWORD& word)
{
  word = 0;
  if (size == 0)
    return ShortMessageKind::dropped;
  for (std::size_t i = 0; i < size && i < 3; ++i)
    word |= static_cast<DWORD>(bytes[i]) << (8 * i);

  const unsigned char status = bytes[0];
  if (status < 0x80)
    return ShortMessageKind::invalid;  // running status never reaches us complete
  const std::size_t length = messageLength(status);
  if (length == 0)
    return ShortMessageKind::dropped;
  if (size != length)
    return ShortMessageKind::invalid;
  for (std::size_t i = 1; i < size; ++i)
    if (bytes[i] >= 0x80)
      return ShortMessageKind::invalid;
  return ShortMessageKind::data;
}
