#include <cstdint>
#include <iostream>
#include <string>

#include "bridge/midi.h"
#include "midi/midinames.h"
#include "log/stderr_line.h"

namespace
{
  constexpr int clocksPerBeat = 24;
  constexpr int allRobots = -1;

  // Selectors: the system message number with bit 3 forced on, so that the
  // system common messages 0xF0, 0xF2 and 0xF4 act like clock, start and stop.
  constexpr unsigned clockSelector = midiname::clock;
  constexpr unsigned startSelector = midiname::start;
  constexpr unsigned stopSelector = midiname::stop;

  const std::string startText = "emit midi.start(),";
  const std::string stopText = "emit midi.stop(),";
  const std::string beatTickText = "emit midi.tick( 0),";
}

void Midi::handleRealtime(std::uint8_t subtype)
{
  if (debugLevel.load(std::memory_order_relaxed) > 1000)
    notara::StderrLine() << "Realtime " << unsigned(subtype) << ' ' << (running ? 1 : 0);

  switch (subtype | 8u)
  {
  case clockSelector:
  {
    const int count = clockCount;
    if (count == 0)
    {
      // First clock of a beat: the tick, then the tempo measured since the
      // previous beat, then a new reference time.
      if (ticksPerBeat != 0)
        send(allRobots, beatTickText);
      if (lastBeatTime != 0)
      {
        const std::int64_t interval = now() - lastBeatTime;
        // Two equal readings (or a clock that went back) give no tempo for
        // this beat rather than a division by zero or a negative tempo.
        if (interval > 0)
        {
          const std::int64_t bpm = std::int64_t{60000000} / interval;
          lastBpm_.store(bpm, std::memory_order_relaxed);
          sendValue(allRobots, "midi.bpm", bpm);
          sendValue(allRobots, "midi.period", interval / 1000);
        }
      }
      lastBeatTime = now();
    }
    else if (ticksPerBeat > 1)
    {
      // More than one tick per beat: a tick every 24 / ticksPerBeat clocks.
      // Above 24 ticks per beat the step would be 0; no tick then.
      const unsigned step = unsigned(clocksPerBeat) / unsigned(ticksPerBeat);
      if (step != 0 && unsigned(count) % step == 0)
        send(allRobots, "emit midi.tick( " + std::to_string(count) + "),");
    }
    clockCount = (count + 1) % clocksPerBeat;
    break;
  }
  case startSelector:
    if (running)
    {
      notara::StderrLine() << "Extra start message";
      break;
    }
    // The clock count is left alone; clearing the reference makes the next
    // beat boundary start a fresh measurement instead of timing the pause.
    lastBeatTime = 0;
    running = true;
    clockRunning_.store(true, std::memory_order_relaxed);
    send(allRobots, startText);
    break;
  case stopSelector:
    if (!running)
      break;
    running = false;
    clockRunning_.store(false, std::memory_order_relaxed);
    clockCount = 0;
    send(allRobots, stopText);
    break;
  default:
    // Continue, active sensing, reset and the undefined messages.
    break;
  }
}
