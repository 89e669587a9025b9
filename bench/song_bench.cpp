// Songs: how long notara --render takes for a 30-minute song of 100 events
// a second through the example configuration (with and without the clock),
// and how closely midi-pattern keeps a song's times when it plays it into
// a JACK input of this process, beside the JACK period.
//
// The render part needs nothing but the notara program; the timing part
// needs a running JACK server (JACK_DEFAULT_SERVER names it) and is left
// out, with a note, when none answers. scripts/bench starts one.
//
// Usage: song_bench [--smoke] [--json=FILE]   (--smoke: one render run and
// a 5-second song instead of five runs and 30 seconds)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <jack/jack.h>
#include <jack/midiport.h>

#include "bench_arguments.h"
#include "result_table.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace
{
  using notara::bench::ResultTable;
  using notara::test::ChildProcess;
  using notara::test::ExitStatus;
  using notara::test::TempDir;
  using Clock = std::chrono::steady_clock;

  constexpr unsigned kDivision = 480;

  std::string number(std::uint32_t value)
  {
    std::string out(1, char(value & 0x7F));
    while (value >>= 7)
      out.insert(out.begin(), char(0x80 | (value & 0x7F)));
    return out;
  }

  std::string be32(std::uint32_t v)
  {
    return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
  }

  // A format 0 song at 120 beats a minute: `eventsPerSecond` messages a
  // second for `seconds`, cycling through what the example configuration
  // acts on (notes of channels 0 and 1, controllers 7 and 64 of channel 0).
  // The tick of event `i` of a song of `eventsPerSecond`.
  std::uint64_t tickOf(std::uint64_t i, unsigned eventsPerSecond)
  {
    return static_cast<std::uint64_t>(std::llround(i * (kDivision * 2.0 / eventsPerSecond)));
  }

  std::string makeSong(double seconds, unsigned eventsPerSecond)
  {
    std::string body = number(0) + "\xFF\x51\x03\x07\xA1\x20";
    const std::uint64_t count = static_cast<std::uint64_t>(seconds * eventsPerSecond);
    std::uint64_t lastTick = 0;
    const unsigned char pads[] = {36, 38, 40, 41, 50, 55};
    for (std::uint64_t i = 0; i < count; ++i)
    {
      const std::uint64_t tick = tickOf(i, eventsPerSecond);
      body += number(static_cast<std::uint32_t>(tick - lastTick));
      lastTick = tick;
      const unsigned step = i % 8;
      const bool on = (i / 8) % 2 == 0;
      if (step < 3)
        body += {char(on ? 0x90 : 0x80), char(60 + step), char(on ? 100 : 0)};
      else if (step < 6)
        body += {char(on ? 0x91 : 0x81), char(pads[(i / 16 + step) % 6]), char(on ? 90 : 0)};
      else if (step == 6)
        body += {char(0xB0), char(7), char(i % 128)};
      else
        body += {char(0xB0), char(64), char(on ? 127 : 0)};
    }
    body += number(kDivision) + "\xFF\x2F" + std::string(1, '\0');
    return "MThd" + be32(6) + std::string("\0\0\0\1", 4) + std::string{char(kDivision >> 8), char(kDivision & 0xFF)} +
           "MTrk" + be32(static_cast<std::uint32_t>(body.size())) + body;
  }

  // A song of `count` controller changes every 20 ms at 120 beats a
  // minute, event i numbered by its controller and value, so that an
  // arrival tells which event it is even when JACK lost some.
  std::string makeNumberedSong(std::uint32_t count)
  {
    std::string body = number(0) + "\xFF\x51\x03\x07\xA1\x20";
    std::uint64_t lastTick = 0;
    for (std::uint32_t i = 0; i < count; ++i)
    {
      const std::uint64_t tick = tickOf(i, 50);
      body += number(static_cast<std::uint32_t>(tick - lastTick));
      lastTick = tick;
      body += {char(0xB0), char((i / 128) % 120), char(i % 128)};
    }
    body += number(kDivision) + "\xFF\x2F" + std::string(1, '\0');
    return "MThd" + be32(6) + std::string("\0\0\0\1", 4) + std::string{char(kDivision >> 8), char(kDivision & 0xFF)} +
           "MTrk" + be32(static_cast<std::uint32_t>(body.size())) + body;
  }

  double percentile(std::vector<double> values, double p)
  {
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(p * values.size()))];
  }

  // Runs notara with `args`, its standard output into `out` and its
  // standard error into /dev/null, so that nothing but notara is timed;
  // its CPU seconds (user and system) in `cpu`.
  void runRender(const std::vector<std::string>& args, const std::string& out, double& cpu)
  {
    std::vector<char*> argv{const_cast<char*>(NOTARA_BINARY)};
    for (const std::string& arg : args)
      argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int error = posix_spawn(&pid, NOTARA_BINARY, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
      throw std::runtime_error(std::string("can't start notara: ") + std::strerror(error));
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
      throw std::runtime_error("notara --render failed (status " + std::to_string(status) + ")");
    cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
          double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  }

  // Median wall time of `runs` renders, in seconds, and their median CPU
  // time in `cpu`; the line count of the last in `lines`.
  double timeRenders(const TempDir& dir, const std::string& song, bool clock, int runs, std::size_t& lines,
                     double& cpu)
  {
    std::vector<double> times;
    std::vector<double> cpus;
    const std::string conf = (std::filesystem::path(NOTARA_SOURCE_DIR) / "examples" / "notara.conf").string();
    const std::string out = (dir.path() / "render.out").string();
    for (int i = 0; i < runs; ++i)
    {
      std::vector<std::string> args;
      if (clock)
        args.push_back("--clock");
      args.insert(args.end(), {"--render", song, conf});
      double used = 0;
      const auto start = Clock::now();
      runRender(args, out, used);
      times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
      cpus.push_back(used);
      const std::string text = notara::test::readFile(out);
      lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
    }
    cpu = percentile(cpus, 0.5);
    return percentile(times, 0.5);
  }

  // A JACK MIDI input of this process that notes when each event reached
  // it: the system clock's microseconds (jack_get_time) as its cycle runs,
  // into a buffer sized in advance. The dummy driver's frame counter is not
  // a clock to trust on a busy machine; the system clock is.
  class TimedInput
  {
  public:
    explicit TimedInput(std::size_t capacity) : times_(capacity)
    {
      jack_status_t status{};
      client_ = jack_client_open("nbench-song", JackNoStartServer, &status);
      if (client_ == nullptr)
        throw std::runtime_error("no JACK server answers");
      port_ = jack_port_register(client_, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
      jack_set_process_callback(client_, &TimedInput::process, this);
      if (port_ == nullptr || jack_activate(client_) != 0)
        throw std::runtime_error("can't open a JACK MIDI input");
    }
    ~TimedInput()
    {
      jack_deactivate(client_);
      jack_client_close(client_);
    }
    double periodMillis() const
    {
      return 1000.0 * jack_get_buffer_size(client_) / jack_get_sample_rate(client_);
    }
    void connectFrom(const std::string& source)
    {
      if (jack_connect(client_, source.c_str(), jack_port_name(port_)) != 0)
        throw std::runtime_error("can't connect " + source);
    }
    /// Arrival time and event number (controller * 128 + value) of each event.
    std::vector<std::pair<double, std::uint32_t>> arrivals() const
    {
      const std::size_t count = std::min(count_.load(std::memory_order_acquire), times_.size());
      return {times_.begin(), times_.begin() + static_cast<std::ptrdiff_t>(count)};
    }

  private:
    static int process(jack_nframes_t frames, void* self)
    {
      auto& input = *static_cast<TimedInput*>(self);
      void* buffer = jack_port_get_buffer(input.port_, frames);
      const double now = double(jack_get_time());
      const std::uint32_t events = jack_midi_get_event_count(buffer);
      for (std::uint32_t i = 0; i < events; ++i)
      {
        jack_midi_event_t event;
        if (jack_midi_event_get(&event, buffer, i) != 0)
          continue;
        const std::size_t at = input.count_.load(std::memory_order_relaxed);
        if (at < input.times_.size() && event.size == 3)
          input.times_[at] = {now, std::uint32_t(event.buffer[1]) * 128 + event.buffer[2]};
        input.count_.store(at + 1, std::memory_order_release);
      }
      return 0;
    }

    jack_client_t* client_ = nullptr;
    jack_port_t* port_ = nullptr;
    std::vector<std::pair<double, std::uint32_t>> times_;
    std::atomic<std::size_t> count_{0};
  };
}

int main(int argc, char** argv)
{
  return notara::bench::smokeMain(argc, argv, "song_bench", [](ResultTable& table, bool smoke) {
    TempDir dir;
    const std::string song = dir.write("long.mid", makeSong(30 * 60, 100)).string();
    const std::string subject = "render of a 30-minute song, 100 events/s, example configuration";
    for (const bool clock : {false, true})
    {
      std::size_t lines = 0;
      double cpu = 0;
      const double seconds = timeRenders(dir, song, clock, smoke ? 1 : 5, lines, cpu);
      const std::string what = subject + (clock ? ", with clock" : "") + " (" + std::to_string(lines) + " lines)";
      table.add({"render", what + ": wall time", "median", seconds * 1000, "ms", std::nullopt, "",
                 ResultTable::Target{"value", "<", 1000}});
      table.add({"render", what + ": CPU time", "median", cpu * 1000, "ms", std::nullopt, "", std::nullopt});
    }

    // Timing: events every 20 ms (no two closer than midi-pattern's gap),
    // played through JACK.
    const double length = smoke ? 5 : 30;
    const std::uint32_t expected = static_cast<std::uint32_t>(length * 50);
    const std::string timed = dir.write("timed.mid", makeNumberedSong(expected)).string();
    try
    {
      TimedInput input(expected + 16);
      ChildProcess pattern(MIDI_PATTERN_BINARY,
                           {"--api", "jack", "--port", "bench-song", "--wait", "20", "--lead-in", "0.5", timed},
                           dir.path());
      if (!pattern.waitForOutput(" open on JACK"))
        throw std::runtime_error("midi-pattern did not open its port: " + pattern.errors());
      std::smatch match;
      const std::string opened = pattern.output();
      if (!std::regex_search(opened, match, std::regex("port (\\S+) open on JACK")))
        throw std::runtime_error("no port name in: " + opened);
      input.connectFrom(match[1].str());
      const auto status = pattern.waitForExit(std::chrono::seconds(static_cast<long>(length) + 30));
      if (!status || status->value != 0)
        throw std::runtime_error("midi-pattern did not play to its end: " + pattern.output() + pattern.errors());
      const auto arrivals = input.arrivals();
      if (arrivals.size() < 2 || arrivals[0].second != 0)
        throw std::runtime_error(std::to_string(arrivals.size()) + " events arrived, the first one lost");
      // Each arrival against its event's time in the file, both counted
      // from the first event (120 beats a minute: a tick is 500 / 480 ms).
      std::vector<double> deviations;
      for (const auto& [time, index] : arrivals)
      {
        const double due = double(tickOf(index, 50)) * 500.0 / kDivision;
        deviations.push_back(std::abs((time - arrivals[0].first) / 1000.0 - due));
      }
      const std::string what = "midi-pattern playing a song through JACK, " + std::to_string(arrivals.size()) +
                               " of " + std::to_string(expected) + " events arrived: deviation from the file's time";
      table.add({"song", what, "p50", percentile(deviations, 0.5), "ms", input.periodMillis(), "JACK period",
                 std::nullopt});
      table.add({"song", what, "p99", percentile(deviations, 0.99), "ms", input.periodMillis(), "JACK period",
                 std::nullopt});
    }
    catch (const std::exception& e)
    {
      table.note(std::string("midi-pattern timing not measured: ") + e.what());
    }

  });
}
