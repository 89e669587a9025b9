// Latency from the MIDI callback to a robot over loopback TCP, with the real
// client library: events go into MidiIn::handleInput on this thread, the
// bridge sends "emit midi.key(...)," through VSyncClient to a StatementSink,
// which stamps the read that holds each statement's last byte. The floor is
// the same bytes written from the same thread by a bare blocking send on a
// TCP_NODELAY socket, to a sink of its own, stamped the same way; bridge and
// floor events alternate, so both see the same machine.
//
// Usage: latency_bench [--events=N] [--smoke] [--json=FILE]
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <mmsystem.h>

#include "bridge/midi.h"
#include "latency_summary.h"
#include "result_table.h"
#include "robots/script.h"
#include "statement_sink.h"
#include "vaxo/client.h"

namespace
{
  namespace asio = boost::asio;
  using asio::ip::tcp;
  using notara::bench::LatencySummary;
  using notara::bench::ResultTable;
  using notara::bench::StatementSink;
  using Clock = std::chrono::steady_clock;

  const std::string kScript = "var bench.ready = 1;\n";
  const std::string kFloorName = "bare blocking send, TCP_NODELAY";
  constexpr auto kWait = std::chrono::seconds(20);

  struct Options
  {
    std::size_t events = 100000;   // per mode and robot count
    std::size_t warmUp = 1000;
    std::size_t burst = 1000;      // events per burst
    double rate = 1000;            // steady events per second
    std::string json;
  };

  /// Note on, channel 0, carrying sequence number `k` in its data bytes.
  std::uint32_t eventWord(std::size_t k)
  {
    const auto seq = static_cast<std::uint32_t>(k % StatementSink::sequenceModulus);
    return 0x90u | ((seq & 0x7Fu) << 8) | ((seq >> 7) << 16);
  }

  /// The text the bridge's EmitMap makes of eventWord(k).
  std::size_t eventText(std::size_t k, char (&text)[64])
  {
    const std::size_t seq = k % StatementSink::sequenceModulus;
    const int n = std::snprintf(text, sizeof text, "emit midi.key(9,0,%zu,%zu),", seq & 0x7F, seq >> 7);
    return static_cast<std::size_t>(n);
  }

  /// A working directory holding notara.vx, for the uploads of addRobot.
  class ScriptDirectory
  {
  public:
    ScriptDirectory() : previous_(std::filesystem::current_path())
    {
      char pattern[] = "/tmp/notara-latency-XXXXXX";
      if (::mkdtemp(pattern) == nullptr)
        throw std::runtime_error("ScriptDirectory: can't make a directory from " + std::string(pattern));
      path_ = pattern;
      std::ofstream(path_ / "notara.vx") << kScript;
      std::filesystem::current_path(path_);
    }
    ~ScriptDirectory()
    {
      std::error_code ignored;
      std::filesystem::current_path(previous_, ignored);
      std::filesystem::remove_all(path_, ignored);
    }
    ScriptDirectory(const ScriptDirectory&) = delete;
    ScriptDirectory& operator=(const ScriptDirectory&) = delete;

  private:
    std::filesystem::path previous_;
    std::filesystem::path path_;
  };

  /// Latency samples (nanoseconds) of events [first, last) on every connection of `sink`.
  std::vector<std::int64_t> samplesOf(const StatementSink& sink, std::size_t robots,
                                      const std::vector<std::int64_t>& sent, std::size_t first,
                                      std::size_t last)
  {
    std::vector<std::int64_t> samples;
    samples.reserve((last - first) * robots);
    for (std::size_t r = 0; r < robots; ++r)
      for (std::size_t k = first; k < last; ++k)
        samples.push_back(sink.arrival(r, k) - sent[k]);
    return samples;
  }

  void addRows(ResultTable& table, const std::string& subject, std::vector<std::int64_t> bridge,
               std::vector<std::int64_t> floor, bool steady)
  {
    using Target = ResultTable::Target;
    const LatencySummary b = LatencySummary::of(bridge);
    const LatencySummary f = LatencySummary::of(floor);
    const auto us = [](double ns) { return ns / 1000.0; };
    const std::string name = subject + " (" + std::to_string(b.count) + " samples)";
    table.add({"loopback", name, "p50", us(b.p50), "us", us(f.p50), kFloorName,
               steady ? std::optional<Target>(Target{"ratio", "<=", 1.5}) : std::nullopt});
    table.add({"loopback", name, "p99", us(b.p99), "us", us(f.p99), kFloorName,
               steady ? std::optional<Target>(Target{"value", "<=", 200}) : std::nullopt});
    table.add({"loopback", name, "p99.9", us(b.p999), "us", us(f.p999), kFloorName, std::nullopt});
    // A delayed-ACK stall (Nagle back on) costs 40 ms: no sample may get there.
    table.add({"loopback", name, "max", us(b.max), "us", us(f.max), kFloorName, Target{"value", "<", 40000}});
  }

  /// One run with `robots` robots: warm-up, steady rate, bursts.
  void runScenario(std::size_t robots, const Options& options, ResultTable& table)
  {
    const std::size_t total = options.warmUp + 2 * options.events;
    StatementSink bridgeSink(robots, std::string(robotScript) + kScript, total);
    StatementSink floorSink(robots, "", total);

    Midi midi;
    // The clients are the bench's to free (the bridge never frees them),
    // before the bridge their callbacks point to goes away.
    struct Clients
    {
      Midi& midi;
      ~Clients()
      {
        for (auto& slot : midi.robots)
          delete slot.exchange(nullptr);
      }
    } clients{midi};
    for (std::size_t r = 0; r < robots; ++r)
      midi.addRobot(static_cast<unsigned>(r), "127.0.0.1", bridgeSink.port());
    if (!bridgeSink.acceptAll(kWait) || !bridgeSink.waitForPrefixes(kWait) || bridgeSink.prefixMismatch())
      throw std::runtime_error("runScenario: the robots' uploads did not arrive whole");
    std::unique_ptr<Midi::Operation> emit(
        midi.installAction(1u, 0, 0, 0, 0, "EmitMap", {"midi.key"}, -1));
    if (!emit)
      throw std::runtime_error("runScenario: installAction failed for EmitMap");

    asio::io_context io;
    std::vector<tcp::socket> floorSockets;
    const tcp::endpoint floorEndpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(floorSink.port()));
    for (std::size_t r = 0; r < robots; ++r)
    {
      floorSockets.emplace_back(io);
      floorSockets.back().connect(floorEndpoint);
      floorSockets.back().set_option(tcp::no_delay(true));
    }
    if (!floorSink.acceptAll(kWait))
      throw std::runtime_error("runScenario: the floor's connections were not accepted");

    std::vector<std::int64_t> bridgeSent(total), floorSent(total);
    char text[64];
    const auto bridgeEvent = [&](std::size_t k) {
      bridgeSent[k] = StatementSink::now();
      midi.handleInput(MIM_DATA, eventWord(k), 0);
    };
    const auto floorEvent = [&](std::size_t k) {
      const std::size_t size = eventText(k, text);
      floorSent[k] = StatementSink::now();
      for (auto& socket : floorSockets)
        asio::write(socket, asio::buffer(text, size));
    };

    // Warm-up, then the steady rate: a bridge event on every period, a floor
    // event half a period later.
    const auto period = std::chrono::nanoseconds(static_cast<std::int64_t>(1e9 / options.rate));
    const std::size_t steadyEnd = options.warmUp + options.events;
    const Clock::time_point start = Clock::now();
    for (std::size_t k = 0; k < steadyEnd; ++k)
    {
      const Clock::time_point due = start + period * static_cast<std::int64_t>(k);
      std::this_thread::sleep_until(due);
      bridgeEvent(k);
      std::this_thread::sleep_until(due + period / 2);
      floorEvent(k);
    }
    if (!bridgeSink.waitForAll(steadyEnd, kWait) || !floorSink.waitForAll(steadyEnd, kWait))
      throw std::runtime_error("runScenario: steady events did not all arrive");

    // Bursts: a burst's events back to back, the same burst by the floor
    // once the first has arrived, then a pause. Who goes first alternates:
    // the first after the pause meets idle cores that must wake up.
    bool bridgeFirst = true;
    for (std::size_t first = steadyEnd; first < total; first += options.burst)
    {
      const std::size_t last = std::min(total, first + options.burst);
      for (int turn = 0; turn < 2; ++turn)
      {
        const bool bridge = (turn == 0) == bridgeFirst;
        for (std::size_t k = first; k < last; ++k)
          bridge ? bridgeEvent(k) : floorEvent(k);
        if (!(bridge ? bridgeSink : floorSink).waitForAll(last, kWait))
          throw std::runtime_error(std::string("runScenario: a burst did not arrive") + (bridge ? "" : " (floor)"));
      }
      bridgeFirst = !bridgeFirst;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    std::size_t misfits = 0;
    for (std::size_t r = 0; r < robots; ++r)
    {
      misfits += bridgeSink.misfits(r) + floorSink.misfits(r);
      if (bridgeSink.misfits(r) > 0)
        std::cerr << "latency_bench: robot " << r << ": " << bridgeSink.firstMisfit(r) << std::endl;
    }

    const std::string robotsText = std::to_string(robots) + (robots == 1 ? " robot" : " robots");
    char rate[32];
    std::snprintf(rate, sizeof rate, "%.0f/s", options.rate);
    addRows(table, "steady " + std::string(rate) + ", " + robotsText,
            samplesOf(bridgeSink, robots, bridgeSent, options.warmUp, steadyEnd),
            samplesOf(floorSink, robots, floorSent, options.warmUp, steadyEnd), true);
    addRows(table, "bursts of " + std::to_string(options.burst) + ", " + robotsText,
            samplesOf(bridgeSink, robots, bridgeSent, steadyEnd, total),
            samplesOf(floorSink, robots, floorSent, steadyEnd, total), false);
    table.add({"loopback", "events lost or out of order, " + robotsText, "count", double(misfits), "", std::nullopt,
               "", ResultTable::Target{"value", "==", 0}});
  }

  Options parse(int argc, char** argv)
  {
    Options options;
    for (int i = 1; i < argc; ++i)
    {
      const std::string arg = argv[i];
      if (arg == "--smoke")
      {
        options.events = 400;
        options.warmUp = 50;
        options.burst = 100;
      }
      else if (arg.rfind("--events=", 0) == 0)
        options.events = std::stoul(arg.substr(9));
      else if (arg.rfind("--json=", 0) == 0)
        options.json = std::filesystem::absolute(arg.substr(7)).string();  // the bench changes directory
      else
        throw std::invalid_argument("unknown argument " + arg +
                                    " (usage: latency_bench [--events=N] [--smoke] [--json=FILE])");
    }
    if (options.events == 0)
      throw std::invalid_argument("--events must be at least 1");
    return options;
  }
}

int main(int argc, char** argv)
{
  try
  {
    const Options options = parse(argc, argv);
    ScriptDirectory directory;
    ResultTable table("latency_bench");
    for (std::size_t robots : {1u, 3u})
    {
      std::cout << "latency_bench: " << robots << " robot(s), " << options.events << " events at "
                << options.rate << "/s, then in bursts of " << options.burst << std::endl;
      runScenario(robots, options, table);
    }
    for (const auto& row : table.rows())
      std::cout << "  " << row.subject << "  " << row.metric << " " << row.value << " " << row.unit
                << (row.floor ? "  floor " + std::to_string(*row.floor) : std::string()) << '\n';
    table.note("loopback: callback to robot = MidiIn::handleInput called on the bench thread until the "
               "server's read holding the statement's last byte returns; floor events alternate with "
               "bridge events, half a period apart");
    if (!options.json.empty())
      table.write(options.json);
    return 0;
  }
  catch (const std::exception& e)
  {
    std::cerr << "latency_bench: " << e.what() << std::endl;
    return 1;
  }
}
