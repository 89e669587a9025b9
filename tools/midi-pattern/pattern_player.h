#pragma once
// Plays a Pattern to a MidiSink in real time.
//
// Threading: play() runs on the caller's thread and sends from it; the stop
// flag may be raised from any thread or a signal handler.
#include <atomic>
#include <chrono>
#include <ostream>

#include "midi-pattern/event_source.h"
#include "midi-pattern/midi_sink.h"
#include "midi-pattern/pattern.h"

namespace midipattern
{
  /// Sends each event of a pattern at its time, no two closer than the gap.
  class PatternPlayer
  {
  public:
    /// Captions (and with `verbose` every message) are printed to `out`.
    PatternPlayer(MidiSink& sink, std::ostream& out, std::chrono::milliseconds gap, bool verbose);

    /// Plays the whole pattern; returns false when `stop` was raised first,
    /// after releasing the notes still held and stopping a running clock.
    bool play(const Pattern& pattern, const std::atomic<bool>& stop);
    /// Plays the events of `source`, then waits until `lengthMicros` after
    /// the start; returns false when `stop` was raised first, as play does.
    bool play(EventSource& source, std::int64_t lengthMicros, const std::atomic<bool>& stop);

  private:
    // Sleeps until `when`, waking for `stop`; false when stopped.
    bool sleepUntil(std::chrono::steady_clock::time_point when, const std::atomic<bool>& stop);
    void send(const PatternEvent& event);
    void releaseAll();

    MidiSink& sink_;
    std::ostream& out_;
    std::chrono::milliseconds gap_;
    bool verbose_;
    bool held_[16][128] = {};
    bool started_ = false;
  };
}
