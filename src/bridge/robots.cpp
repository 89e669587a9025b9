// Robot connections and sending: Midi::addRobot, Midi::send and
// Midi::setParameter. The connections themselves are RobotLinks'
// (robots/robot_links.h).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>

#include "bridge/midi.h"
#include "bridge/text_sink.h"
#include "log/stderr_line.h"
#include "libgantry/utime.h"
#include "vaxo/printable.h"

int Midi::addRobot(unsigned index, const std::string& host, unsigned port)
{
  return robots.add(static_cast<RobotEvents&>(*this), index, host, port, robotMaxAge);
}

void Midi::onMoreInput()
{
  beginRound();
}

void Midi::onInputEnd()
{
  endRound();
}

void Midi::send(int robotMask, const std::string& text)
{
  const auto mask = static_cast<std::uint32_t>(robotMask);
  if (debugLevel.load(std::memory_order_relaxed) > 9)
  {
    // A text may carry words a server registered: one with a control
    // character is shown escaped, so it can't steer the terminal.
    const bool plain = std::all_of(text.begin(), text.end(), [](char c) {
      return static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7f;
    });
    std::string line = "Sending '";
    line += plain ? text : vaxo::printable(text);
    line += "' to ";
    line += std::to_string(mask);
    notara::writeStderrLine(line);
  }
  if (sink_)
  {
    // A render: the texts go to its sink, and no robot or page sees them.
    sink_->send(robotMask, text);
    return;
  }
  const std::uint32_t reached = robots.send(robotMask, text);
  if (dispatchingEvent())
  {
    // The texts of an event, for the status page: what went to which robot.
    latency.observe(libgantry::utime() - eventStart);
    for (std::size_t i = 0; i < RobotLinks::slotCount; ++i)
      if ((reached & (std::uint32_t{1} << i)) != 0)
        recent.addText(static_cast<int>(i), text.data(), text.size());
  }
}

void Midi::setParameter(int value)
{
  const auto word = static_cast<std::uint32_t>(value);
  parameter.store(word);
  // Also reached per event through ParameterSet: the line is built on the
  // stack and queued for the writer, which the MIDI thread never waits on.
  char line[40];
  const int length = std::snprintf(line, sizeof line, "Setting parameter to %lu",
                                   static_cast<unsigned long>(word));
  notara::writeStderrLine(std::string_view(line, static_cast<std::size_t>(length)));
  sendValue(-1, "midi.parameter", word);
}
