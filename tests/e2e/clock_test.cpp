// A MIDI clock source through the notara program: the robot receives the
// start, one tick per beat, the measured tempo from the second beat on, and
// the stop, in that order; a second start while running only says so. How
// near the measured tempo comes to the clock's is a figure of tempo_bench.
#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/jack_source_test.h"
#include "support/test_server.h"

namespace
{
  class ClockTest : public notara::test::JackSourceTest
  {
  protected:
    ClockTest() : JackSourceTest("e2e-clock") {}

    notara::test::TestServer robot;
  };

  TEST_F(ClockTest, ClockGivesStartTicksTheTempoAndStopInOrder)
  {
    ASSERT_NO_FATAL_FAILURE(startNotara("robot 0 127.0.0.1 " + std::to_string(robot.port()) + "\n"));
    ASSERT_TRUE(robot.waitForBytes(0, run->upload().size()));

    // The source's own pace between messages keeps JACK from dropping
    // any on a busy machine; the tempo it makes is whatever it is.
    source->start();
    source->start();  // a second start while running changes nothing
    constexpr int beats = 5;
    for (int i = 0; i < 24 * (beats - 1) + 1; ++i)
      source->clock();
    source->stop();

    ASSERT_TRUE(robot.waitForText(0, "emit midi.stop(),")) << robot.received(0);
    const std::string received = robot.received(0);
    ASSERT_EQ(received.substr(0, run->upload().size()), run->upload());
    const std::string texts = received.substr(run->upload().size());

    // The first beat only sets the time reference; each later one sends
    // its tick, then the tempo.
    const std::string tempo = R"(emit midi\.tick\( 0\),midi\.bpm=(-?\d+),midi\.period=(-?\d+),)";
    const std::regex whole("emit midi\\.start\\(\\),emit midi\\.tick\\( 0\\),(" + tempo + "){" +
                           std::to_string(beats - 1) + "}emit midi\\.stop\\(\\),");
    ASSERT_TRUE(std::regex_match(texts, whole)) << texts;

    // Each beat's tempo and period come from one interval d in
    // microseconds: period = d / 1000 and bpm = 60000000 / d.
    const std::regex one(tempo);
    for (auto it = std::sregex_iterator(texts.begin(), texts.end(), one); it != std::sregex_iterator(); ++it)
    {
      const long long bpm = std::stoll((*it)[1]);
      const long long period = std::stoll((*it)[2]);
      const long long shortest = std::max(period * 1000, 1LL);
      const long long longest = period * 1000 + 999;
      EXPECT_GE(bpm, 60000000 / longest) << texts;
      EXPECT_LE(bpm, 60000000 / shortest) << texts;
    }
    EXPECT_NE(run->process().errors().find("Extra start message\n"), std::string::npos) << run->process().errors();
  }
}
