// Latency from the MIDI callback to a robot over loopback TCP, with the real
// client library: events go into MidiIn::handleInput on this thread, the
// bridge sends "emit midi.key(...)," through VSyncClient to a StatementSink,
// which stamps the read that holds each statement's last byte. The floor is
// the same bytes written from the same thread by a bare blocking send on a
// TCP_NODELAY socket, to a sink of its own, stamped the same way; bridge and
// floor events alternate, so both see the same machine.
//
// Also: the same 3 robots beside a fourth that never reads (its server
// never accepts, and its small receive buffer fills at once), against the
// run without it; the time from a restarted server's listen to the last
// byte of the upload read, over 20 restarts after outages of 0 to 2 s; and
// the start-up of 32 robot lines whose host doesn't answer.
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
#include <sstream>
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
#include "support/slot_clients.h"
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
    std::size_t restarts = 20;
    std::string json;
  };

  /// The 3-robot run's steady figures, which the run beside a robot that
  /// doesn't read is held against.
  struct Baseline
  {
    double p50 = 0;
    double p99 = 0;
  };

  /// A listener on 127.0.0.1 that never accepts: the system completes the
  /// connections, and with a small receive buffer and nobody reading, a
  /// robot connected to it stalls after a few kilobytes. With a backlog of
  /// 0 and its queue filled, further attempts get no answer at all.
  class DeafListener
  {
  public:
    explicit DeafListener(bool answers) : acceptor_(io_)
    {
      const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), 0);
      acceptor_.open(endpoint.protocol());
      acceptor_.set_option(asio::socket_base::receive_buffer_size(4096));
      acceptor_.bind(endpoint);
      acceptor_.listen(answers ? asio::socket_base::max_listen_connections : 0);
      if (answers)
        return;
      for (int i = 0; i < 4; ++i)
      {
        fillers_.emplace_back(io_);
        fillers_.back().open(tcp::v4());
        fillers_.back().async_connect(acceptor_.local_endpoint(), [](const boost::system::error_code&) {});
      }
    }
    unsigned port() const { return acceptor_.local_endpoint().port(); }

  private:
    asio::io_context io_;
    tcp::acceptor acceptor_;
    std::vector<tcp::socket> fillers_;
  };

  /// The robot links' clients: the real ones, noted as they are made.
  using RealClients = notara::test::SlotClients<VSyncClient>;

  /// Waits until slot `slot`'s client takes every thread's texts.
  bool waitConnected(const RealClients& clients, std::size_t slot)
  {
    const auto end = Clock::now() + kWait;
    while (Clock::now() < end)
    {
      const VSyncClient* client = clients.at(static_cast<int>(slot));
      if (client != nullptr && client->isConnected())
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }

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

  /// One run with `robots` robots, and a robot that never reads after them
  /// when `stalled`: warm-up, steady rate, bursts. With `baseline` its
  /// steady figures are held against it; without, they are stored there.
  void runScenario(std::size_t robots, bool stalled, const Options& options, ResultTable& table, Baseline& baseline)
  {
    const std::size_t total = options.warmUp + 2 * options.events;
    StatementSink bridgeSink(robots, std::string(robotScript) + kScript, total);
    StatementSink floorSink(robots, "", total);
    DeafListener deaf(true);

    RealClients clients{notara::test::connectingClient};
    Midi midi{clients.factory()};
    for (std::size_t r = 0; r < robots; ++r)
      midi.addRobot(static_cast<unsigned>(r), "127.0.0.1", bridgeSink.port());
    if (stalled)
      midi.addRobot(static_cast<unsigned>(robots), "127.0.0.1", deaf.port());
    if (!bridgeSink.acceptAll(kWait) || !bridgeSink.waitForPrefixes(kWait) || bridgeSink.prefixMismatch())
      throw std::runtime_error("runScenario: the robots' uploads did not arrive whole");
    for (std::size_t r = 0; r < robots + (stalled ? 1 : 0); ++r)
      if (!waitConnected(clients, r))
        throw std::runtime_error("runScenario: robot " + std::to_string(r) + " did not connect");
    if (stalled)
    {
      // Its socket buffers and its queue full from the start: every text
      // for it meets a full queue.
      VSyncClient* deafClient = clients.at(static_cast<int>(robots));
      const std::string filler(1000, ' ');
      while (deafClient->rawSend(filler.data(), filler.size()) == 0)
      {
      }
    }
    // The bridge's tables own the operation.
    const Midi::Operation* emit = midi.installAction(1u, 0, 0, 0, 0, "EmitMap", {"midi.key"}, -1);
    if (emit == nullptr)
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

    const std::string robotsText =
        std::to_string(robots) + (robots == 1 ? " robot" : " robots") + (stalled ? " + 1 that never reads" : "");
    char rate[32];
    std::snprintf(rate, sizeof rate, "%.0f/s", options.rate);
    auto steadyBridge = samplesOf(bridgeSink, robots, bridgeSent, options.warmUp, steadyEnd);
    const LatencySummary steady = LatencySummary::of(steadyBridge);
    addRows(table, "steady " + std::string(rate) + ", " + robotsText, std::move(steadyBridge),
            samplesOf(floorSink, robots, floorSent, options.warmUp, steadyEnd), true);
    addRows(table, "bursts of " + std::to_string(options.burst) + ", " + robotsText,
            samplesOf(bridgeSink, robots, bridgeSent, steadyEnd, total),
            samplesOf(floorSink, robots, floorSent, steadyEnd, total), false);
    table.add({"loopback", "events lost or out of order, " + robotsText, "count", double(misfits), "", std::nullopt,
               "", ResultTable::Target{"value", "==", 0}});
    if (!stalled)
    {
      baseline = {steady.p50 / 1000.0, steady.p99 / 1000.0};
      return;
    }
    // The healthy robots' figures against the same robots without the one
    // that doesn't read.
    const std::string name = "steady " + std::string(rate) + ", the " + std::to_string(robots) +
                             " healthy robots beside one that never reads";
    const std::string without = "the same " + std::to_string(robots) + " robots alone";
    table.add({"loopback", name, "p50", steady.p50 / 1000.0, "us", baseline.p50, without,
               ResultTable::Target{"ratio", "<=", 1.2}});
    table.add({"loopback", name, "p99", steady.p99 / 1000.0, "us", baseline.p99, without,
               ResultTable::Target{"ratio", "<=", 1.5}});
    const VSyncClient* deafClient = clients.at(static_cast<int>(robots));
    table.add({"loopback", "texts dropped for the robot that never reads (queue of 1 MiB full)", "count",
               double(deafClient->textsDroppedQueueFull() - 1), "", std::nullopt, "", std::nullopt});
  }

  /// Reads from `socket` until `size` bytes came or the connection ended.
  std::size_t readUpTo(tcp::socket& socket, std::size_t size)
  {
    std::vector<char> buffer(65536);
    std::size_t got = 0;
    boost::system::error_code error;
    while (got < size && !error)
      got += socket.read_some(asio::buffer(buffer), error);
    return got;
  }

  /// A robot's server restarted `restarts` times on the same port after
  /// outages of 0 to 2 s: from its listen to the last byte of the upload read.
  void runReconnection(const Options& options, ResultTable& table)
  {
    const std::string upload = std::string(robotScript) + kScript;
    asio::io_context io;
    tcp::acceptor acceptor(io);
    const auto listen = [&](unsigned short port) {
      const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), port);
      acceptor.open(endpoint.protocol());
      acceptor.set_option(tcp::acceptor::reuse_address(true));
      acceptor.bind(endpoint);
      acceptor.listen();
    };
    listen(0);
    std::int64_t listening = StatementSink::now();
    const unsigned short port = acceptor.local_endpoint().port();

    RealClients clients{notara::test::connectingClient};
    Midi midi{clients.factory()};
    midi.addRobot(0, "127.0.0.1", port);
    std::vector<std::int64_t> times;
    for (std::size_t i = 0; i <= options.restarts; ++i)
    {
      tcp::socket socket(io);
      acceptor.accept(socket);
      if (readUpTo(socket, upload.size()) < upload.size())
        throw std::runtime_error("runReconnection: the upload did not arrive whole");
      // The first connection is start-up's, not a reconnection.
      if (i > 0)
        times.push_back(StatementSink::now() - listening);
      if (i == options.restarts)
        break;
      // The server goes away; the robot finds out, and the server comes
      // back after an outage that puts it at another point of the back-off.
      acceptor.close();
      socket.shutdown(tcp::socket::shutdown_both);
      socket.close();
      const auto end = Clock::now() + kWait;
      while (clients.at(0)->isConnected() && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      std::this_thread::sleep_for(std::chrono::milliseconds(100 * static_cast<int>(i % 21)));
      listen(port);
      listening = StatementSink::now();
    }
    const LatencySummary summary = LatencySummary::of(times);
    const std::string name = "reconnection, listen to upload read (" + std::to_string(times.size()) + " restarts)";
    table.add({"loopback", name, "p50", summary.p50 / 1e6, "ms", std::nullopt, "", std::nullopt});
    table.add({"loopback", name, "max", summary.max / 1e6, "ms", std::nullopt, "",
               ResultTable::Target{"value", "<=", 1200}});
  }

  /// parseConfig with 32 robot lines whose host doesn't answer.
  void runSilentStartup(ResultTable& table)
  {
    DeafListener silent(false);
    std::string conf;
    for (int slot = 0; slot < 32; ++slot)
      conf += "robot " + std::to_string(slot) + " 127.0.0.1 " + std::to_string(silent.port()) + "\n";
    Midi midi;
    std::istringstream in(conf);
    const auto start = Clock::now();
    midi.parseConfig(in);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    table.add({"loopback", "start-up: 32 robot lines whose host doesn't answer", "time", ms, "ms", std::nullopt, "",
               ResultTable::Target{"value", "<", 3000}});
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
        options.restarts = 3;
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
    Baseline baseline;
    for (std::size_t robots : {1u, 3u})
    {
      std::cout << "latency_bench: " << robots << " robot(s), " << options.events << " events at "
                << options.rate << "/s, then in bursts of " << options.burst << std::endl;
      runScenario(robots, false, options, table, baseline);
    }
    std::cout << "latency_bench: 3 robots and one that never reads" << std::endl;
    runScenario(3, true, options, table, baseline);
    std::cout << "latency_bench: " << options.restarts << " server restarts" << std::endl;
    runReconnection(options, table);
    std::cout << "latency_bench: start-up with 32 robots that don't answer" << std::endl;
    runSilentStartup(table);
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
