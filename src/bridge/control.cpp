// The control channel: Midi::onControl decodes the lists that the uploaded
// script sends on the tag "midictl" ("debug", "setparameter", "register").
// Runs on a reader thread of the client library, without the bridge's lock.
// Actions registered on a robot's connection belong to that robot's slot
// (withdrawn when it connects again, bounded; see ActionOwners).
#include <cmath>
#include <cstdint>
#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <boost/lexical_cast.hpp>

#include "bridge/filter.h"
#include "bridge/midi.h"
#include "bridge/actionowners.h"
#include "log/stderr_line.h"
#include "vaxo/printable.h"

namespace
{
  /// The number a control value carries as a 32-bit word: truncated toward
  /// zero to 64 bits, then the low 32 bits. Empty for a value that is not a
  /// number, and for one no 64-bit integer holds (NaN, infinities, 1e300),
  /// whose conversion would be undefined.
  std::optional<std::uint32_t> controlWord(const VValue& value)
  {
    if (!value.isNumber())
      return std::nullopt;
    const double number = value.number;
    // -2^63 is a 64-bit integer; 2^63 is the first magnitude above them.
    constexpr double limit = 9223372036854775808.0;
    if (!std::isfinite(number) || number < -limit || number >= limit)
      return std::nullopt;
    return static_cast<std::uint32_t>(static_cast<std::int64_t>(number));
  }

  /// Reads the filter list by position; reading stops at the first position
  /// that is missing or not a number, and the rest keep their defaults.
  Filter readFilter(const VList& list)
  {
    FilterParts parts;
    for (std::size_t part = valuePart; part < filterPartCount && part < list.size(); ++part)
    {
      const std::optional<std::uint32_t> word = controlWord(list[part]);
      if (!word)
        break;
      // The value is cut to 8 bits as it is read, so the default mask
      // follows what is left of it; a mask of 300 asks for the default.
      if (part == valuePart)
        parts[part] = *word & 0xFFu;
      else if (part != maskPart || *word != 300)
        parts[part] = word;
    }
    return makeFilter(parts);
  }
}

VCallbackAction Midi::onControl(const VMessage& msg, int robotSlot)
{
  // A server never registers for the configuration: what comes on no known
  // robot slot is bounded as one more robot's, and never withdrawn.
  const int owner =
      robotSlot >= 0 && robotSlot < slotCount ? robotSlot : ActionOwners::unknownRobot;

  // This runs inside the client library's reader thread: every error is
  // reported here and the callback stays registered.
  try
  {
    if (msg.type != VMessageType::Data || !msg.value.isList())
      return V_CONTINUE;
    const VList& list = msg.value.list;
    if (list.size() == 0 || !list[0].isString())
      return V_CONTINUE;
    const std::string& command = list[0].string;

    if (command == "debug")
    {
      if (list.size() == 2)
        if (const auto level = controlWord(list[1]))
          debugLevel.store(static_cast<int>(*level));
      notara::writeStderrLine("Set debug to " + std::to_string(debugLevel.load()));
    }
    else if (command == "setparameter")
    {
      if (list.size() >= 2)
        if (const auto value = controlWord(list[1]))
          setParameter(static_cast<int>(*value));
    }
    else if (command == "register")
    {
      std::optional<std::uint32_t> channelMask;
      std::optional<std::uint32_t> robotMask;
      if (list.size() < 6 || !(channelMask = controlWord(list[1])) || !list[2].isList() ||
          !list[3].isString() || !list[4].isList() || !(robotMask = controlWord(list[5])))
      {
        notara::writeStderrLine(" parameter extraction failed");
        return V_CONTINUE;
      }

      std::vector<std::string> params;
      for (const VValue& element : list[4].list.elements)
      {
        if (element.isString())
          params.push_back(element.string);
        else if (element.isNumber())
          params.push_back(boost::lexical_cast<std::string>(element.number));
        else
        {
          // The words read so far still make the parameter list.
          notara::writeStderrLine("params extraction failure");
          break;
        }
      }

      const Filter filter = readFilter(list[2].list);
      const std::string& name = list[3].string;
      Operation* operation = nullptr;
      try
      {
        operation = installAction(*channelMask, filter.filterValue, filter.filterMask,
                                  filter.parameterValue, filter.parameterMask, name, params,
                                  static_cast<int>(*robotMask), owner);
      }
      catch (const std::exception& e)
      {
        // A parameter the operation's setup can't convert; installAction has
        // appended nothing at that point.
        notara::writeStderrLine("Registering action failed: " + vaxo::printable(name) + ": " + e.what());
        return V_CONTINUE;
      }
      notara::writeStderrLine("Registering action: " +
                std::to_string(reinterpret_cast<std::intptr_t>(operation)));
    }
  }
  catch (const std::exception& e)
  {
    notara::StderrLine() << "Midi::onControl: control message dropped: " << e.what();
  }
  catch (...)
  {
    notara::StderrLine() << "Midi::onControl: control message dropped: unknown error";
  }
  return V_CONTINUE;
}
