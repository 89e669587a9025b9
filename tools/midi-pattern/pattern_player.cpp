#include "midi-pattern/pattern_player.h"

#include <algorithm>
#include <vector>
#include <cstdio>
#include <thread>

namespace midipattern
{
  namespace
  {
    // Long enough to cost nothing, short enough that Ctrl-C feels immediate.
    constexpr std::chrono::milliseconds wakeUp{50};

    std::string secondsText(std::int64_t micros)
    {
      char text[32];
      std::snprintf(text, sizeof text, "%7.3f s", double(micros) / 1e6);
      return text;
    }
  }

  PatternPlayer::PatternPlayer(MidiSink& sink, std::ostream& out, std::chrono::milliseconds gap, bool verbose)
    : sink_(sink), out_(out), gap_(gap), verbose_(verbose)
  {
  }

  namespace
  {
    // A pattern's events, in their list's order.
    class ListEvents : public EventSource
    {
    public:
      explicit ListEvents(const std::vector<PatternEvent>& events) : events_(events) {}
      bool next(PatternEvent& event) override
      {
        if (index_ >= events_.size())
          return false;
        event = events_[index_++];
        return true;
      }

    private:
      const std::vector<PatternEvent>& events_;
      std::size_t index_ = 0;
    };
  }

  bool PatternPlayer::play(const Pattern& pattern, const std::atomic<bool>& stop)
  {
    ListEvents events(pattern.events());
    return play(events, pattern.lengthMicros(), stop);
  }

  bool PatternPlayer::play(EventSource& source, std::int64_t lengthMicros, const std::atomic<bool>& stop)
  {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point begin = Clock::now();
    Clock::time_point lastSend = begin - gap_;
    PatternEvent event;
    while (source.next(event))
    {
      Clock::time_point due = begin + std::chrono::microseconds(event.micros);
      // Messages of one moment are spread out by the gap, so that none is
      // lost by a MIDI system that takes a few per cycle; later ones are
      // not delayed further than the gap itself.
      if (event.size > 0)
        due = std::max(due, lastSend + gap_);
      if (!sleepUntil(due, stop))
      {
        releaseAll();
        return false;
      }
      if (event.size == 0)
      {
        out_ << secondsText(event.micros) << "  " << event.caption << std::endl;
        continue;
      }
      send(event);
      lastSend = Clock::now();
      if (verbose_)
        out_ << secondsText(event.micros) << "    " << describeMessage(event) << std::endl;
    }
    return sleepUntil(begin + std::chrono::microseconds(lengthMicros), stop);
  }

  bool PatternPlayer::sleepUntil(std::chrono::steady_clock::time_point when, const std::atomic<bool>& stop)
  {
    for (;;)
    {
      if (stop.load())
        return false;
      const auto now = std::chrono::steady_clock::now();
      if (now >= when)
        return true;
      std::this_thread::sleep_until(std::min(when, now + wakeUp));
    }
  }

  void PatternPlayer::send(const PatternEvent& event)
  {
    const std::uint8_t status = event.bytes[0];
    const unsigned kind = status & 0xF0;
    if (kind == 0x90 || kind == 0x80)
      held_[status & 0x0F][event.bytes[1] & 0x7F] = kind == 0x90 && event.bytes[2] > 0;
    else if (status == 0xFA)
      started_ = true;
    else if (status == 0xFC)
      started_ = false;
    sink_.sendMessage(event.bytes.data(), event.size);
  }

  void PatternPlayer::releaseAll()
  {
    // What was switched on by a note or a start would otherwise stay on at
    // the reader's end.
    for (int channel = 0; channel < 16; ++channel)
      for (int note = 0; note < 128; ++note)
        if (held_[channel][note])
        {
          PatternEvent off;
          off.bytes = {static_cast<std::uint8_t>(0x80 | channel), static_cast<std::uint8_t>(note), 0};
          off.size = 3;
          send(off);
          std::this_thread::sleep_for(gap_);
        }
    if (started_)
    {
      PatternEvent stop;
      stop.bytes = {0xFC, 0, 0};
      stop.size = 1;
      send(stop);
    }
  }
}
