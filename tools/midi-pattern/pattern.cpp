#include "midi-pattern/pattern.h"

#include <algorithm>

namespace midipattern
{
  void Pattern::add(PatternEvent event)
  {
    if (event.micros > lengthMicros_)
      lengthMicros_ = event.micros;
    events_.push_back(std::move(event));
  }

  void Pattern::sortByTime()
  {
    // Stable: a start written before a clock of the same moment goes first,
    // as does a note off before the note on that follows it.
    std::stable_sort(events_.begin(), events_.end(),
                     [](const PatternEvent& a, const PatternEvent& b) { return a.micros < b.micros; });
  }

  std::size_t Pattern::messageCount() const
  {
    return static_cast<std::size_t>(
      std::count_if(events_.begin(), events_.end(), [](const PatternEvent& e) { return e.size > 0; }));
  }

  std::string describeMessage(const PatternEvent& event)
  {
    if (event.size == 0)
      return "say " + event.caption;
    const unsigned status = event.bytes[0];
    const std::string channel = " ch " + std::to_string(status & 0x0F);
    const std::string data1 = event.size > 1 ? " " + std::to_string(event.bytes[1]) : "";
    const std::string data2 = event.size > 2 ? " " + std::to_string(event.bytes[2]) : "";
    switch (status & 0xF0)
    {
    case 0x80:
      return "note off" + channel + data1 + data2;
    case 0x90:
      return "note on" + channel + data1 + data2;
    case 0xB0:
      return "control" + channel + data1 + data2;
    default:
      break;
    }
    switch (status)
    {
    case 0xF8:
      return "clock";
    case 0xFA:
      return "start";
    case 0xFC:
      return "stop";
    default:
      return "message " + std::to_string(status) + data1 + data2;
    }
  }
}
