#pragma once
// A song file's messages as a PatternPlayer plays them: midifile's
// SongCursor order (the order notara --render dispatches), with times
// counted from the starting point.
//
// Threading: the player's thread; the song must outlive the object.
#include <cstdint>

#include "midi-pattern/event_source.h"
#include "midifile/song.h"
#include "midifile/song_cursor.h"

namespace midipattern
{
  /// The messages of a song from `fromSeconds` on.
  class SongEvents : public EventSource
  {
  public:
    /// `clock` adds start, 24 clocks per quarter note and stop.
    SongEvents(const midifile::Song& song, bool clock, double fromSeconds);
    /// The next message, its time in microseconds after the starting point.
    bool next(PatternEvent& event) override;
    /// Microseconds from the starting point to the song's end.
    std::int64_t lengthMicros() const { return lengthMicros_; }

  private:
    midifile::SongCursor cursor_;
    double fromSeconds_;
    std::int64_t lengthMicros_;
  };
}
