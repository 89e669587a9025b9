// The MIDI device that goes away and comes back while notara runs: a source
// port closed and opened again under the same name (a keyboard unplugged
// and plugged back in), and the JACK server killed and started again with
// the source. notara says once that the device is gone and once that it is
// back, and MIDI then reaches the robots again with the actions and the
// parameter word that were there before.
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/child_process.h"
#include "support/jack_source_test.h"
#include "support/temp_dir.h"
#include "support/test_server.h"

using notara::test::ChildProcess;
using notara::test::JackMidiSource;
using notara::test::NotaraRun;
using notara::test::TestServer;

namespace
{
  const std::string sourceClient = "e2e-return-src";
  const std::string sourcePort = "keys";
  const std::string deviceName = sourceClient + ":" + sourcePort;
  const std::string goneLine =
    "MidiIn: MIDI device \"" + deviceName + "\" is gone; closed it, waiting for it to return\n";
  std::string backLine(int number)
  {
    return "MIDI device \"" + deviceName + "\" is back as number " + std::to_string(number) +
           "; opened it\n";
  }

  // A ParameterSet key (note 36) and two EmitMap actions of which the
  // parameter word picks one: the word must survive the device's absence.
  const std::string conf = "robot 0 127.0.0.1 {PORT}\n"
                           "action 1 36 ffffffff ParameterSet 1\n"
                           "action 1 60/127=0/1 1 EmitMap low\n"
                           "action 1 60/127=1/1 1 EmitMap high\n";

  // The number under which notara itself lists `name` (a run that lists the
  // devices and ends for want of device 999), or -1. This process's own
  // MIDI layer would still list the ports of the server it first met.
  int numberListedByNotara(const std::string& name)
  {
    NotaraRun listing(NOTARA_BINARY, "");
    listing.start({"999"});
    if (!listing.process().waitForExit())
      return -1;
    const std::string errors = listing.process().errors();
    const auto end = errors.find(": " + name + "\n");
    if (end == std::string::npos)
      return -1;
    const auto start = errors.rfind('\n', end);
    return std::stoi(errors.substr(start == std::string::npos ? 0 : start + 1));
  }

  class MidiReturnTest : public notara::test::JackSourceTest
  {
  protected:
    MidiReturnTest() : JackSourceTest(sourcePort, sourceClient) {}

    // Starts notara on the source with the configuration above, sets the
    // parameter word's bit through the source and checks that a note then
    // reaches the robot through the "high" action.
    void startNotara()
    {
      std::string text = conf;
      text.replace(text.find("{PORT}"), 6, std::to_string(server.port()));
      const int device = numberListedByNotara(deviceName);
      ASSERT_GE(device, 0) << deviceName << " is not listed";
      ASSERT_NO_FATAL_FAILURE(JackSourceTest::startNotara(text, device));
      ASSERT_TRUE(server.waitForBytes(0, run->upload().size()));
      source->noteOff(0, 36);
      source->noteOn(0, 60, 100);
      expectRobotGot("midi.parameter=1,emit high(9,0,60,100),");
    }

    // The robot has received the upload and then `texts`, nothing else.
    void expectRobotGot(const std::string& texts)
    {
      const std::string expected = run->upload() + texts;
      ASSERT_TRUE(server.waitForBytes(0, expected.size())) << server.received(0);
      EXPECT_EQ(server.received(0), expected);
    }

    // After the device came back: one gone and one back line, and a note
    // goes the way it went before, the word unchanged.
    void expectBackWithTheSameActions(const std::string& sentBefore)
    {
      ChildProcess& process = run->process();
      const int device = numberListedByNotara(deviceName);
      ASSERT_TRUE(process.waitForErrors(backLine(device))) << process.errors();
      source->noteOn(0, 60, 101);
      expectRobotGot(sentBefore + "emit high(9,0,60,101),");
      const std::string errors = process.errors();
      EXPECT_EQ(errors.find(goneLine), errors.rfind(goneLine)) << errors;
      EXPECT_EQ(errors.find(backLine(device)), errors.rfind(backLine(device))) << errors;
      EXPECT_LT(errors.find(goneLine), errors.find(backLine(device))) << errors;
      EXPECT_TRUE(process.running());
    }

    TestServer server;
  };

  // The source closed and opened again on the JACK server of the test run.
  class SourceReturnTest : public MidiReturnTest
  {
  };

  TEST_F(SourceReturnTest, ASourceClosedAndOpenedAgainIsFoundAgain)
  {
    ASSERT_NO_FATAL_FAILURE(startNotara());
    source.reset();
    ASSERT_TRUE(run->process().waitForErrors(goneLine)) << run->process().errors();
    // Played while the device is away: lost with it, and nothing breaks.
    openSource();
    expectBackWithTheSameActions("midi.parameter=1,emit high(9,0,60,100),");
  }

  // A JACK server of the test's own, killed and started again under the
  // same name; the test's clients and notara use it through
  // JACK_DEFAULT_SERVER (each test runs in a process of its own).
  class ServerReturnTest : public MidiReturnTest
  {
  protected:
    void SetUp() override
    {
      if (!std::ifstream("/usr/bin/jackd"))
        GTEST_SKIP() << "no /usr/bin/jackd";
      serverName = "notara-e2e-return-" + std::to_string(::getpid());
      ::setenv("JACK_DEFAULT_SERVER", serverName.c_str(), 1);
      ASSERT_NO_FATAL_FAILURE(startJack());
      openSource();
    }

    void TearDown() override
    {
      JackSourceTest::TearDown();
      if (jack)
        jack->stop();
    }

    void startJack()
    {
      jack = std::make_unique<ChildProcess>(
        "/usr/bin/jackd",
        std::vector<std::string>{"-n", serverName, "-r", "-d", "dummy", "-r", "48000", "-p", "256"},
        dir.path());
      // Waiting for a state, not for a time: the server answers or it ended.
      while (!JackMidiSource::serverAnswers())
      {
        ASSERT_TRUE(jack->running()) << jack->errors();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    }

    notara::test::TempDir dir;
    std::string serverName;
    std::unique_ptr<ChildProcess> jack;
  };

  TEST_F(ServerReturnTest, AServerKilledAndStartedAgainIsFoundAgain)
  {
    ASSERT_NO_FATAL_FAILURE(startNotara());
    ::kill(jack->pid(), SIGKILL);
    ASSERT_TRUE(jack->waitForExit());
    ASSERT_TRUE(run->process().waitForErrors(goneLine)) << run->process().errors();
    // This process's client of the dead server goes before the new one starts.
    source.reset();
    ASSERT_NO_FATAL_FAILURE(startJack());
    openSource();
    expectBackWithTheSameActions("midi.parameter=1,emit high(9,0,60,100),");
  }
}
