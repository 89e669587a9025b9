#pragma once
// Where a PatternPlayer sends its MIDI messages.
//
// Threading: called on the player's thread only; no callbacks, no locks.
#include <cstddef>
#include <cstdint>

namespace midipattern
{
  /// Receives short MIDI messages, one call per message.
  class MidiSink
  {
  public:
    virtual ~MidiSink() = default;
    /// Sends one complete message of `size` bytes.
    virtual void sendMessage(const std::uint8_t* bytes, std::size_t size) = 0;
  };
}
