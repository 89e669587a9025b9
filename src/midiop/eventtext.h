#pragma once
// Helpers shared by the operation kinds: the on/off rule of the MIDI names
// and the building of the texts they send, without streams, into a buffer
// the caller reuses.
//
// Threading: plain functions; they run wherever their caller runs (the MIDI
// input thread, under the bridge's lock, for every execute).
#include <charconv>
#include <string>

#include "midi/midinames.h"

namespace midiop
{
  /// The on/off rule every kind that tells them apart follows.
  using midiname::isOffEvent;

  /// Appends `value` in decimal.
  inline void appendDecimal(std::string& text, int value)
  {
    char digits[16];
    const std::to_chars_result end = std::to_chars(digits, digits + sizeof digits, value);
    text.append(digits, end.ptr);
  }

  /// Appends `value` as a stream writes a double by default: at most six
  /// significant digits, no trailing zeros, exponent form when very large or small.
  inline void appendDouble(std::string& text, double value)
  {
    char digits[32];
    const std::to_chars_result end =
        std::to_chars(digits, digits + sizeof digits, value, std::chars_format::general, 6);
    text.append(digits, end.ptr);
  }
}
