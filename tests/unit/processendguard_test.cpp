// The release of the MIDI layer's clients at process end: on exit(), and on
// the termination signals, after which the process must still end by the
// signal. Each case runs in a process of its own (a death test), since the
// guard is armed once per process and changes signal dispositions.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

#include <unistd.h>

#include "platform/posix/processendguard.h"

namespace
{
  int releases = 0;

  // Says on standard error whether it ran for the first time.
  void reportRelease()
  {
    ++releases;
    const char* text = releases == 1 ? "released\n" : "released again\n";
    const ssize_t written = write(STDERR_FILENO, text, std::char_traits<char>::length(text));
    static_cast<void>(written);
  }

  // Asks for the end a second time, then never finishes.
  void hangingRelease()
  {
    const ssize_t written = write(STDERR_FILENO, "releasing\n", 10);
    static_cast<void>(written);
    kill(getpid(), SIGINT);
    for (;;)
      pause();
  }

  [[noreturn]] void raiseAndWait(int signal)
  {
    raise(signal);
    for (;;)
      pause();
  }

  void ownHandler(int) {}

  bool hasHandler(int signal, void (*handler)(int))
  {
    struct sigaction current{};
    return sigaction(signal, nullptr, &current) == 0 && current.sa_handler == handler;
  }

  class ProcessEndGuardTest : public testing::Test
  {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
  };
}

TEST_F(ProcessEndGuardTest, EachTerminationSignalReleasesThenEndsTheProcessByThatSignal)
{
  for (int signal : {SIGTERM, SIGINT, SIGHUP})
  {
    SCOPED_TRACE(signal);
    EXPECT_EXIT(
      {
        ProcessEndGuard::arm(&reportRelease);
        raiseAndWait(signal);
      },
      testing::KilledBySignal(signal), "^released\n$");
  }
}

TEST_F(ProcessEndGuardTest, ExitReleasesOnceEvenAfterAnExplicitRelease)
{
  EXPECT_EXIT(
    {
      ProcessEndGuard::arm(&reportRelease);
      ProcessEndGuard::releaseNow();
      std::exit(3);
    },
    testing::ExitedWithCode(3), "^released\n$");
  EXPECT_EXIT(
    {
      ProcessEndGuard::arm(&reportRelease);
      std::exit(4);
    },
    testing::ExitedWithCode(4), "^released\n$");
}

TEST_F(ProcessEndGuardTest, TheProgramsOwnDispositionsStay)
{
  EXPECT_EXIT(
    {
      std::signal(SIGHUP, SIG_IGN);
      std::signal(SIGINT, &ownHandler);
      ProcessEndGuard::arm(&reportRelease);
      const bool kept = hasHandler(SIGHUP, SIG_IGN) && hasHandler(SIGINT, &ownHandler) &&
                        !hasHandler(SIGTERM, SIG_DFL);
      // Ignored and handled by the program: neither ends it nor releases.
      raise(SIGHUP);
      raise(SIGINT);
      _exit(kept ? 0 : 1);
    },
    testing::ExitedWithCode(0), "^$");
}

TEST_F(ProcessEndGuardTest, ASecondSignalDuringAHangingReleaseEndsTheProcessAtOnce)
{
  EXPECT_EXIT(
    {
      ProcessEndGuard::arm(&hangingRelease);
      raiseAndWait(SIGTERM);
    },
    testing::KilledBySignal(SIGINT), "^releasing\n$");
}
