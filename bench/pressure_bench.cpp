// Robots under pressure, with the real client library over 127.0.0.1:
// - a controller sweep of 1,000 values a second ("fader=N,") to a robot
//   that reads 100 statements a second: the age of the robot's newest value
//   each time it reads one (from the send call of that value), p50 / p99 /
//   max, with latest value wins and without;
// - a robot that stops reading for a while as a text a millisecond flows,
//   then reads again: the oldest text written after it read again, from
//   the client's write-latency histogram, beside the age limit.
// Prints its figures and, with --json, writes them for bench_report.
//
// Usage: pressure_bench [--smoke] [--json=FILE] [--seconds=N] [--stall=N] [--unsent=BYTES]
//   --smoke sweeps and stalls 2 s each; --unsent sets the bytes the system
//   may hold unsent per connection.
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

#include "bench_arguments.h"
#include "result_table.h"
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

  /// What one sweep gave: the ages (ms) of the robot's newest value each
  /// time it read one, during the sweep.
  struct Sweep
  {
    double p50 = 0, p99 = 0, max = 0;
    std::size_t read = 0;
    unsigned long long replaced = 0;
    int newest = -1;
  };

  Sweep sweep(bool latestValueWins, int seconds)
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
    const Sweep result{percentile(ages, 0.5), percentile(ages, 0.99), percentile(ages, 1.0), ages.size(),
                       static_cast<unsigned long long>(client->textsReplaced()), lastValue};
    std::printf("sweep 1000/s for %d s to a robot reading 100 statements/s, latest value wins %s: "
                "age of the robot's newest value p50 %.0f ms, p99 %.0f ms, max %.0f ms (%zu values read, "
                "%llu replaced, newest read %d of %d sent)\n",
                seconds, latestValueWins ? "on " : "off", result.p50, result.p99, result.max, result.read,
                result.replaced, result.newest, seconds * 1000 - 1);
    return result;
  }

  /// What a stall gave: texts written more than the limit after they were
  /// made, the oldest one's bucket bound, and the drops.
  struct Stall
  {
    unsigned long long overLimit = 0;
    std::string oldest;
    unsigned long long droppedOld = 0;
    unsigned long long droppedFull = 0;
  };

  Stall stall(int seconds)
  {
    // A buffer of 16 KiB: with the least one, the system's TCP waits for
    // its persist timer now and then once the robot reads again (a window
    // a little short of one segment), and what is measured is that timer.
    PacedRobot robot(std::chrono::microseconds(0), std::chrono::milliseconds(seconds * 1000), "", 16384);
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
    std::printf("the robot read %zu statements; %zu bytes still queued\n", robot.statements().size(),
                client->queuedBytes());
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
    return {static_cast<unsigned long long>(overLimit), bound,
            static_cast<unsigned long long>(client->textsDroppedOld()),
            static_cast<unsigned long long>(client->textsDroppedQueueFull())};
  }
}

int main(int argc, char** argv)
{
  using notara::bench::ResultTable;
  using notara::bench::takeValue;
  int seconds = 8;
  int stallSeconds = 10;
  std::string json;
  try
  {
    for (int i = 1; i < argc; ++i)
    {
      const std::string arg = argv[i];
      if (arg == "--smoke")
      {
        seconds = 2;
        stallSeconds = 2;
      }
      else if (!takeValue(arg, "--seconds=", seconds) && !takeValue(arg, "--stall=", stallSeconds) &&
               !takeValue(arg, "--unsent=", systemUnsentLimit) && !takeValue(arg, "--json=", json))
      {
        std::cerr << "pressure_bench: unknown argument " << arg
                  << " (usage: pressure_bench [--smoke] [--json=FILE] [--seconds=N] [--stall=N] [--unsent=BYTES])\n";
        return 2;
      }
    }
    seconds = std::max(1, seconds);
    stallSeconds = std::max(1, stallSeconds);

    const Sweep with = sweep(true, seconds);
    const Sweep without = sweep(false, seconds);
    const Stall stalled = stall(stallSeconds);

    ResultTable table("pressure_bench");
    const std::string subject = "sweep 1000/s for " + std::to_string(seconds) +
                                " s to a robot reading 100 statements/s: age of its newest value, latest value wins";
    table.add({"pressure", subject, "p50", with.p50, "ms", without.p50, "without latest value wins", std::nullopt});
    table.add({"pressure", subject, "p99", with.p99, "ms", without.p99, "without latest value wins", std::nullopt});
    table.add({"pressure", subject, "max", with.max, "ms", without.max, "without latest value wins", std::nullopt});
    table.add({"pressure",
               "after a " + std::to_string(stallSeconds) +
                   " s stall: texts written more than the age limit (1 s) after they were made",
               "count", static_cast<double>(stalled.overLimit), "", std::nullopt, "", std::nullopt});
    table.note("sweep with latest value wins: " + std::to_string(with.read) + " values read, " +
               std::to_string(with.replaced) + " replaced, the newest read was number " +
               std::to_string(with.newest) + "; without: " + std::to_string(without.read) +
               " read, the newest number " + std::to_string(without.newest));
    table.note("stall: oldest text written " + stalled.oldest +
               " (the one begun when the robot stopped is finished whole); " + std::to_string(stalled.droppedOld) +
               " dropped as too old, " + std::to_string(stalled.droppedFull) + " for a full queue");
    table.print(std::cout);
    if (!json.empty())
      table.write(json);
  }
  catch (const std::exception& e)
  {
    std::cerr << "pressure_bench: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
