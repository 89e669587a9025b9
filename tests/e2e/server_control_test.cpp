// The control channel end to end: vaxo-sim as the robot, its control
// functions typed on its standard input, the notara program acting on them,
// and MIDI from a JACK source then firing what the server registered.
// vaxo-sim records every byte the connection sent it, for byte-for-byte checks.
#include <chrono>
#include <memory>
#include <regex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "support/child_process.h"
#include "support/jack_source_test.h"
#include "support/temp_dir.h"

using notara::test::ChildProcess;
using notara::test::TempDir;

namespace
{
  class ServerControlTest : public notara::test::JackSourceTest
  {
  protected:
    ServerControlTest() : JackSourceTest("e2e-control") {}

    void SetUp() override
    {
      JackSourceTest::SetUp();
      if (IsSkipped() || HasFatalFailure())
        return;

      server = std::make_unique<ChildProcess>(
        VAXO_SIM_BINARY, std::vector<std::string>{"--port", "0", "--record", (simDir.path() / "record").string()},
        simDir.path());
      ASSERT_TRUE(server->waitForOutput("\n")) << server->errors();
      std::smatch where;
      const std::string output = server->output();
      ASSERT_TRUE(std::regex_search(output, where, std::regex("vaxo-sim listening on 127\\.0\\.0\\.1:(\\d+)\n")))
        << output << server->errors();

      ASSERT_NO_FATAL_FAILURE(startNotara("robot 0 127.0.0.1 " + where[1].str() + "\n"));
      // Once the upload is recorded, the server knows the control functions.
      ASSERT_TRUE(waitForRecorded(run->upload())) << recorded();
    }

    // The bytes the server received on notara's connection so far.
    std::string recorded() const { return notara::test::readFile(simDir.path() / "record" / "connection-1.bin"); }

    // Waits until the recording is as long as `expected` and then says
    // whether it is equal to it.
    bool waitForRecorded(const std::string& expected) const
    {
      const auto deadline = std::chrono::steady_clock::now() + ChildProcess::kWait;
      while (recorded().size() < expected.size() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      return recorded() == expected;
    }

    // The value that the count-th "Registering action: " line of notara's
    // standard error shows (the operation's address, 0 when nothing was
    // installed), or -1 when there is no such line.
    long long registered(std::size_t count) const
    {
      if (!run->process().waitForErrorCount("Registering action: ", count))
        return -1;
      const std::string errors = run->process().errors();
      std::size_t at = 0;
      for (std::size_t i = 0; i < count; ++i)
        at = errors.find("Registering action: ", i == 0 ? 0 : at + 1);
      std::smatch number;
      const std::string rest = errors.substr(at);
      if (!std::regex_search(rest, number, std::regex("^Registering action: (-?\\d+)\n")))
        return -1;
      return std::stoll(number[1]);
    }

    TempDir simDir;
    std::unique_ptr<ChildProcess> server;
  };

  TEST_F(ServerControlTest, ActionRegisteredByTheServerFiresOnMidi)
  {
    server->writeInput("midi.registerAction(1, [60], \"EmitMap\", [\"midi.key\"], 1)\n");
    const long long operation = registered(1);
    ASSERT_NE(operation, -1) << run->process().errors();
    EXPECT_NE(operation, 0) << run->process().errors();

    source->noteOn(0, 60, 100);
    source->noteOn(0, 61, 100);  // not the registered filter
    source->noteOff(0, 60, 0);
    EXPECT_TRUE(waitForRecorded(run->upload() + "emit midi.key(9,0,60,100),emit midi.key(8,0,60,0),"))
      << recorded();
    EXPECT_TRUE(server->waitForOutput("[1] emit midi.key(8,0,60,0)\n")) << server->output();
  }

  TEST_F(ServerControlTest, ServerSetsTheParameterAndTheDebugLevel)
  {
    server->writeInput("midi.setParameter(5)\n");
    ASSERT_TRUE(run->process().waitForErrors("Setting parameter to 5\n")) << run->process().errors();
    // Parameter 5 passes the filter 5/7 but not 1/7.
    server->writeInput("midi.registerAction(1, [60, 127, 5, 7], \"TagMap\", [\"walk\"], 1)\n");
    server->writeInput("midi.registerAction(1, [61, 127, 1, 7], \"TagMap\", [\"never\"], 1)\n");
    server->writeInput("midi.registerAction(1, [62], \"NoSuchOperation\", [\"x\"], 1)\n");
    server->writeInput("midi.setDebug(11)\n");
    EXPECT_GT(registered(1), 0) << run->process().errors();
    EXPECT_GT(registered(2), 0) << run->process().errors();
    EXPECT_EQ(registered(3), 0) << run->process().errors();
    ASSERT_TRUE(run->process().waitForErrors("Set debug to 11\n")) << run->process().errors();

    source->noteOn(0, 61, 90);
    source->noteOn(0, 60, 90);
    source->noteOff(0, 60);
    EXPECT_TRUE(waitForRecorded(run->upload() + "midi.parameter=5,unfreeze walk,freeze walk,")) << recorded();
    // Level 11 traces the size of the slot's table and TagMap's own line.
    EXPECT_TRUE(run->process().waitForErrorCount("2 actions on channel 0\n", 3)) << run->process().errors();
    EXPECT_TRUE(run->process().waitForErrorCount("TagMap midiData\n", 2)) << run->process().errors();
  }
}
