#include "midi-pattern/song_events.h"

#include <algorithm>
#include <cmath>

namespace midipattern
{
  SongEvents::SongEvents(const midifile::Song& song, bool clock, double fromSeconds)
      : cursor_(song, clock, fromSeconds),
        fromSeconds_(fromSeconds),
        lengthMicros_(std::max<std::int64_t>(
          0, std::llround((song.secondsAt(double(song.endTick)) - fromSeconds) * 1e6)))
  {
  }

  bool SongEvents::next(PatternEvent& event)
  {
    midifile::SongMessage message;
    if (!cursor_.next(message))
      return false;
    event = PatternEvent{};
    event.micros = std::max<std::int64_t>(0, std::llround((message.seconds - fromSeconds_) * 1e6));
    event.bytes = message.bytes;
    event.size = message.size;
    return true;
  }
}
