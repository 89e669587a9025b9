// A MIDI clock source at 120 beats per minute, through the notara program:
// the robot receives the start, one tick per beat, the measured tempo from
// the second beat on, and the stop.
#include <chrono>
#include <memory>
#include <numeric>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/jack_midi_source.h"
#include "support/jack_test.h"
#include "support/notara_run.h"
#include "support/test_server.h"

using notara::test::JackMidiSource;
using notara::test::NotaraRun;
using notara::test::TestServer;

namespace
{
  class ClockTest : public notara::test::JackTest
  {
  protected:
    void SetUp() override
    {
      JackTest::SetUp();
      if (IsSkipped() || HasFatalFailure())
        return;
      source = std::make_unique<JackMidiSource>("e2e-clock");
    }

    TestServer robot;
    std::unique_ptr<JackMidiSource> source;
  };

  TEST_F(ClockTest, ClockAt120BeatsPerMinuteGivesTicksAndTheTempo)
  {
    const int device = notara::test::midiDeviceNumber(source->deviceName());
    ASSERT_GE(device, 0) << source->deviceName() << " is not among the MIDI input devices";
    NotaraRun run(NOTARA_BINARY, "robot 0 127.0.0.1 " + std::to_string(robot.port()) + "\n");
    run.start({std::to_string(device)});
    ASSERT_TRUE(run.waitUntilIdle()) << run.process().errors();
    ASSERT_TRUE(robot.waitForBytes(0, run.upload().size()));

    // The clocks keep to a fixed schedule (24 per beat, 500 ms a beat), so
    // a late wake-up delays one clock and not the ones after it.
    source->setPace(std::chrono::milliseconds(0));
    source->start();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    source->start();  // a second start while running changes nothing
    const auto interval = std::chrono::microseconds(500000 / 24);
    const auto first = std::chrono::steady_clock::now() + std::chrono::milliseconds(10);
    constexpr int beats = 5;
    for (int i = 0; i < 24 * (beats - 1) + 1; ++i)
    {
      std::this_thread::sleep_until(first + i * interval);
      source->clock();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    source->stop();

    ASSERT_TRUE(robot.waitForText(0, "emit midi.stop(),")) << robot.received(0);
    const std::string received = robot.received(0);
    ASSERT_EQ(received.substr(0, run.upload().size()), run.upload());
    const std::string texts = received.substr(run.upload().size());

    // The first beat only sets the time reference; each later one sends
    // its tick, then the tempo.
    const std::string tempo = R"(emit midi\.tick\( 0\),midi\.bpm=(-?\d+),midi\.period=(-?\d+),)";
    const std::regex whole("emit midi\\.start\\(\\),emit midi\\.tick\\( 0\\),(" + tempo + "){" +
                           std::to_string(beats - 1) + "}emit midi\\.stop\\(\\),");
    ASSERT_TRUE(std::regex_match(texts, whole)) << texts;

    // One beat's interval may be off by a JACK period (5.3 ms) and the
    // scheduling on a busy machine, as the clock that ends it is delivered
    // late; the next interval is then short by as much. So each value is
    // checked against its own period, and the tempo against the mean of
    // the beats, in which those errors cancel.
    const std::regex one(tempo);
    std::vector<long long> bpms, periods;
    for (auto it = std::sregex_iterator(texts.begin(), texts.end(), one); it != std::sregex_iterator(); ++it)
    {
      bpms.push_back(std::stoll((*it)[1]));
      periods.push_back(std::stoll((*it)[2]));
    }
    ASSERT_EQ(periods.size(), static_cast<std::size_t>(beats - 1)) << texts;
    for (std::size_t i = 0; i < periods.size(); ++i)
    {
      // period = d / 1000 and bpm = 60000000 / d for one d in microseconds.
      const long long shortest = periods[i] * 1000;
      const long long longest = shortest + 999;
      EXPECT_GE(bpms[i], 60000000 / longest) << texts;
      EXPECT_LE(bpms[i], 60000000 / shortest) << texts;
      EXPECT_NEAR(periods[i], 500, 50) << "beat " << i + 2 << " is not near half a second: " << texts;
    }
    const double meanBpm = std::accumulate(bpms.begin(), bpms.end(), 0.0) / bpms.size();
    const double meanPeriod = std::accumulate(periods.begin(), periods.end(), 0.0) / periods.size();
    EXPECT_NEAR(meanBpm, 120, 2) << texts;
    EXPECT_NEAR(meanPeriod, 500, 10) << texts;
    EXPECT_NE(run.process().errors().find("Extra start message\n"), std::string::npos) << run.process().errors();
  }
}
