#pragma once
// A snapshot of the MIDI input's state, as MidiIn::inputView returns it.
//
// Threading: a plain value; MidiIn::inputView may be called from any thread
// but the MIDI input thread, and copying one is safe anywhere.
#include <cstdint>
#include <string>

/// The MIDI input device at one moment: which one, whether it is open, and
/// what it delivered and lost since the object was made.
struct MidiInputView
{
  /// Whether a device is open.
  enum class State
  {
    closed,  ///< none was opened yet, or it was closed for good
    open,    ///< the device is open and delivers events
    gone,    ///< the device went away; the watch opens it when it returns
  };

  /// The device's name as the device list gives it; empty before an open.
  std::string device;
  /// Whether the device is open.
  State state = State::closed;
  /// Messages the MIDI system handed the input, delivered or not (where the
  /// layer counts them; on Windows the same as eventsRead plus dropped).
  std::uint64_t received = 0;
  /// Short messages delivered to the bridge.
  std::uint64_t eventsRead = 0;
  /// Periods the MIDI system ran without the input (JACK: its thread came
  /// too late), whose messages are lost uncounted.
  std::uint64_t periodsMissed = 0;
  /// Messages the MIDI system dropped before delivering them (its input
  /// queue was full); the same count as the "messages dropped" lines.
  std::uint64_t dropped = 0;
};

/// "closed", "open" or "gone".
inline const char* toString(MidiInputView::State state)
{
  constexpr const char* names[] = {"closed", "open", "gone"};
  return names[static_cast<int>(state)];
}
