// Robots under pressure, through the notara program with real sockets on
// 127.0.0.1 and MIDI from a JACK source: a robot that stops reading for ten
// seconds gets nothing older than the age limit when it reads again, and a
// flood of events, tag changes and controller values to a robot that falls
// behind keeps every event and tag change, in order, and the latest value.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/eventually.h"
#include "support/http_get.h"
#include "support/jack_midi_source.h"
#include "support/jack_test.h"
#include "support/notara_run.h"
#include "support/numbered_events.h"
#include "support/paced_robot.h"
#include "support/test_server.h"

using namespace notara::test;
using Clock = std::chrono::steady_clock;

namespace
{
  // The statements of `texts` (each ends with ','; an event's arguments
  // are inside parentheses), in order.
  std::vector<std::string> statementsOf(const std::string& texts)
  {
    std::vector<std::string> out;
    std::size_t start = 0;
    int depth = 0;
    for (std::size_t i = 0; i < texts.size(); ++i)
    {
      if (texts[i] == '(')
        ++depth;
      else if (texts[i] == ')')
        --depth;
      else if (texts[i] == ',' && depth == 0)
      {
        out.push_back(texts.substr(start, i + 1 - start));
        start = i + 1;
      }
    }
    return out;
  }

  class RobotPressureTest : public notara::test::JackTest
  {
  protected:
    void SetUp() override
    {
      JackTest::SetUp();
      if (IsSkipped() || HasFatalFailure())
        return;
      source = std::make_unique<JackMidiSource>("e2e-pressure");
    }

    // notara with `conf`, and `options` before the device number.
    void start(const std::string& conf, std::vector<std::string> options = {})
    {
      const int device = notara::test::midiDeviceNumber(source->deviceName());
      ASSERT_GE(device, 0) << source->deviceName() << " is not among the MIDI input devices";
      run = std::make_unique<NotaraRun>(NOTARA_BINARY, conf);
      options.push_back(std::to_string(device));
      run->start(options);
      ASSERT_TRUE(run->waitUntilIdle()) << run->process().errors();
    }

    // The port of the status server notara announced.
    unsigned statusPort() const
    {
      const std::string line = "Status page: http://127.0.0.1:";
      const std::string text = errors();
      const std::size_t at = text.find(line);
      return at == std::string::npos ? 0 : static_cast<unsigned>(std::stoul(text.substr(at + line.size())));
    }

    // The bytes notara's queue holds for the robot in `slot`, from the
    // status document.
    std::uint64_t queuedBytes(unsigned port, int slot) const
    {
      const auto status = nlohmann::json::parse(httpGet(port, "/status.json"));
      for (const auto& robot : status.at("robots"))
        if (robot.at("slot") == slot)
          return robot.at("queued_bytes").get<std::uint64_t>();
      ADD_FAILURE() << "no robot in slot " << slot << " in " << status.dump();
      return 0;
    }

    std::string errors() const { return run->process().errors(); }

    std::unique_ptr<JackMidiSource> source;
    std::unique_ptr<NotaraRun> run;  // declared last: stopped first
  };

  TEST_F(RobotPressureTest, ARobotThatReadsAgainAfterTenSecondsGetsNothingOlderThanTheLimit)
  {
    TestServer stalled(TestServer::Options::stalled());
    TestServer healthy;
    start(robotLine(0, stalled.port()) + robotLine(1, healthy.port()) + "action 1 0 3 EmitMap midi.key\n");
    const std::string upload = run->upload();
    ASSERT_TRUE(healthy.waitForBytes(0, upload.size())) << errors();
    ASSERT_TRUE(stalled.waitForConnections(1));

    // An event a millisecond for ten seconds; the time each was sent.
    source->setPace(std::chrono::milliseconds(1));
    std::vector<Clock::time_point> sentAt;
    const auto end = Clock::now() + std::chrono::seconds(10);
    for (int k = 0; Clock::now() < end && k < 128 * 127; ++k)
    {
      sentAt.push_back(Clock::now());
      source->noteOn(0, keyOf(k), velocityOf(k));
    }
    const int last = static_cast<int>(sentAt.size()) - 1;
    const Clock::time_point resumed = Clock::now();
    stalled.resumeReading();
    const std::string lastText = "emit midi.key(9,0," + std::to_string(keyOf(last)) + "," +
                                 std::to_string(velocityOf(last)) + "),";
    ASSERT_TRUE(healthy.waitForText(0, lastText)) << errors();
    ASSERT_TRUE(stalled.waitForText(0, lastText)) << errors();

    // The stalled robot: the events the sockets' buffers took before the
    // stall showed, then, after one jump, only those of the last second.
    const std::string received = stalled.received(0);
    ASSERT_EQ(received.substr(0, upload.size()), upload);
    const std::vector<int> events = eventsIn(received.substr(upload.size()));
    ASSERT_FALSE(events.empty());
    int jumps = 0;
    bool afterJump = false;
    for (std::size_t i = 0; i < events.size(); ++i)
    {
      ASSERT_GE(events[i], 0) << "not an event's text at " << i;
      ASSERT_LE(events[i], last);
      if (i > 0)
      {
        ASSERT_GT(events[i], events[i - 1]) << "out of order at " << i;
        if (sentAt[events[i]] - sentAt[events[i - 1]] > std::chrono::seconds(2))
        {
          ++jumps;
          afterJump = true;
        }
      }
      if (afterJump)
      {
        // Made at most a second before it was written; written after the
        // robot read again. A tenth of a second covers MIDI's way in.
        EXPECT_GE(sentAt[events[i]], resumed - std::chrono::milliseconds(1100))
            << "event " << events[i] << " was sent " <<
            std::chrono::duration_cast<std::chrono::milliseconds>(resumed - sentAt[events[i]]).count()
            << " ms before the robot read again";
      }
    }
    EXPECT_EQ(jumps, 1);
    const std::string line = robotName(0, stalled.port()) + " dropped ";
    EXPECT_NE(errors().find(line), std::string::npos) << errors();
    EXPECT_NE(errors().find(" texts older than 1000 ms\n"), std::string::npos) << errors();

    // The healthy robot: everything in order, nothing missing but what
    // JACK may lose on a busy machine.
    const std::vector<int> healthyEvents = eventsIn(healthy.received(0).substr(upload.size()));
    for (std::size_t i = 1; i < healthyEvents.size(); ++i)
      ASSERT_GT(healthyEvents[i], healthyEvents[i - 1]) << "out of order at " << i;
    EXPECT_GE(healthyEvents.size(), sentAt.size() * 99 / 100);
    EXPECT_EQ(errors().find(robotName(1, healthy.port()) + " dropped "), std::string::npos) << errors();
  }

  TEST_F(RobotPressureTest, AFloodToARobotThatFellBehindKeepsEveryEventAndTagInOrderAndTheLatestValue)
  {
    TestServer behind(TestServer::Options::stalled());
    TestServer healthy;
    // No age limit here: what reaches the robot late is all kept, but for
    // the controller values that a later one replaced.
    start("maxage 0\n" + robotLine(0, behind.port()) + robotLine(1, healthy.port()) +
          "action 1 0 3 EmitMap midi.key\n"
          "action 2 0 3 TagMap grip 1\n"
          "action 10000 7 3 DirectMap fader 1 1 0\n");
    const std::string upload = run->upload();
    ASSERT_TRUE(healthy.waitForBytes(0, upload.size())) << errors();
    ASSERT_TRUE(behind.waitForConnections(1));

    source->setPace(std::chrono::milliseconds(0));
    constexpr int events = 3000;
    for (int k = 0; k < events; ++k)
    {
      source->noteOn(0, keyOf(k), velocityOf(k));
      source->controlChange(0, 7, k % 128);
      if (k % 10 == 0)
        source->noteOn(1, k % 100, k % 20 == 0 ? 0 : 100);
      if (k % 100 == 99)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // The last statement: a marker both robots get once everything else.
    source->controlChange(0, 7, 127);
    source->noteOn(0, keyOf(events), velocityOf(events));
    const std::string marker = "emit midi.key(9,0," + std::to_string(keyOf(events)) + "," +
                               std::to_string(velocityOf(events)) + "),";
    ASSERT_TRUE(healthy.waitForText(0, marker)) << errors();
    behind.resumeReading();
    ASSERT_TRUE(behind.waitForText(0, marker)) << errors();

    // Both robots got the same MIDI: the events and tag changes are the
    // same sequence; the robot behind got a subsequence of the values, in
    // order, ending with the last one.
    const auto split = [&](const TestServer& server, std::vector<std::string>& others,
                           std::vector<std::string>& values) {
      for (const std::string& statement : statementsOf(server.received(0).substr(upload.size())))
        (statement.rfind("fader=", 0) == 0 ? values : others).push_back(statement);
    };
    std::vector<std::string> healthyOthers, healthyValues, behindOthers, behindValues;
    split(healthy, healthyOthers, healthyValues);
    split(behind, behindOthers, behindValues);
    EXPECT_EQ(behindOthers, healthyOthers);
    ASSERT_FALSE(behindValues.empty());
    EXPECT_EQ(behindValues.back(), "fader=127,");
    std::size_t at = 0;
    for (const std::string& value : behindValues)
    {
      while (at < healthyValues.size() && healthyValues[at] != value)
        ++at;
      ASSERT_LT(at, healthyValues.size()) << value << " is not in the order the values were sent";
      ++at;
    }
    EXPECT_LT(behindValues.size(), healthyValues.size() / 2) << "the queued values were not replaced";
    EXPECT_EQ(errors().find(" dropped "), std::string::npos) << errors();
  }

  TEST_F(RobotPressureTest, ASweepToASlowRobotQueuesOneValueAndItsLastValueComesAfterItsBufferOnly)
  {
    // A robot whose script takes 10 ms per value: 100 a second, where the
    // fader sends 1,000. Its own receive buffer (the system's least) holds
    // about a second of its reading, out of notara's reach.
    PacedRobot slow(std::chrono::milliseconds(10), std::chrono::milliseconds(0), "fader=");
    start(robotLine(0, slow.port()) + "action 10000 7 1 DirectMap fader 1 1 0\n", {"--status", "127.0.0.1:0"});
    const unsigned port = statusPort();
    ASSERT_NE(port, 0u) << errors();
    const std::size_t uploaded = statementsOf(run->upload()).size();
    ASSERT_TRUE(eventually([&] { return slow.statements().size() >= uploaded; }, TestServer::kWait)) << errors();

    source->setPace(std::chrono::milliseconds(0));
    constexpr int kValues = 6000;
    std::uint64_t mostQueued = 0;
    int samples = 0;
    const Clock::time_point begin = Clock::now();
    for (int k = 0; k < kValues; ++k)
    {
      std::this_thread::sleep_until(begin + std::chrono::milliseconds(k));
      source->controlChange(0, 7, k % 128);
      // From the first second on, what notara's queue holds for the robot.
      if (k >= 1000 && k % 100 == 50)
      {
        mostQueued = std::max(mostQueued, queuedBytes(port, 0));
        ++samples;
      }
    }
    const Clock::time_point end = Clock::now();

    // notara's share: the newest value replaces the one that waits, so its
    // queue holds one value at most (and the rest of one whose first bytes
    // the system took), where every value would queue without it.
    const std::size_t value = std::string("fader=127,").size();
    EXPECT_EQ(samples, 50);
    EXPECT_LE(mostQueued, 2 * value);

    // The robot's share: what its receive buffer holds. It ends with the
    // last value sent (never dropped for its age: it is the variable's
    // latest), and reads it within seconds of the sweep's end. With a buffer
    // this small the system's TCP may wait for its persist timer now and
    // then, hence the margin.
    const std::string last = "fader=" + std::to_string((kValues - 1) % 128) + ",";
    Clock::time_point lastRead{};
    const bool settled = eventually(
        [&] {
          const auto read = slow.statements();
          if (read.empty() || read.back().second != last || Clock::now() - read.back().first < std::chrono::milliseconds(500))
            return false;
          lastRead = read.back().first;
          return true;
        },
        std::chrono::seconds(20));
    ASSERT_TRUE(settled) << "the robot's last value: " << slow.statements().back().second;
    EXPECT_LT(lastRead - end, std::chrono::milliseconds(5000))
        << std::chrono::duration_cast<std::chrono::milliseconds>(lastRead - end).count() << " ms";
    EXPECT_EQ(errors().find(" dropped "), std::string::npos) << errors();
  }
}
