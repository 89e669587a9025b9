// The configuration file parser: robot lines open robots, action lines
// install actions, every line taking effect before the next is read.
//
// Threading: runs on the main thread during start-up. Robots opened here
// deliver control messages on their own reader threads at once; actions are
// installed through installAction, which takes `lock` for its appends.
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <iostream>
#include <istream>
#include <locale>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include <boost/lexical_cast.hpp>

#include "bridge/filter.h"
#include "bridge/midi.h"
#include "log/stderr_line.h"

namespace
{
  constexpr std::size_t lineBufferSize = 1024;  // 1023 characters and the NUL
  constexpr int defaultPort = 54000;
  constexpr int maxPort = 65535;
  // The longest age limit of a maxage line: a day.
  constexpr unsigned long maxAgeMillis = 86400000;

  // Reads value[/mask[=parameterValue[/parameterMask]]] into the parts it
  // finds. A separator must follow its number directly; a number may be
  // preceded by blanks. The stream is left failed when a number can't be read.
  FilterParts readFilter(std::istream& in)
  {
    // The state is the part to read next. Each part is followed by the
    // separator of the part after it, or ends the filter.
    constexpr FilterPart done = filterPartCount;
    constexpr char separatorAfter[] = {'/', '=', '/'};

    FilterParts parts;
    FilterPart state = valuePart;
    while (state != done && in)
    {
      // Value and mask are signed numbers as written, the parameter parts
      // unsigned ones; the filter keeps the low 8 bits of the former.
      std::uint32_t number = 0;
      if (state == valuePart || state == maskPart)
      {
        int signedNumber = 0;
        in >> signedNumber;
        number = static_cast<std::uint32_t>(signedNumber);
      }
      else
        in >> number;
      if (!in)
        break;
      parts[state] = number;
      if (state == parameterMaskPart)
      {
        state = done;
        break;
      }

      const int next = in.get();
      if (next == separatorAfter[state])
        state = static_cast<FilterPart>(state + 1);
      else
      {
        if (next != std::char_traits<char>::eof())
          in.unget();
        state = done;
      }
    }
    return parts;
  }

  // Reads one number into `field` only when it converts: a failed
  // extraction would otherwise overwrite the field's default with 0.
  template <class T>
  bool readField(std::istream& in, T& field)
  {
    T value{};
    if (!(in >> value))
      return false;
    field = value;
    return true;
  }
}

bool Midi::parseConfig(std::istream& in)
{
  if (!in.good())
    return false;

  char buffer[lineBufferSize];
  // Robot slots that a robot line of this file has filled.
  std::uint32_t slotsTaken = 0;
  for (unsigned long lineNumber = 1;; ++lineNumber)
  {
    buffer[0] = '\0';
    in.getline(buffer, sizeof buffer);
    const std::streamsize count = in.gcount();
    if (in.bad())
      throw std::runtime_error("Midi::parseConfig: read error in line " +
                               std::to_string(lineNumber));
    if (in.fail() && !in.eof())
    {
      // 1023 characters were read and the line goes on.
      throw std::runtime_error("Midi::parseConfig: line too long (over " +
                               std::to_string(lineBufferSize - 1) +
                               " characters): line " + std::to_string(lineNumber));
    }
    if (count == 0 && in.eof())
      break;
    // The newline, when there was one, is counted but not stored. A last
    // line without one is processed like any other.
    const bool hadNewline = !in.eof();
    const std::string line(buffer, static_cast<std::size_t>(count) - (hadNewline ? 1 : 0));

    if (!line.empty() && line[0] == '#')
      continue;

    std::istringstream fields(line);
    fields.imbue(std::locale::classic());
    std::string keyword;
    fields >> keyword;

    if (keyword == "robot")
    {
      int index = -1;
      std::string host;
      std::string portWord;
      // A failed read leaves that field and all later ones at their defaults.
      if (readField(fields, index) && (fields >> host))
        fields >> portWord;

      if (static_cast<unsigned>(index) > 31)
        throw std::runtime_error("malformed line: " + line);
      // A second link for a slot would leave the first one running,
      // unaddressed, and withdrawing the actions its server registers.
      const std::uint32_t slotBit = std::uint32_t{1} << index;
      if ((slotsTaken & slotBit) != 0)
        throw std::runtime_error("Midi::parseConfig: robot slot " + std::to_string(index) +
                                 " is already taken: line " + std::to_string(lineNumber) + ": " + line);
      slotsTaken |= slotBit;
      int port = defaultPort;
      if (!portWord.empty())
      {
        // The whole word must be the number: a typo that fell back to the
        // default port, or a number the client cuts to 16 bits, would
        // connect to another server.
        unsigned long value = 0;
        const char* end = portWord.data() + portWord.size();
        const auto [stop, error] = std::from_chars(portWord.data(), end, value);
        if (error != std::errc() || stop != end || value < 1 || value > maxPort)
          throw std::runtime_error("Midi::parseConfig: port " + portWord +
                                   " is not a number from 1 to " + std::to_string(maxPort) +
                                   ": " + line);
        port = static_cast<int>(value);
      }

      notara::StderrLine() << "Registering robot " << host << ' ' << port;
      addRobot(static_cast<unsigned>(index), host, static_cast<unsigned>(port));
    }
    else if (keyword == "input")
    {
      // input [channel C] NAME: NAME is the rest of the line, blanks and all.
      InputLine input;
      std::string rest;
      std::getline(fields >> std::ws, rest);
      if (rest.rfind("channel", 0) == 0 && rest.size() > 7 && (rest[7] == ' ' || rest[7] == '\t'))
      {
        std::istringstream channelFields(rest.substr(8));
        channelFields.imbue(std::locale::classic());
        std::string word;
        channelFields >> word;
        unsigned long value = 0;
        const char* end = word.data() + word.size();
        const auto [stop, error] = std::from_chars(word.data(), end, value);
        if (word.empty() || error != std::errc() || stop != end || value > 15)
          throw std::runtime_error("Midi::parseConfig: input channel " + word +
                                   " is not a channel from 0 to 15: line " + std::to_string(lineNumber) + ": " + line);
        input.channel = static_cast<int>(value);
        rest.clear();
        std::getline(channelFields >> std::ws, rest);
      }
      while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\t' || rest.back() == '\r'))
        rest.pop_back();
      if (rest.empty())
        throw std::runtime_error("Midi::parseConfig: input names no MIDI device: line " +
                                 std::to_string(lineNumber) + ": " + line);
      if (inputLines.size() >= static_cast<std::size_t>(Inputs::maxInputs))
        throw std::runtime_error("Midi::parseConfig: more than " + std::to_string(Inputs::maxInputs) +
                                 " input lines: line " + std::to_string(lineNumber) + ": " + line);
      input.name = rest;
      inputLines.push_back(std::move(input));
    }
    else if (keyword == "maxage")
    {
      // The whole word must be a number of milliseconds.
      std::string word;
      fields >> word;
      unsigned long value = 0;
      const char* end = word.data() + word.size();
      const auto [stop, error] = std::from_chars(word.data(), end, value);
      if (word.empty() || error != std::errc() || stop != end || value > maxAgeMillis)
        throw std::runtime_error("Midi::parseConfig: maxage " + word + " is not a number of milliseconds from 0 to " +
                                 std::to_string(maxAgeMillis) + ": line " + std::to_string(lineNumber) + ": " +
                                 line);
      robotMaxAge = std::chrono::milliseconds(value);
    }
    else if (keyword == "action")
    {
      std::uint32_t channelMask = 0;
      fields >> std::hex >> channelMask;
      if (!fields.good())
        throw std::runtime_error("malformed mask: " + line);

      fields >> std::dec;
      const Filter filter = makeFilter(readFilter(fields));
      if (!fields.good())
        throw std::runtime_error("malformed filter: " + line);

      std::uint32_t robotMask = 0;
      std::string name;
      fields >> std::hex >> robotMask >> name;
      // The name must be followed by something on the line, a blank at least.
      if (!fields.good())
        throw std::runtime_error("malformed stuffs: " + line);

      std::vector<std::string> params;
      for (std::string word; fields >> word;)
        params.push_back(word);

      Operation* operation = nullptr;
      std::string failure;
      try
      {
        operation = installAction(channelMask, filter.filterValue, filter.filterMask,
                                  filter.parameterValue, filter.parameterMask, name, params,
                                  static_cast<int>(robotMask), configurationOwner, &failure);
      }
      catch (const boost::bad_lexical_cast& e)
      {
        // The operation's setup met a parameter that is not a number of the
        // kind it needs; say which line so start-up can report it in one go.
        throw std::runtime_error("Midi::parseConfig: bad number (" + std::string(e.what()) +
                                 ") in line: " + line);
      }
      // The line first, as scripts match it; then why, which the debug
      // level's traces (applied only after the file) would not show.
      if (operation == nullptr)
        throw std::runtime_error("Failed to register action from " + line + (failure.empty() ? "" : ": " + failure));
    }
  }
  return true;
}
