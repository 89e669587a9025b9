#pragma once
// A pattern ready to play: MIDI messages and captions, each at its time
// from the start, in the order they are to go out.
//
// Threading: a plain value; no callbacks, no locks.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace midipattern
{
  /// One thing to do at one moment: send a short MIDI message, or print a caption.
  struct PatternEvent
  {
    /// Microseconds from the start of the pattern.
    std::int64_t micros = 0;
    /// The message's bytes; only the first `size` count.
    std::array<std::uint8_t, 3> bytes{};
    /// Number of message bytes, 0 for a caption.
    std::uint8_t size = 0;
    /// The text a caption prints; empty for a message.
    std::string caption;
    /// The pattern file line the event comes from.
    int line = 0;
  };

  /// The timed events of a pattern, sorted by time.
  class Pattern
  {
  public:
    /// Adds an event; call sortByTime() once all are added.
    void add(PatternEvent event);
    /// Orders the events by time; events of equal time keep the order they were added in.
    void sortByTime();
    /// Sets the length (at least the time of the last event).
    void setLengthMicros(std::int64_t micros) { lengthMicros_ = micros; }

    /// The events, in playing order once sorted.
    const std::vector<PatternEvent>& events() const { return events_; }
    /// Microseconds from the start to the end of the pattern.
    std::int64_t lengthMicros() const { return lengthMicros_; }
    /// Number of MIDI messages (captions not counted).
    std::size_t messageCount() const;

  private:
    std::vector<PatternEvent> events_;
    std::int64_t lengthMicros_ = 0;
  };

  /// A short readable description of a message, e.g. "note on ch 0 60 100" or "clock".
  std::string describeMessage(const PatternEvent& event);
}
