// notara releases its JACK clients however it ends. libjack keeps a per-user
// database shared by every JACK client of the machine; each process that
// ends with a client still open leaves a lock there, and after some 144 of
// them every JACK client prints "BDB2034 unable to allocate memory for
// mutex" and may crash. So notara is ended many more times than that in
// each of the ways it ends in use (SIGTERM and SIGINT while idling, exit 1
// for a device that isn't there, exit 2 for a missing configuration after
// the device was opened), and JACK clients started afterwards must still
// be sound.
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/child_process.h"
#include "support/jack_source_test.h"
#include "support/private_jack_server.h"
#include "support/temp_dir.h"

using notara::test::ChildProcess;
using notara::test::ExitStatus;
using notara::test::JackMidiSource;
using notara::test::NotaraRun;

namespace
{
  // A JACK server of its own: hundreds of clients coming and going would
  // otherwise crowd the shared server that the other end-to-end tests,
  // running beside this one, play their MIDI through.
  [[maybe_unused]] testing::Environment* const privateJack =
    testing::AddGlobalTestEnvironment(new notara::test::PrivateJackEnvironment);

  const std::string bdbMutexError = "BDB2034";

  // One way for notara to end: the arguments, the signal sent once it
  // idles (0 for none: it ends by itself) and how it must have ended.
  struct Ending
  {
    const char* name;
    bool deviceArgument;  // the source's device number comes first
    std::vector<std::string> moreArgs;
    int signal;
    ExitStatus expected;
  };

  class JackReleaseTest : public notara::test::JackSourceTest
  {
  protected:
    JackReleaseTest() : JackSourceTest("e2e-release") {}

    // Runs notara once, ending the way `ending` says; false (with a
    // failure recorded) when it ended otherwise or complained of the
    // database.
    bool runOnce(const Ending& ending, int device, int round)
    {
      std::vector<std::string> args;
      if (ending.deviceArgument)
        args.push_back(std::to_string(device));
      args.insert(args.end(), ending.moreArgs.begin(), ending.moreArgs.end());

      NotaraRun run(NOTARA_BINARY, "");
      ChildProcess& process = run.start(args);
      if (ending.signal != 0)
      {
        if (!run.waitUntilIdle())
        {
          ADD_FAILURE() << ending.name << ", round " << round << ": no idle state\n" << process.errors();
          return false;
        }
        ::kill(process.pid(), ending.signal);
      }
      const std::optional<ExitStatus> status = process.waitForExit();
      if (!status)
      {
        ADD_FAILURE() << ending.name << ", round " << round << ": still running\n" << process.errors();
        return false;
      }
      const std::string errors = process.errors();
      const bool sound = status->signalled == ending.expected.signalled &&
                         status->value == ending.expected.value &&
                         errors.find(bdbMutexError) == std::string::npos;
      EXPECT_TRUE(sound) << ending.name << ", round " << round << ": ended "
                         << (status->signalled ? "by signal " : "with status ") << status->value
                         << ", expected " << (ending.expected.signalled ? "signal " : "status ")
                         << ending.expected.value << "; standard error:\n"
                         << errors;
      return sound;
    }

    // Runs notara `count` times, ending each run as `ending` says; stops
    // at the first run that ends otherwise.
    void endRepeatedly(const Ending& ending, int count)
    {
      const int device = deviceOf(*source);
      ASSERT_GE(device, 0);
      for (int round = 0; round < count; ++round)
        if (!runOnce(ending, device, round))
          return;
    }

    // Fresh JACK clients: notara listing the devices (the source's among
    // them), the server's own jack_lsp, and one in this process.
    void expectFreshClientsSound()
    {
      NotaraRun listing(NOTARA_BINARY, "");
      listing.start({"999"});
      const auto listed = listing.process().waitForExit();
      ASSERT_TRUE(listed);
      EXPECT_EQ(listed->value, 1);
      const std::string listErrors = listing.process().errors();
      EXPECT_EQ(listErrors.find(bdbMutexError), std::string::npos) << listErrors;
      EXPECT_NE(listErrors.find(": " + source->deviceName() + "\n"), std::string::npos) << listErrors;

      if (std::filesystem::exists("/usr/bin/jack_lsp"))
      {
        notara::test::TempDir dir;
        ChildProcess lsp("/usr/bin/jack_lsp", {}, dir.path());
        const auto status = lsp.waitForExit();
        ASSERT_TRUE(status);
        EXPECT_EQ(lsp.errors().find(bdbMutexError), std::string::npos) << lsp.errors();
        EXPECT_NE(lsp.output().find(source->fullName()), std::string::npos) << lsp.output();
      }

      EXPECT_NO_THROW(JackMidiSource("e2e-release-after"));
    }
  };

  // Well beyond the leaked locks the database has room for (some 160 here):
  // each way of ending is tested on its own, so that one way that leaks
  // fails its test. NOTARA_RELEASE_ROUNDS lowers it for slow builds (the
  // sanitizer passes), which then check the release on every path without
  // filling the database.
  int rounds()
  {
    const char* text = std::getenv("NOTARA_RELEASE_ROUNDS");
    const int value = text != nullptr ? std::atoi(text) : 0;
    return value > 0 ? value : 200;
  }

  TEST_F(JackReleaseTest, SigtermWhileIdlingKillsBySigtermAndReleasesJack)
  {
    endRepeatedly({"SIGTERM while idling", true, {}, SIGTERM, {true, SIGTERM}}, rounds());
    expectFreshClientsSound();
  }

  TEST_F(JackReleaseTest, SigintWhileIdlingKillsBySigintAndReleasesJack)
  {
    endRepeatedly({"SIGINT while idling", true, {}, SIGINT, {true, SIGINT}}, rounds());
    expectFreshClientsSound();
  }

  TEST_F(JackReleaseTest, ExitOneForAMissingDeviceReleasesJack)
  {
    endRepeatedly({"exit 1 for a device that isn't there", false, {"999"}, 0, {false, 1}}, rounds());
    expectFreshClientsSound();
  }

  TEST_F(JackReleaseTest, ExitTwoAfterTheDeviceWasOpenedReleasesJack)
  {
    endRepeatedly({"exit 2 for a missing configuration", true, {"missing.conf"}, 0, {false, 2}}, rounds());
    expectFreshClientsSound();
  }
}
