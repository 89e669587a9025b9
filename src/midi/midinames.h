#pragma once
// The MIDI numbers the bridge acts on, by name: the message kinds (the high
// nibble of a status byte), the system messages of the realtime clock (the
// low nibble of a kind 15 status byte), the channel slot of an event and the
// rule that tells an off event from an on event.
//
// Threading: constants and pure functions; usable from any thread.
#include <cstdint>

namespace midiname
{
  /// Note off (status 0x80 to 0x8F).
  constexpr std::uint8_t noteOff = 8;
  /// Note on (status 0x90 to 0x9F); with velocity 0 it is an off event.
  constexpr std::uint8_t noteOn = 9;
  /// Control change (status 0xB0 to 0xBF).
  constexpr std::uint8_t controlChange = 11;
  /// System messages (status 0xF0 to 0xFF); the low nibble names the message.
  constexpr std::uint8_t systemMessage = 15;

  /// Timing clock, 24 per quarter note (status 0xF8).
  constexpr std::uint8_t clock = 8;
  /// Start of the clock source's transport (status 0xFA).
  constexpr std::uint8_t start = 10;
  /// Stop of the clock source's transport (status 0xFC).
  constexpr std::uint8_t stop = 12;
  /// Continue of the clock source's transport (status 0xFB).
  constexpr std::uint8_t continueClock = 11;

  /// True for the system messages of the clock (clock, start, continue,
  /// stop, and the system common messages the clock handling treats as
  /// them: 0xF0, 0xF2, 0xF3 and 0xF4), given the low nibble.
  constexpr bool isClockMessage(int subtype)
  {
    const int selector = subtype | 8;
    return selector == clock || selector == start || selector == continueClock || selector == stop;
  }

  /// Channel slots 0 to 15 hold the notes of channels 0 to 15; the Control
  /// changes of channel c go to slot controlSlotBase + c.
  constexpr int controlSlotBase = 16;

  /// The channel slot of a Note off, Note on or Control change on `channel`.
  constexpr int slotOf(int kind, int channel)
  {
    return kind == controlChange ? channel + controlSlotBase : channel;
  }

  /// The names of a message kind (8 to 15) or of a system message (by the
  /// low three bits of its number, 0xF8 first): the trace's, and the
  /// status document's (null where the document has none of its own).
  struct Names
  {
    const char* trace;
    const char* document;
  };

  /// Kinds 8 to 15, by the low three bits of the kind.
  constexpr Names kindNames[8] = {
    {"Note off", "note_off"},       {"Note on", "note_on"},         {"key pressure", "aftertouch"},
    {"parameter", "control_change"}, {"program", "program_change"}, {"chan pressure", "channel_pressure"},
    {"pitch wheel", "pitch_bend"},  {"realtime", nullptr},
  };

  /// System messages 0xF8 to 0xFF (the system common ones share them), by
  /// the low three bits of the number.
  constexpr Names systemNames[8] = {
    {"clocktick", "clock"}, {"undef", nullptr},   {"start", "start"},    {"continue", "continue"},
    {"stop", "stop"},       {"undef", nullptr},   {"sensing", nullptr},  {"reset", nullptr},
  };

  /// True for an off event: a Note off, or a Note on with velocity 0.
  /// Every other event that reaches an operation, Control change 0 included, is on.
  constexpr bool isOffEvent(int kind, int data2)
  {
    return kind == noteOff || (kind == noteOn && data2 == 0);
  }
}
