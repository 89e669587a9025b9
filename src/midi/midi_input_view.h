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
  /// Short messages the MIDI system delivered.
  std::uint64_t eventsRead = 0;
  /// Messages the MIDI system dropped before delivering them (its input
  /// queue was full); the same count as the "messages dropped" lines.
  std::uint64_t dropped = 0;
};

/// "closed", "open" or "gone".
const char* toString(MidiInputView::State state);
