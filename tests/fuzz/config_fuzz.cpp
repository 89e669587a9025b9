// config_fuzz: Midi::parseConfig on any text, as a whole file and line by
// line. Robot lines are only recorded (as a configuration check does), so
// nothing connects. Checks: only std::runtime_error leaves the
// parser; a robot is opened only in a slot from 0 to 31 with a port from 1
// to 65535 that is the line's port word read whole, or 54000 without one;
// every action record points to a live operation.
#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"

using notara::fuzz::fail;

namespace
{
  // The line being parsed by the line-by-line pass; empty in the whole-file pass.
  std::string currentLine;
}

namespace
{
  // Checks a robot line that the parser handed to Midi::addRobot.
  void checkRobot(const RobotLinks::Address& robot)
  {
    if (robot.index > 31)
      fail("a robot slot above 31", currentLine);
    if (robot.port < 1 || robot.port > 65535)
      fail("a robot port outside 1..65535", currentLine);
    if (currentLine.empty())
      return;
    // The port word as the parser's stream finds it, after the slot number
    // and the host.
    std::istringstream fields(currentLine);
    std::string keyword, host, portWord;
    int slot = -1;
    fields >> keyword >> slot >> host >> portWord;
    unsigned long expected = 54000;
    if (!portWord.empty())
    {
      if (portWord.find_first_not_of("0123456789") != std::string::npos)
        fail("a port word that is not a number was taken", currentLine);
      expected = 0;
      for (const char digit : portWord)
        expected = std::min(expected * 10 + static_cast<unsigned long>(digit - '0'), 1000000ul);
    }
    if (robot.port != expected)
      fail("the port is not the line's port word", currentLine);
  }
}

namespace
{
  // Parses `text`; only the parser's own error type may come out.
  void parse(notara::fuzz::Bridge& bridge, const std::string& text)
  {
    std::istringstream in(text);
    // Robot lines are recorded, as a configuration check does, not connected.
    bridge.midi.robots.recordOnly();
    try
    {
      bridge.midi.parseConfig(in);
    }
    catch (const std::runtime_error&)
    {
    }
    for (const RobotLinks::Address& robot : bridge.midi.robots.recorded())
      checkRobot(robot);
    bridge.checkRecordsLive();
  }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  const std::string input(reinterpret_cast<const char*>(data), size);
  notara::test::CerrCapture sink;
  {
    notara::fuzz::Bridge bridge(std::vector<int>{});
    currentLine.clear();
    parse(bridge, input);
  }
  std::size_t start = 0;
  while (start < input.size())
  {
    std::size_t end = input.find('\n', start);
    if (end == std::string::npos)
      end = input.size();
    currentLine = input.substr(start, end - start);
    // A line of its own, read up to its newline; the parser takes whole
    // lines of up to 1023 characters.
    if (currentLine.size() < 1024 && currentLine.find('\0') == std::string::npos)
    {
      notara::fuzz::Bridge bridge(std::vector<int>{});
      parse(bridge, currentLine + "\n");
    }
    start = end + 1;
  }
  currentLine.clear();
  return 0;
}
