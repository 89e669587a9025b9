// Robot connections and sending: Midi::addRobot, Midi::send,
// Midi::setParameter and the error callback of every connection.
#include <winsock2.h>

#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>

#include "bridge/midi.h"
#include "libgantry/error.h"
#include "robots/script.h"
#include "vaxo/client.h"
#include "vaxo/printable.h"

int Midi::addRobot(unsigned index, const std::string& host, unsigned port)
{
  if (index >= static_cast<unsigned>(slotCount) || index >= robots.size())
    return -1;
  if (dryRun)
  {
    dryRobots.push_back({index, host, port});
    return 1;
  }

  // Clients and their callback bindings live until the process ends: the
  // slot table owns nothing and a replaced client keeps running.
  auto* client = new VSyncClient(host, port, 128000u, false, true, 2);
  client->setCallback(new VCallbackWrapper0<Midi>(*this, &Midi::onControl), "midictl");
  client->setErrorCallback(new VCallbackWrapperF(onClientError));

  client->send("%s", robotScript);
  client->sendFile("notara.vx");

  // Nagle's algorithm would hold back the short per-event texts. The value
  // is an int of length sizeof(int): Linux rejects a shorter option with
  // EINVAL, and Winsock reads the same four bytes as its BOOL.
  const int noDelay = 1;
  if (setsockopt(client->socketDescriptor(), IPPROTO_TCP, TCP_NODELAY,
                 reinterpret_cast<const char*>(&noDelay), sizeof(noDelay)) != 0)
    libgantry::perror("setsockopt");

  // Published last, so that a concurrent send sees an empty slot or the
  // finished client.
  robots[index].store(client, std::memory_order_release);
  return 1;
}

void Midi::send(int robotMask, const std::string& text)
{
  const auto mask = static_cast<std::uint32_t>(robotMask);
  if (debugLevel.load(std::memory_order_relaxed) > 9)
  {
    // One write per line, so that lines of other threads don't cut into it.
    std::string line = "Sending '";
    line += text;
    line += "' to ";
    line += std::to_string(mask);
    line += '\n';
    std::cerr << line << std::flush;
  }

  const std::size_t count = robots.size() < std::size_t{slotCount} ? robots.size() : slotCount;
  for (std::size_t i = 0; i < count; ++i)
  {
    if ((mask & (std::uint32_t{1} << i)) == 0)
      continue;
    if (VSyncClient* client = robots[i].load(std::memory_order_acquire))
      client->rawSend(text.data(), text.size());
  }
}

void Midi::setParameter(int value)
{
  const auto word = static_cast<std::uint32_t>(value);
  parameter.store(word);
  // Also reached per event through ParameterSet: the line is built on the
  // stack and written at once.
  char line[40];
  const int length = std::snprintf(line, sizeof line, "Setting parameter to %lu\n",
                                   static_cast<unsigned long>(word));
  std::cerr.write(line, length).flush();
  sendValue(-1, "midi.parameter", word);
}

VCallbackAction onClientError(const VMessage& msg)
{
  // Runs on a reader thread of the client library: nothing may leave it.
  try
  {
    // The text is the server's: escaped, it can't steer the terminal.
    std::cerr << "Vaxo error: " + vaxo::printable(msg.message) + "\n" << std::flush;
  }
  catch (...)
  {
  }
  return V_CONTINUE;
}
