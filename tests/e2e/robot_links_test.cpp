// Robots that fail, through the notara program with real sockets on
// 127.0.0.1: a robot that doesn't read beside a healthy one, a server that
// goes away and comes back on the same port, actions that a server
// registers on every connection, and hosts that don't answer at all.
// MIDI comes from a JACK source.
#include <chrono>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/error.hpp>
#include <gtest/gtest.h>

#include "support/jack_midi_source.h"
#include "support/jack_test.h"
#include "support/notara_run.h"
#include "support/numbered_events.h"
#include "support/private_jack_server.h"
#include "support/silent_host.h"
#include "support/test_server.h"

using namespace notara::test;

namespace
{
  // A synchronous JACK server of this test process's own: it waits for
  // every client in each cycle, so no MIDI event is lost on its way to
  // notara, and every event the test plays must reach a healthy robot.
  [[maybe_unused]] testing::Environment* const privateJack =
    testing::AddGlobalTestEnvironment(new PrivateJackEnvironment(true));

  // The sum of the numbers that follow `prefix` in the lines of `errors`
  // that begin with it.
  long long sumAfter(const std::string& errors, const std::string& prefix)
  {
    long long sum = 0;
    for (std::size_t at = errors.find(prefix); at != std::string::npos; at = errors.find(prefix, at + 1))
      sum += std::stoll(errors.substr(at + prefix.size()));
    return sum;
  }

  class RobotLinksTest : public notara::test::JackTest
  {
  protected:
    void SetUp() override
    {
      JackTest::SetUp();
      if (IsSkipped() || HasFatalFailure())
        return;
      source = std::make_unique<JackMidiSource>("e2e-links");
    }

    // Starts notara with `conf` and `script` as notara.vx; waits for the
    // end of its start-up.
    void start(const std::string& conf, const std::string& script = NotaraRun::defaultScript)
    {
      const int device = notara::test::midiDeviceNumber(source->deviceName());
      ASSERT_GE(device, 0) << source->deviceName() << " is not among the MIDI input devices";
      run = std::make_unique<NotaraRun>(NOTARA_BINARY, conf, script);
      run->start({std::to_string(device)});
      ASSERT_TRUE(run->waitUntilIdle()) << run->process().errors();
    }

    // Sends events [first, last) of the numbered run.
    void play(int first, int last)
    {
      for (int k = first; k < last; ++k)
        source->noteOn(0, keyOf(k), velocityOf(k));
    }

    std::string errors() const { return run->process().errors(); }

    // Starts notara with robot 0 at `stalled`, robot 1 at `healthy` and an
    // action that emits each note to robot 1, behind an upload of 4 MB:
    // more than the socket buffers and the queue's bound, so the stalled
    // robot's queue is full from its upload on. Waits until the healthy
    // robot has its upload and the stalled one is connected, then sets
    // the source's pace between events to `pace`.
    void startBesideStalled(const TestServer& stalled, const TestServer& healthy, std::chrono::milliseconds pace)
    {
      std::string script;
      while (script.size() < 4 * 1024 * 1024)
        script += "var pad.x = 1234567890;\n";
      start(robotLine(0, stalled.port()) + robotLine(1, healthy.port()) + "action 1 0 3 EmitMap midi.key\n", script);
      if (HasFatalFailure())
        return;
      ASSERT_TRUE(healthy.waitForBytes(0, run->upload().size())) << errors();
      ASSERT_TRUE(stalled.waitForConnections(1));
      source->setPace(pace);
    }

    // Waits until `healthy` has received the upload and the texts of events
    // [0, count), or, when some got lost, until it receives nothing more.
    void waitForRun(const TestServer& healthy, int count) const
    {
      std::string expected = run->upload();
      for (int k = 0; k < count; ++k)
        expected += textOf(k);
      if (!healthy.waitForBytes(0, expected.size()))
        waitUntilStill(healthy);
    }

    // Waits until `server`'s first connection has received nothing new for
    // a second (the end of what is coming, when some MIDI got lost).
    static void waitUntilStill(const TestServer& server)
    {
      for (std::size_t size = server.received(0).size();;)
      {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const std::size_t now = server.received(0).size();
        if (now == size)
          return;
        size = now;
      }
    }

    std::unique_ptr<JackMidiSource> source;
    std::unique_ptr<NotaraRun> run;  // declared last: stopped first
  };

  TEST_F(RobotLinksTest, ARobotThatDoesntReadHoldsUpNeitherTheNextRobotLineNorItsTexts)
  {
    TestServer stalled(TestServer::Options::stalled());
    TestServer healthy;
    // 10 s at about 1,000 events a second. The synchronous JACK server
    // loses none of them: every one reaches the healthy robot, in order.
    constexpr int stallEvents = 10000;
    ASSERT_NO_FATAL_FAILURE(startBesideStalled(stalled, healthy, std::chrono::milliseconds(1)));
    play(0, stallEvents);
    waitForRun(healthy, stallEvents);
    const std::vector<int> healthyEvents = eventsIn(healthy.received(0).substr(run->upload().size()));
    ASSERT_EQ(healthyEvents.size(), std::size_t{stallEvents}) << errors();
    for (std::size_t i = 0; i < healthyEvents.size(); ++i)
      ASSERT_EQ(healthyEvents[i], static_cast<int>(i))
          << "lost, out of order or not whole at text " << i << ": "
          << (i >= 1 ? healthyEvents[i - 1] : -2) << " " << healthyEvents[i] << " "
          << (i + 1 < healthyEvents.size() ? healthyEvents[i + 1] : -2);
    ASSERT_EQ(healthy.received(0).compare(0, run->upload().size(), run->upload()), 0);

    // Reported by the second, never by the text.
    const std::string dropLine = robotName(0, stalled.port()) + " doesn't read: ";
    ASSERT_TRUE(run->process().waitForErrors(dropLine)) << errors();
    const std::size_t lines = [&] {
      const std::string all = errors();
      std::size_t count = 0;
      for (auto at = all.find(dropLine); at != std::string::npos; at = all.find(dropLine, at + 1))
        ++count;
      return count;
    }();
    EXPECT_LE(lines, 15u) << errors();

    // Reading again, it gets its upload whole, then only texts sent from
    // then on; what was dropped meanwhile never comes.
    stalled.resumeReading();
    const std::string againLine = robotName(0, stalled.port()) + " reads again; ";
    ASSERT_TRUE(run->process().waitForErrors(againLine)) << errors();
    constexpr int laterEvents = 20;
    source->setPace(std::chrono::milliseconds(2));
    play(stallEvents, stallEvents + laterEvents);
    ASSERT_TRUE(stalled.waitForText(0, textOf(stallEvents + laterEvents - 1))) << errors();
    ASSERT_TRUE(healthy.waitForText(0, textOf(stallEvents + laterEvents - 1))) << errors();
    const std::string received = stalled.received(0);
    ASSERT_EQ(received.compare(0, run->upload().size(), run->upload()), 0);
    const std::vector<int> events = eventsIn(received.substr(run->upload().size()));
    ASSERT_FALSE(events.empty());
    for (std::size_t i = 1; i < events.size(); ++i)
      ASSERT_LT(events[i - 1], events[i]) << "out of order or not whole at text " << i;
    EXPECT_GE(events.front(), stallEvents) << "a text of the stall reached the robot after it";
    EXPECT_EQ(events.back(), stallEvents + laterEvents - 1);

    // Every event the healthy robot got reached the stalled one or was
    // counted as dropped for it, once: for its full queue (the "reads
    // again" line), for its age, or, for the first texts of the run, as
    // missed while its link was still taking the connection that the
    // server had already accepted (the "connected" line).
    const std::size_t healthyTotal = eventsIn(healthy.received(0).substr(run->upload().size())).size();
    const std::string all = errors();
    const std::string robot = robotName(0, stalled.port());
    const long long dropped = sumAfter(all, againLine);
    const long long accounted = dropped + sumAfter(all, robot + " dropped ") +
                                sumAfter(all, robot + " connected; it missed ") +
                                static_cast<long long>(events.size());
    EXPECT_EQ(accounted, static_cast<long long>(healthyTotal)) << all;
    EXPECT_EQ(sumAfter(all, dropLine), dropped) << all;
  }

  // A flood in chords beside a stalled robot, on the synchronous server
  // that loses nothing on the way in: the healthy robot gets every event
  // once, in the order played.
  TEST_F(RobotLinksTest, AFloodBesideAStalledRobotReachesTheHealthyOneAsPlayedNothingRepeated)
  {
    TestServer stalled(TestServer::Options::stalled());
    TestServer healthy;
    ASSERT_NO_FATAL_FAILURE(startBesideStalled(stalled, healthy, std::chrono::milliseconds(0)));

    // 12 s at 1,000 events a second, five at a time (a chord every 5 ms).
    constexpr int events = 12000;
    for (int k = 0; k < events; k += 5)
    {
      play(k, k + 5);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    waitForRun(healthy, events);

    const std::string received = healthy.received(0);
    ASSERT_EQ(received.compare(0, run->upload().size(), run->upload()), 0);
    const std::vector<int> got = eventsIn(received.substr(run->upload().size()));
    ASSERT_EQ(got.size(), std::size_t{events}) << errors();
    for (std::size_t i = 0; i < got.size(); ++i)
      ASSERT_EQ(got[i], static_cast<int>(i)) << "lost, repeated, out of order or not whole at text " << i << "\n"
                                             << errors();
    EXPECT_EQ(errors().find("MidiInPort::deliverLoop"), std::string::npos) << errors();
  }

  TEST_F(RobotLinksTest, ARestartedServerGetsTheUploadThenTheLaterTexts)
  {
    auto server = std::make_unique<TestServer>();
    const unsigned port = server->port();
    TestServer other;
    start(robotLine(0, port) + robotLine(1, other.port()) + "action 1 60 3 EmitMap midi.key\n");
    ASSERT_TRUE(server->waitForBytes(0, run->upload().size())) << errors();

    // Down: the robot's texts are dropped, the other robot's are not.
    server.reset();
    const std::string name = robotName(0, port);
    ASSERT_TRUE(run->process().waitForErrors(name + " lost (connection closed); connecting again")) << errors();
    source->noteOn(0, 60, 100);
    source->noteOn(0, 60, 101);
    const std::string whileDown = "emit midi.key(9,0,60,100),emit midi.key(9,0,60,101),";
    ASSERT_TRUE(other.waitForText(0, whileDown)) << errors();

    TestServer::Options same;
    same.port = port;
    TestServer restarted(same);
    ASSERT_TRUE(run->process().waitForErrors(name + " back; it missed 2 texts\n")) << errors();
    source->noteOn(0, 60, 102);
    const std::string expected = run->upload() + "emit midi.key(9,0,60,102),";
    ASSERT_TRUE(restarted.waitForBytes(0, expected.size())) << errors();
    EXPECT_EQ(restarted.received(0), expected);
    const std::string otherExpected = run->upload() + whileDown + "emit midi.key(9,0,60,102),";
    ASSERT_TRUE(other.waitForBytes(0, otherExpected.size())) << errors();
    EXPECT_EQ(other.received(0), otherExpected);
    // One line each way, not one per attempt or per text.
    const std::string all = errors();
    EXPECT_EQ(all.find(name + " lost"), all.rfind(name + " lost")) << all;
  }

  TEST_F(RobotLinksTest, AnActionTheServerRegistersOnEveryConnectionIsThereOnce)
  {
    // The robot's notara.vx registers an action for robots 0 and 1 on every
    // connection; the test's server answers each upload as such a script
    // would.
    const std::string registration =
        R"({"tag":"midictl","value":["register",1,[60],"EmitMap",["midi.key"],3]})";
    auto server = std::make_unique<TestServer>();
    const unsigned port = server->port();
    TestServer other;
    start(robotLine(0, port) + robotLine(1, other.port()));
    const std::string name = robotName(0, port);
    std::string otherExpected = run->upload();

    for (int connection = 0; connection < 4; ++connection)
    {
      if (connection > 0)
      {
        TestServer::Options same;
        same.port = port;
        server = std::make_unique<TestServer>(same);
      }
      ASSERT_TRUE(server->waitForBytes(0, run->upload().size())) << errors();
      server->sendLine(0, registration);
      ASSERT_TRUE(run->process().waitForErrorCount("Registering action: ", static_cast<std::size_t>(connection) + 1))
          << errors();
      if (connection == 3)
        break;
      server.reset();
      ASSERT_TRUE(run->process().waitForErrorCount(name + " lost", static_cast<std::size_t>(connection) + 1))
          << errors();
      // While its robot is down, the action serves the other robot of its mask.
      const int velocity = 10 + connection;
      source->noteOn(0, 60, velocity);
      otherExpected += "emit midi.key(9,0,60," + std::to_string(velocity) + "),";
      ASSERT_TRUE(other.waitForBytes(0, otherExpected.size())) << errors();
      EXPECT_EQ(other.received(0), otherExpected);
    }

    source->noteOn(0, 60, 100);
    source->noteOn(0, 61, 100);  // the filter's other side: nothing
    source->noteOn(0, 60, 101);
    const std::string texts = "emit midi.key(9,0,60,100),emit midi.key(9,0,60,101),";
    ASSERT_TRUE(server->waitForText(0, texts)) << errors();
    otherExpected += texts;
    ASSERT_TRUE(other.waitForBytes(0, otherExpected.size())) << errors();
    // More copies of the action would have sent each text more than once.
    EXPECT_EQ(server->received(0), run->upload() + texts);
    EXPECT_EQ(other.received(0), otherExpected);
  }

  TEST_F(RobotLinksTest, RobotsWhoseHostsDontAnswerHoldUpNothing)
  {
    SilentHost silent;
    TestServer healthy;
    std::string conf;
    for (int slot = 0; slot < 31; ++slot)
      conf += robotLine(slot, silent.port());
    conf += robotLine(31, healthy.port()) + "action 1 60 80000000 EmitMap midi.key\n";
    start(conf);
    ASSERT_TRUE(healthy.waitForBytes(0, run->upload().size())) << errors();
    source->noteOn(0, 60, 100);
    ASSERT_TRUE(healthy.waitForText(0, "emit midi.key(9,0,60,100),")) << errors();
    EXPECT_EQ(healthy.received(0), run->upload() + "emit midi.key(9,0,60,100),");
    // The bound on time: the healthy robot had its upload and the event
    // before the first silent host's connection attempt (2 s) timed out,
    // so no attempt held up start-up or the event.
    EXPECT_EQ(errors().find(" lost (can't connect"), std::string::npos)
        << "a silent host's time-out came first:\n" << errors();

    // Every line printed for a robot line is there, and each silent robot
    // is reported once, at its first time-out; none gets a setsockopt.
    const std::string timedOut = boost::system::error_code(boost::asio::error::timed_out).message();
    for (int slot = 0; slot < 31; ++slot)
      ASSERT_TRUE(run->process().waitForErrors(robotName(slot, silent.port()) + " lost (can't connect to 127.0.0.1:" +
                                               std::to_string(silent.port()) + ": " + timedOut + ")"))
          << errors();
    const std::string all = errors();
    EXPECT_NE(all.find(std::string("parsing notara.conf\n") + "Registering robot 127.0.0.1 " +
                       std::to_string(silent.port()) + "\n"),
              std::string::npos)
        << all;
    EXPECT_EQ(all.find("setsockopt"), std::string::npos) << all;
    EXPECT_EQ(all.find(robotName(31, healthy.port())), std::string::npos) << all;
  }
}
