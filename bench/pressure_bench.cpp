// Robots under pressure, with the real client library over 127.0.0.1:
// - a controller sweep of 1,000 values a second ("fader=N,") to a robot
//   that reads 100 statements a second: the age of the robot's newest value
//   each time it reads one (from the send call of that value), p50 / p99 /
//   max, with latest value wins and without;
// - a robot that stops reading for a while as a text a millisecond flows,
//   then reads again: the oldest text written after it read again, from
//   the client's write-latency histogram, beside the age limit.
// Prints its figures; asserts nothing.
//
// Usage: pressure_bench [--seconds=N] [--stall=N] [--unsent=BYTES]
//   --unsent sets the bytes the system may hold unsent per connection.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/paced_robot.h"
#include "vaxo/client.h"

namespace
{
  using Clock = std::chrono::steady_clock;

  using notara::test::PacedRobot;

  double percentile(std::vector<double> values, double p)
  {
    if (values.empty())
      return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(p * values.size()))];
  }

  VSyncClient* connectTo(unsigned port, VQueuePolicy policy, std::unique_ptr<VSyncClient>& client)
  {
    client = std::make_unique<VSyncClient>("127.0.0.1", port, [](VLinkEvent, const std::string&) {},
                                           VSyncClient::defaultQueueLimit, 2, policy);
    client->connect();
    while (!client->isConnected())
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return client.get();
  }

  // The system's share of what a robot's connection holds unsent
  // (VQueuePolicy::systemUnsentLimit), for every client of the run.
  int systemUnsentLimit = VQueuePolicy{}.systemUnsentLimit;

  void sweep(bool latestValueWins, int seconds)
  {
    PacedRobot robot(std::chrono::microseconds(10000), std::chrono::milliseconds(0));
    VQueuePolicy policy;
    policy.maxAge = std::chrono::milliseconds(0);   // ages are what is measured
    policy.latestValueWins = latestValueWins;
    policy.systemUnsentLimit = systemUnsentLimit;
    std::unique_ptr<VSyncClient> owner;
    VSyncClient* client = connectTo(robot.port(), policy, owner);

    std::vector<Clock::time_point> sentAt;
    const auto start = Clock::now();
    for (int i = 0; i < seconds * 1000; ++i)
    {
      std::this_thread::sleep_until(start + std::chrono::milliseconds(i));
      char text[32];
      const int length = std::snprintf(text, sizeof text, "fader=%d,", i);
      sentAt.push_back(Clock::now());
      client->rawSend(text, static_cast<std::size_t>(length));
    }
    const auto end = Clock::now();
    std::vector<double> ages;
    int lastValue = -1;
    for (const auto& [at, statement] : robot.statements())
    {
      if (statement.rfind("fader=", 0) != 0 || at > end)
        continue;
      const int value = std::stoi(statement.substr(6));
      lastValue = std::max(lastValue, value);
      ages.push_back(std::chrono::duration<double, std::milli>(at - sentAt[static_cast<std::size_t>(value)]).count());
    }
    std::printf("sweep 1000/s for %d s to a robot reading 100 statements/s, latest value wins %s: "
                "age of the robot's newest value p50 %.0f ms, p99 %.0f ms, max %.0f ms (%zu values read, "
                "%llu replaced, newest read %d of %d sent)\n",
                seconds, latestValueWins ? "on " : "off", percentile(ages, 0.5), percentile(ages, 0.99),
                percentile(ages, 1.0), ages.size(), static_cast<unsigned long long>(client->textsReplaced()),
                lastValue, seconds * 1000 - 1);
  }

  void stall(int seconds)
  {
    PacedRobot robot(std::chrono::microseconds(0), std::chrono::milliseconds(seconds * 1000));
    VQueuePolicy policy;   // the default limit of 1 s
    policy.systemUnsentLimit = systemUnsentLimit;
    std::unique_ptr<VSyncClient> owner;
    VSyncClient* client = connectTo(robot.port(), policy, owner);
    const auto start = Clock::now();
    // A text a millisecond for the stall and a second after it.
    for (int i = 0; i < (seconds + 1) * 1000; ++i)
    {
      std::this_thread::sleep_until(start + std::chrono::milliseconds(i));
      char text[48];
      const int length = std::snprintf(text, sizeof text, "emit step(%d),", i);
      client->rawSend(text, static_cast<std::size_t>(length));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const VLatencyHistogram::Counts counts = client->writeLatency().read();
    std::printf("write latency histogram (upper bounds in us):");
    for (std::size_t i = 0; i < counts.size(); ++i)
      std::printf(" %s:%llu",
                  i < VLatencyHistogram::upperBoundsMicros.size()
                      ? std::to_string(VLatencyHistogram::upperBoundsMicros[i]).c_str()
                      : "more",
                  static_cast<unsigned long long>(counts[i]));
    std::printf("\n");
    std::size_t oldest = 0;
    std::uint64_t overLimit = 0;
    for (std::size_t i = 0; i < counts.size(); ++i)
    {
      if (counts[i] > 0)
        oldest = i;
      if (i >= VLatencyHistogram::bucketOf(1001000))
        overLimit += counts[i];
    }
    const std::string bound = oldest < VLatencyHistogram::upperBoundsMicros.size()
                                  ? "at most " + std::to_string(VLatencyHistogram::upperBoundsMicros[oldest]) +
                                        " us"
                                  : "over 2000 ms";
    std::printf("robot stalled %d s as a text a millisecond flows: oldest text written %s (age limit %lld ms), "
                "%llu texts written more than 1 s after they were made (a text begun is finished); "
                "%llu texts dropped as too old, %llu for a full queue\n",
                seconds, bound.c_str(), static_cast<long long>(client->maxAge().count()),
                static_cast<unsigned long long>(overLimit),
                static_cast<unsigned long long>(client->textsDroppedOld()),
                static_cast<unsigned long long>(client->textsDroppedQueueFull()));
  }
}

int main(int argc, char** argv)
{
  int seconds = 8;
  int stallSeconds = 10;
  for (int i = 1; i < argc; ++i)
  {
    const std::string arg = argv[i];
    if (arg.rfind("--seconds=", 0) == 0)
      seconds = std::max(1, std::atoi(arg.c_str() + 10));
    else if (arg.rfind("--stall=", 0) == 0)
      stallSeconds = std::max(1, std::atoi(arg.c_str() + 8));
    else if (arg.rfind("--unsent=", 0) == 0)
      systemUnsentLimit = std::max(0, std::atoi(arg.c_str() + 9));
    else
    {
      std::cerr << "pressure_bench: unknown argument " << arg << " (usage: pressure_bench [--seconds=N] [--stall=N] [--unsent=BYTES])\n";
      return 2;
    }
  }
  try
  {
    sweep(true, seconds);
    sweep(false, seconds);
    stall(stallSeconds);
  }
  catch (const std::exception& e)
  {
    std::cerr << "pressure_bench: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
