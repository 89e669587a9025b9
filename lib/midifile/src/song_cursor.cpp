#include "midifile/song_cursor.h"

#include <algorithm>
#include <cmath>

namespace midifile
{
  namespace
  {
    constexpr std::uint64_t clocksPerQuarter = 24;
  }

  SongCursor::SongCursor(const Song& song, bool clock, double fromSeconds)
      : song_(song), clock_(clock), fromTick_(fromSeconds > 0 ? song.tickAt(fromSeconds) : 0)
  {
    while (event_ < song_.events.size() && double(song_.events[event_].tick) < fromTick_)
      ++event_;
    // The first clock at or after the starting point.
    clockIndex_ = static_cast<std::uint64_t>(std::ceil(fromTick_ * clocksPerQuarter / song_.division));
    while (double(clockIndex_) * song_.division / clocksPerQuarter < fromTick_)
      ++clockIndex_;
  }

  double SongCursor::secondsAt(double tick)
  {
    const std::vector<TempoChange>& tempos = song_.tempos;
    while (tempo_ + 1 < tempos.size() && double(tempos[tempo_ + 1].tick) <= tick)
    {
      tempoMicros_ += double(tempos[tempo_ + 1].tick - tempos[tempo_].tick) * tempos[tempo_].microsPerQuarter /
                      song_.division;
      ++tempo_;
    }
    const double micros =
      tempoMicros_ + (tick - double(tempos[tempo_].tick)) * tempos[tempo_].microsPerQuarter / song_.division;
    return micros / 1e6;
  }

  bool SongCursor::next(SongMessage& message)
  {
    message = SongMessage{};
    if (clock_ && !started_)
    {
      started_ = true;
      message.tick = fromTick_;
      message.bytes[0] = 0xFA;
      message.size = 1;
      message.seconds = secondsAt(message.tick);
      return true;
    }
    const bool eventLeft = event_ < song_.events.size();
    // Clock k is due at tick k * division / 24; compared in 24ths of a tick.
    const std::uint64_t clockTicks24 = clockIndex_ * song_.division;
    const bool clockDue = clock_ && clockTicks24 < song_.endTick * clocksPerQuarter &&
                          (!eventLeft || clockTicks24 <= song_.events[event_].tick * clocksPerQuarter);
    if (clockDue)
    {
      ++clockIndex_;
      message.tick = double(clockTicks24) / clocksPerQuarter;
      message.bytes[0] = 0xF8;
      message.size = 1;
    }
    else if (eventLeft)
    {
      const SongEvent& event = song_.events[event_++];
      message.tick = double(event.tick);
      message.bytes = event.bytes;
      message.size = event.size;
    }
    else if (clock_ && !stopped_)
    {
      stopped_ = true;
      message.tick = std::max(double(song_.endTick), fromTick_);
      message.bytes[0] = 0xFC;
      message.size = 1;
    }
    else
      return false;
    message.seconds = secondsAt(message.tick);
    return true;
  }
}
