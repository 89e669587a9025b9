// The cost of one MIDI event in process: from MidiIn::handleInput with a
// MIM_DATA word to the text handed to the raw send of an in-memory client.
// Every event is timed on its own, so the median and the 99th percentile are
// per event; heap allocations are counted with a replaced operator new.
//
// Usage: event_cost_bench [--json=FILE] [Google Benchmark flags]
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <mmsystem.h>

#include "allocation_counter.h"
#include "bridge/midi.h"
#include "counting_client.h"
#include "latency_summary.h"
#include "libgantry/utime.h"
#include "result_table.h"
#include "support/slot_clients.h"

namespace
{
  using notara::bench::AllocationCounter;
  using notara::bench::CountingClient;
  using notara::bench::LatencySummary;
  using notara::bench::ResultTable;

  // Samples kept per run; a run longer than this is summarised from its
  // first events (the benchmark's own mean still covers all of them).
  constexpr std::size_t kMaxSamples = std::size_t{1} << 20;
  // Events sent before counting, so that reused text buffers have grown.
  constexpr int kWarmUp = 256;

  // Note on, channel 0, note 60, velocity 100, packed as Windows packs it.
  constexpr std::uint32_t kNoteOn = 0x90u | (60u << 8) | (100u << 16);
  constexpr std::uint32_t kNoteOnChannel5 = 0x95u | (60u << 8) | (100u << 16);
  constexpr std::uint32_t kProgramChange = 0xC0u | (5u << 8);
  constexpr std::uint32_t kClock = 0xF8u;

  std::int64_t nowNanos()
  {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }

  /// The operation kinds with the parameters each is set up from.
  struct Kind
  {
    const char* name;
    std::vector<std::string> params;
  };

  const std::vector<Kind> kinds = {
      {"DirectMap", {"arm.pos", "1", "1.5", "10"}},
      {"ParameterSet", {"1"}},
      {"EmitMap", {"midi.key"}},
      {"TagMap", {"walk", "1"}},
      {"TagSwitch", {"dance", "0"}},
  };

  /// One measured case.
  struct Case
  {
    std::string name;
    const Kind* kind = nullptr;  // null: no actions at all
    int records = 0;
    bool allMatch = false;
    std::uint32_t word = kNoteOn;
    int textsPerEvent = 0;        // what the client must receive per event
    std::function<void(Midi&)> before;  // run before each event, untimed
    bool targeted = false;        // the per-event targets apply
  };

  struct CaseResult
  {
    LatencySummary summary;
    double allocsPerEvent = 0;
    double textsPerEvent = 0;
    std::uint64_t events = 0;
    std::string text;
  };

  std::map<std::string, CaseResult> results;
  std::vector<Case> cases;
  // Cases that could not be measured or whose texts were not the expected ones.
  std::vector<std::string> failures;

  // ParameterSet writes "Setting parameter to" on every event; the line
  // goes to /dev/null rather than to the terminal that shows the table, so
  // what is measured is the write itself and not the terminal's speed.
  class StderrToNull
  {
  public:
    StderrToNull() : saved_(::dup(2))
    {
      const int null = ::open("/dev/null", O_WRONLY);
      if (null >= 0)
      {
        ::dup2(null, 2);
        ::close(null);
      }
    }
    ~StderrToNull()
    {
      if (saved_ >= 0)
      {
        std::cerr.flush();
        ::dup2(saved_, 2);
        ::close(saved_);
      }
    }
    StderrToNull(const StderrToNull&) = delete;
    StderrToNull& operator=(const StderrToNull&) = delete;

  private:
    int saved_;
  };

  /// A MIDI input whose handler does nothing: the floor of every case.
  class EmptyInput : public MidiIn
  {
  public:
    void onMessage(std::uint8_t, std::uint8_t, std::uint8_t, std::uint8_t) override {}
  };

  /// Times each call of `event` and records the result under `name`.
  template <class Event, class Before>
  void measure(benchmark::State& state, const std::string& name, Event event, Before before,
               const CountingClient* client, int textsPerEvent)
  {
    std::vector<std::int64_t> samples(kMaxSamples);
    std::size_t n = 0;
    const std::size_t textsBefore = client ? client->texts() : 0;
    const std::uint64_t allocationsBefore = AllocationCounter::count();
    for (auto _ : state)
    {
      before();
      const std::int64_t start = nowNanos();
      event();
      const std::int64_t end = nowNanos();
      if (n < kMaxSamples)
        samples[n++] = end - start;
    }
    const std::uint64_t allocations = AllocationCounter::count() - allocationsBefore;
    const auto events = static_cast<std::uint64_t>(state.iterations());
    const std::size_t texts = client ? client->texts() - textsBefore : 0;

    if (texts != events * static_cast<std::uint64_t>(textsPerEvent))
    {
      failures.push_back(name);
      state.SkipWithError(("expected " + std::to_string(textsPerEvent) + " texts per event, got " +
                           std::to_string(texts) + " for " + std::to_string(events) + " events")
                              .c_str());
      return;
    }

    samples.resize(n);
    CaseResult result;
    result.summary = LatencySummary::of(samples);
    result.events = events;
    result.allocsPerEvent = events ? static_cast<double>(allocations) / static_cast<double>(events) : 0;
    result.textsPerEvent = textsPerEvent;
    if (client && texts > 0)
      result.text = client->last();
    state.counters["p50_ns"] = result.summary.p50;
    state.counters["p99_ns"] = result.summary.p99;
    state.counters["allocs/ev"] = result.allocsPerEvent;
    state.counters["texts/ev"] = textsPerEvent;
    // The benchmark runs a case several times to find its iteration count;
    // the last run is the longest, and its figures stand.
    results[name] = result;
  }

  void runFloor(benchmark::State& state)
  {
    EmptyInput input;
    measure(
        state, "floor", [&] { input.handleInput(MIM_DATA, kNoteOn, 0); }, [] {}, nullptr, 0);
  }

  void runCase(benchmark::State& state, const Case& c)
  {
    StderrToNull quiet;
    notara::test::SlotClients<CountingClient> clients;
    Midi midi{clients.factory()};
    const CountingClient& client = *clients.fill(midi, {0});

    // The bridge's tables own the operations installed here.
    for (int i = 0; c.kind != nullptr && i < c.records; ++i)
    {
      // One matching record is the last of the slot, so the walk tries
      // every other record first; all-matching records accept any note.
      const auto filter = static_cast<std::uint8_t>(c.allMatch ? 0 : 60 - (c.records - 1) + i);
      const std::uint8_t mask = c.allMatch ? 0 : 0xFF;
      Midi::Operation* op = midi.installAction(1u, filter, mask, 0, 0, c.kind->name, c.kind->params, -1);
      if (op == nullptr)
      {
        failures.push_back(c.name);
        state.SkipWithError((std::string("installAction failed for ") + c.kind->name).c_str());
        return;
      }
    }

    const auto before = [&] {
      if (c.before)
        c.before(midi);
    };
    for (int i = 0; i < kWarmUp; ++i)
    {
      before();
      midi.handleInput(MIM_DATA, c.word, 0);
    }
    measure(
        state, c.name, [&] { midi.handleInput(MIM_DATA, c.word, 0); }, before, &client,
        c.textsPerEvent);
  }

  void buildCases()
  {
    for (const Kind& kind : kinds)
    {
      cases.push_back({std::string(kind.name) + ", 1 record", &kind, 1, false, kNoteOn, 1, {}, false});
      cases.push_back(
          {std::string(kind.name) + ", 32 records, last matches", &kind, 32, false, kNoteOn, 1, {}, true});
      cases.push_back(
          {std::string(kind.name) + ", 32 records, all match", &kind, 32, true, kNoteOn, 32, {}, true});
    }
    cases.push_back({"note on, its slot empty", nullptr, 0, false, kNoteOnChannel5, 0, {}, false});
    cases.push_back({"program change (dropped kind)", nullptr, 0, false, kProgramChange, 0, {}, false});
    cases.push_back({"clock, not at a beat boundary", nullptr, 0, false, kClock, 0,
                     [](Midi& m) { m.clockCount = 5; }, false});
    // A beat: the tick, midi.bpm and midi.period, half a second after the last.
    cases.push_back({"clock at a beat boundary", nullptr, 0, false, kClock, 3,
                     [](Midi& m) {
                       m.clockCount = 0;
                       m.lastBeatTime = libgantry::utime() - 500000;
                     },
                     false});
  }

  void addRows(ResultTable& table)
  {
    const auto floorIt = results.find("floor");
    if (floorIt == results.end())
      return;
    const LatencySummary& floor = floorIt->second.summary;
    const std::string floorName = "handleInput to an empty onMessage";
    table.add({"per-event", "floor: " + floorName, "p50", floor.p50, "ns", std::nullopt, "", std::nullopt});
    table.add({"per-event", "floor: " + floorName, "p99", floor.p99, "ns", std::nullopt, "", std::nullopt});

    for (const Case& c : cases)
    {
      const auto it = results.find(c.name);
      if (it == results.end())
        continue;
      const CaseResult& r = it->second;
      using Target = ResultTable::Target;
      const std::optional<Target> p50Target =
          c.targeted ? std::optional<Target>(Target{"value", "<=", 2000}) : std::nullopt;
      const std::optional<Target> p99Target =
          c.targeted ? std::optional<Target>(Target{"value", "<=", 5000}) : std::nullopt;
      table.add({"per-event", c.name, "p50", r.summary.p50, "ns", floor.p50, floorName, p50Target});
      table.add({"per-event", c.name, "p99", r.summary.p99, "ns", floor.p99, floorName, p99Target});
      // No allocation in the dispatch, at most one per text sent.
      table.add({"per-event", c.name + " (" + std::to_string(c.textsPerEvent) + " texts)", "allocs/event",
                 r.allocsPerEvent, "", 0.0, "none", Target{"value", "<=", double(c.textsPerEvent)}});
    }
  }

  std::string takeJsonPath(int& argc, char** argv)
  {
    std::string path;
    int out = 1;
    for (int i = 1; i < argc; ++i)
    {
      const std::string arg = argv[i];
      if (arg.rfind("--json=", 0) == 0)
        path = arg.substr(7);
      else
        argv[out++] = argv[i];
    }
    argc = out;
    return path;
  }
}

int main(int argc, char** argv)
{
  try
  {
    const std::string jsonPath = takeJsonPath(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
      return 1;

    buildCases();
    benchmark::RegisterBenchmark("floor: handleInput to an empty onMessage", runFloor);
    for (const Case& c : cases)
      benchmark::RegisterBenchmark(c.name.c_str(), [&c](benchmark::State& state) { runCase(state, c); });
    const std::size_t ran = benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (ran == 0)
    {
      std::cerr << "event_cost_bench: no benchmark ran" << std::endl;
      return 1;
    }

    for (const Case& c : cases)
      if (results.count(c.name))
        std::cout << "  " << c.name << ": last text '" << results[c.name].text << "'\n";

    if (!jsonPath.empty())
    {
      ResultTable table("event_cost_bench");
      addRows(table);
      table.note("per-event: one robot (an in-memory client) in slot 0; each event timed on its own "
                 "with the steady clock, so every figure includes two clock reads (see the floor)");
      table.write(jsonPath);
    }
    for (const std::string& name : failures)
      std::cerr << "event_cost_bench: '" << name << "' failed its check" << std::endl;
    return failures.empty() ? 0 : 1;
  }
  catch (const std::exception& e)
  {
    std::cerr << "event_cost_bench: " << e.what() << std::endl;
    return 1;
  }
}
