// The tempo notara measures from a MIDI clock: a JACK MIDI source in this
// process sends start, 24 clocks a beat at 120 beats per minute on a fixed
// schedule, and stop; the notara program reads it through a JACK server and
// sends midi.bpm and midi.period to one robot on 127.0.0.1 once a beat.
// Prints how far each measured period and the mean tempo are from the
// clock's, beside the JACK period that delays a clock's delivery.
//
// Needs a running JACK server (JACK_DEFAULT_SERVER names it); scripts/bench
// starts one.
//
// Usage: tempo_bench [--smoke] [--json=FILE]   (--smoke: 5 beats instead of 60)
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <numeric>
#include <iostream>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <jack/jack.h>

#include "bench_arguments.h"
#include "result_table.h"
#include "support/jack_midi_source.h"
#include "support/notara_run.h"
#include "support/test_server.h"

namespace
{
  using notara::bench::ResultTable;
  using namespace notara::test;
  using Clock = std::chrono::steady_clock;

  constexpr double kBpm = 120;
  constexpr double kPeriodMillis = 60000 / kBpm;

  /// The JACK server's period in milliseconds, asked of a client of our own.
  double jackPeriodMillis()
  {
    jack_status_t status{};
    jack_client_t* client = jack_client_open("nbench-tempo", JackNoStartServer, &status);
    if (client == nullptr)
      throw std::runtime_error("jackPeriodMillis: no JACK server answers (status " +
                               std::to_string(static_cast<int>(status)) + ")");
    const double millis = 1000.0 * jack_get_buffer_size(client) / jack_get_sample_rate(client);
    jack_client_close(client);
    return millis;
  }
}

int main(int argc, char** argv)
{
  return notara::bench::smokeMain(argc, argv, "tempo_bench", [](ResultTable& table, bool smoke) {
    const int beats = smoke ? 5 : 60;
    // The JACK server answers the period question or the benchmark can't run.
    const double jackPeriod = jackPeriodMillis();
    JackMidiSource source("bench-clock");
    source.setPace(std::chrono::milliseconds(0));
    TestServer robot;
    NotaraRun run(NOTARA_BINARY, "robot 0 127.0.0.1 " + std::to_string(robot.port()) + "\n");
    run.start({std::to_string(midiDeviceNumber(source.deviceName()))});
    if (!run.waitUntilIdle() || !robot.waitForBytes(0, run.upload().size()))
      throw std::runtime_error("notara did not start with " + source.deviceName() + ": " +
                               run.process().errors());

    std::cout << "tempo_bench: " << beats << " beats at " << kBpm << " beats per minute" << std::endl;
    // A fixed schedule: a late wake-up delays one clock, not the ones after it.
    source.start();
    const auto interval = std::chrono::microseconds(static_cast<long>(kPeriodMillis * 1000 / 24));
    const auto first = Clock::now() + std::chrono::milliseconds(10);
    for (int i = 0; i < 24 * (beats - 1) + 1; ++i)
    {
      std::this_thread::sleep_until(first + i * interval);
      source.clock();
    }
    source.stop();
    if (!robot.waitForText(0, "emit midi.stop(),"))
      throw std::runtime_error("the stop did not arrive: " + robot.received(0));

    const std::string texts = robot.received(0);
    const std::regex tempo(R"(midi\.bpm=(-?\d+),midi\.period=(-?\d+),)");
    std::vector<double> bpms, periods;
    for (auto it = std::sregex_iterator(texts.begin(), texts.end(), tempo); it != std::sregex_iterator(); ++it)
    {
      bpms.push_back(std::stod((*it)[1]));
      periods.push_back(std::stod((*it)[2]));
    }
    if (periods.empty())
      throw std::runtime_error("no tempo arrived: " + texts);

    // One beat's interval may be off by a JACK period and the scheduling
    // of a busy machine, as the clock that ends it is delivered late; the
    // next one is then short by as much, so the means cancel those errors.
    double worst = 0;
    for (double period : periods)
      worst = std::max(worst, std::abs(period - kPeriodMillis));
    const double meanBpm = std::accumulate(bpms.begin(), bpms.end(), 0.0) / bpms.size();
    const double meanPeriod = std::accumulate(periods.begin(), periods.end(), 0.0) / periods.size();
    const std::string subject = std::to_string(periods.size()) + " beats of a 120 bpm clock";
    const std::string floorName = "JACK period";

    table.add({"tempo", subject + ": largest error of one period", "max", worst, "ms", jackPeriod, floorName,
               ResultTable::Target{"value", "<=", 50}});
    table.add({"tempo", subject + ": error of the mean period", "mean", std::abs(meanPeriod - kPeriodMillis),
               "ms", jackPeriod, floorName, ResultTable::Target{"value", "<=", 10}});
    table.add({"tempo", subject + ": error of the mean tempo", "mean", std::abs(meanBpm - kBpm), "bpm",
               std::nullopt, "", ResultTable::Target{"value", "<=", 2}});
  });
}
