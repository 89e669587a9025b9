#pragma once
// The order in which a song's messages go out: its channel messages by
// tick and, with the clock, a start first, 24 clocks per quarter note
// following the tempo map and a stop at the song's end. A clock due at the
// same tick as channel messages goes before them. midi-pattern plays this
// order and notara --render feeds it to the bridge, so both see the same.
//
// Threading: one cursor per thread; the song must outlive it.
#include <array>
#include <cstddef>
#include <cstdint>

#include "midifile/song.h"

namespace midifile
{
  /// One message and when it is due.
  struct SongMessage
  {
    double tick = 0;                      ///< ticks from the start (a clock may fall between ticks)
    double seconds = 0;                   ///< seconds from the start of the song
    std::array<std::uint8_t, 3> bytes{};  ///< status and data bytes
    std::uint8_t size = 0;                ///< 1 to 3
  };

  /// Walks a song's messages in playing order without copying them.
  class SongCursor
  {
  public:
    /// From `fromSeconds` on (earlier messages are skipped; the clock's
    /// start goes out there); `clock` adds start, clocks and stop.
    SongCursor(const Song& song, bool clock, double fromSeconds = 0);
    /// The next message into `message`; false at the end.
    bool next(SongMessage& message);

  private:
    // Seconds at `tick`, which never decreases from one call to the next.
    double secondsAt(double tick);

    const Song& song_;
    bool clock_;
    double fromTick_;
    std::size_t event_ = 0;
    std::uint64_t clockIndex_ = 0;
    bool started_ = false;
    bool stopped_ = false;
    std::size_t tempo_ = 0;
    double tempoMicros_ = 0;  // microseconds at tempos[tempo_].tick
  };
}
