#pragma once
// Snapshots of the bridge's own state, as Midi::clockView and
// Midi::settingsView return them.
//
// Threading: plain values; the bridge fills them from relaxed atomics, so
// they may be taken on any thread, and copying one is safe anywhere.
#include <cstdint>
#include <optional>

/// The MIDI clock as the bridge follows it.
struct ClockView
{
  /// True between a start and a stop.
  bool running = false;
  /// The tempo measured over the last whole beat, in beats per minute;
  /// empty until one was measured.
  std::optional<std::int64_t> bpm;
};

/// The values that every action's filter and every trace look at.
struct SettingsView
{
  /// The parameter word.
  std::uint32_t parameter = 0;
  /// The trace threshold.
  int debugLevel = 0;
};
