// SIGINT, SIGTERM and a hang-up of its terminal end notara promptly
// whatever its MIDI server does: while all is well, right after the JACK server was killed
// and started again, and while the server is stopped (SIGSTOP) and answers
// nothing. Each ends it by that signal within two seconds.
#include <chrono>
#include <csignal>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include "support/child_process.h"
#include "support/jack_midi_source.h"
#include "support/notara_run.h"
#include "support/private_jack_server.h"

using namespace notara::test;

namespace
{
  constexpr std::chrono::milliseconds endBound{2000};
  const int endingSignals[] = {SIGINT, SIGTERM, SIGHUP};
  const std::string clientName = "e2e-ending-source";

  // Owns its JACK server, so that it may kill, stop and start it again.
  class EndingTest : public testing::Test
  {
  protected:
    void SetUp() override
    {
      startServer();
      if (!jack)
        GTEST_SKIP() << "no jackd to run a server of the test's own";
    }

    void TearDown() override
    {
      run.reset();
      source.reset();
      if (jack)
        ::kill(jack->pid(), SIGCONT);
      jack.reset();
    }

    void startServer()
    {
      try
      {
        jack = std::make_unique<PrivateJackServer>();
        source = std::make_unique<JackMidiSource>("out", clientName);
      }
      catch (const std::exception& e)
      {
        ADD_FAILURE() << e.what();
        jack.reset();
      }
    }

    // The source's client first (a process's JACK clients share libjack's
    // connection state), then the server, killed outright.
    void killServer()
    {
      source.reset();
      ::kill(jack->pid(), SIGKILL);
      jack.reset();
    }

    // Starts notara on the source, on a terminal of its own, and waits
    // until it idles.
    bool startNotara()
    {
      run = std::make_unique<NotaraRun>(NOTARA_BINARY, "");
      run->start({"--device", source->deviceName()}, true);
      return run->waitUntilIdle();
    }

    // Sends `signal` to notara and checks that it ended by it within the
    // bound. SIGHUP comes from its terminal's hang-up: one that another
    // process sends asks for a reload.
    void expectEndsBy(int signal, const std::string& when)
    {
      if (signal == SIGHUP)
        run->process().hangUp();
      else
        ::kill(run->process().pid(), signal);
      const std::optional<ExitStatus> status = run->process().waitForExit(endBound);
      ASSERT_TRUE(status) << strsignal(signal) << " " << when << ": still running after 2 s\n"
                          << run->process().errors();
      EXPECT_TRUE(status->signalled && status->value == signal)
        << strsignal(signal) << " " << when << ": ended with " << status->value << "\n"
        << run->process().errors();
    }

    std::unique_ptr<PrivateJackServer> jack;
    std::unique_ptr<JackMidiSource> source;
    std::unique_ptr<NotaraRun> run;
  };

  TEST_F(EndingTest, EachSignalEndsNotaraTwentyTimesInARow)
  {
    for (int signal : endingSignals)
      for (int round = 0; round < 20 && !HasFailure(); ++round)
      {
        ASSERT_TRUE(startNotara()) << run->process().errors();
        expectEndsBy(signal, "while idling, round " + std::to_string(round));
        EXPECT_EQ(run->process().errors().find("did not release"), std::string::npos)
          << run->process().errors();
      }
  }

  TEST_F(EndingTest, EachSignalEndsNotaraRightAfterTheServerCameBack)
  {
    for (int round = 0; round < 9 && !HasFailure(); ++round)
    {
      const int signal = endingSignals[round % 3];
      ASSERT_TRUE(startNotara()) << run->process().errors();
      killServer();
      ASSERT_TRUE(run->process().waitForErrors("is gone")) << run->process().errors();
      startServer();
      ASSERT_TRUE(jack);
      // The device is back in notara: its client is one of the new server.
      ASSERT_TRUE(run->process().waitForErrors("is back as number")) << run->process().errors();
      expectEndsBy(signal, "after the server came back, round " + std::to_string(round));
    }
  }

  TEST_F(EndingTest, EachSignalEndsNotaraWhileTheServerIsStopped)
  {
    for (int signal : endingSignals)
    {
      ASSERT_TRUE(startNotara()) << run->process().errors();
      ::kill(jack->pid(), SIGSTOP);
      expectEndsBy(signal, "with the server stopped");
      EXPECT_NE(run->process().errors().find(
                  "notara: the MIDI system did not release its clients within 1.5 s; ending without them\n"),
                std::string::npos)
        << run->process().errors();
      // A server stopped that long has given its clients up: a new one.
      ::kill(jack->pid(), SIGCONT);
      run.reset();
      killServer();
      startServer();
      ASSERT_TRUE(jack);
    }
  }
}
