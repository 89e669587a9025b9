// The release of the MIDI layer's clients at process end.
#include "processendguard.h"
#include "log/stderr_line.h"
#include "log/thread_entry.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace
{
  constexpr int watchedSignals[] = {SIGINT, SIGTERM, SIGHUP};
  // How long a signal's end waits for the releases: a MIDI server that
  // doesn't answer must not keep the process alive.
  constexpr auto releaseDeadline = std::chrono::milliseconds(1500);

  // Never destroyed: the release may run after static destruction began
  // (a signal then), and must still find its mutex.
  struct GuardState
  {
    std::mutex mutex;  // held while the releases run; guards releases and released
    std::vector<ProcessEndGuard::Release> releases;
    bool released = false;
  };

  GuardState& guardState()
  {
    static GuardState* state = new GuardState;
    return *state;
  }

  std::once_flag armed;
  // Read by the signal handler, so plain lock-free atomics.
  std::atomic<int> signalPipeWrite{-1};
  std::atomic<bool> ending{false};
  // Set by setReloadRequest; read by the handler and the watcher.
  std::atomic<ProcessEndGuard::Release> reloadRequest{nullptr};
  // Written to the pipe for a SIGHUP that asks for a reload (no signal is 0).
  constexpr unsigned char reloadByte = 0;
  static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free &&
                  std::atomic<ProcessEndGuard::Release>::is_always_lock_free,
                "the signal handler needs lock-free atomics");

  // Ends the process by `signal` under its default disposition.
  [[noreturn]] void endBySignal(int signal)
  {
    struct sigaction fallback{};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal);
    // Not reached: the default action of the watched signals ends the process.
    _exit(128 + signal);
  }
}

void ProcessEndGuard::arm(Release release)
{
  {
    GuardState& state = guardState();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (std::find(state.releases.begin(), state.releases.end(), release) == state.releases.end())
      state.releases.push_back(release);
  }
  std::call_once(armed, [] {
    if (std::atexit(&ProcessEndGuard::atExit) != 0)
      notara::StderrLine() << "ProcessEndGuard::arm: can't register the release at exit";
    installWatcher();
  });
}

void ProcessEndGuard::releaseNow()
{
  GuardState& state = guardState();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (state.released)
    return;
  state.released = true;
  // The last one armed first: a program's own release closes its devices
  // before the layer's closes what is left.
  for (auto release = state.releases.rbegin(); release != state.releases.rend(); ++release)
  {
    try
    {
      (*release)();
    }
    catch (...)
    {
    }
  }
}

void ProcessEndGuard::installWatcher()
{
  // Only signals the program leaves at the default: a handler of its own,
  // or an ignored signal (nohup), stays as the program wants it.
  bool anyDefault = false;
  for (int signal : watchedSignals)
  {
    struct sigaction current{};
    if (sigaction(signal, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) == 0 &&
        current.sa_handler == SIG_DFL)
      anyDefault = true;
  }
  if (!anyDefault)
    return;

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0)
  {
    notara::StderrLine() << "ProcessEndGuard::installWatcher: can't make the signal pipe: "
              << std::strerror(errno);
    return;
  }
  // The handler must never block on a full pipe.
  fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK);

  // The watcher inherits a mask that blocks every signal, so that signals
  // meant for the program's own threads are never delivered to it.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  try
  {
    std::thread(&ProcessEndGuard::watch, fds[0]).detach();
  }
  catch (const std::system_error& e)
  {
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    notara::StderrLine() << "ProcessEndGuard::installWatcher: can't start the signal watcher: " << e.what();
    close(fds[0]);
    close(fds[1]);
    return;
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  signalPipeWrite.store(fds[1]);

  struct sigaction watcher{};
  watcher.sa_sigaction = &ProcessEndGuard::onSignal;
  watcher.sa_flags = SA_RESTART | SA_SIGINFO;
  sigemptyset(&watcher.sa_mask);
  for (int signal : watchedSignals)
    sigaddset(&watcher.sa_mask, signal);
  for (int signal : watchedSignals)
  {
    struct sigaction previousAction{};
    if (sigaction(signal, &watcher, &previousAction) != 0)
      continue;
    // Someone set a disposition since the check above: theirs stays.
    if ((previousAction.sa_flags & SA_SIGINFO) != 0 || previousAction.sa_handler != SIG_DFL)
      sigaction(signal, &previousAction, nullptr);
  }
}

void ProcessEndGuard::setReloadRequest(Release request)
{
  reloadRequest.store(request);
}

void ProcessEndGuard::onSignal(int signal, siginfo_t* info, void*)
{
  // Async-signal-safe calls only.
  const int savedErrno = errno;
  // A hang-up of the terminal comes from the kernel; kill and systemctl
  // reload come from a process.
  if (signal == SIGHUP && info != nullptr && info->si_code != SI_KERNEL && reloadRequest.load() != nullptr &&
      !ending.load())
  {
    const ssize_t written = write(signalPipeWrite.load(), &reloadByte, 1);
    static_cast<void>(written);  // a full pipe already holds a request
    errno = savedErrno;
    return;
  }
  if (ending.load())
  {
    // The release already runs and this is a second request: end now.
    struct sigaction fallback{};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
    raise(signal);
  }
  const unsigned char number = static_cast<unsigned char>(signal);
  const ssize_t written = write(signalPipeWrite.load(), &number, 1);
  static_cast<void>(written);  // a full pipe already holds a request
  errno = savedErrno;
}

void ProcessEndGuard::watch(int readFd)
{
  // The thread's entry point: nothing may leave it, and a failure (a reload
  // request that threw) must not leave the signals unwatched: it is
  // reported and the watch goes on.
  notara::runUntilDone([readFd] { return !watchOnce(readFd); },
                       [](const char* what) {
                         try
                         {
                           notara::StderrLine() << "ProcessEndGuard::watch: " << what << "; watching on";
                         }
                         catch (...)
                         {
                         }
                       });
}

bool ProcessEndGuard::watchOnce(int readFd)
{
  {
    for (;;)
    {
      unsigned char number = 0;
      const ssize_t got = read(readFd, &number, 1);
      if (got < 0 && errno == EINTR)
        continue;
      if (got != 1)
      {
        notara::StderrLine() << "ProcessEndGuard::watch: can't read the signal pipe: "
                  << (got < 0 ? std::strerror(errno) : "closed");
        return false;
      }
      if (number == reloadByte)
      {
        if (const Release request = reloadRequest.load())
          request();
        continue;
      }
      ending.store(true);
      releaseWithin(releaseDeadline);
      // The lines of the end, for a moment: a stream nobody reads must not
      // keep the process alive.
      notara::flushStderr(std::chrono::milliseconds(300));
      endBySignal(number);
    }
  }
}

void ProcessEndGuard::releaseWithin(std::chrono::milliseconds deadline)
{
  // The releases run on a thread of their own, which inherits this
  // thread's mask (every signal blocked). Past the deadline the process
  // ends without them; the state is never freed, so the thread left
  // behind finds it until the process is gone. A JACK server reaps the
  // ports of a client whose process ended.
  struct Done
  {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
  };
  static Done* const done = new Done;
  try
  {
    std::thread([] {
      try
      {
        releaseNow();
      }
      catch (...)
      {
      }
      {
        std::lock_guard<std::mutex> lock(done->mutex);
        done->done = true;
      }
      done->cv.notify_all();
    }).detach();
  }
  catch (...)
  {
    // No thread to be had: release here, without a bound.
    try
    {
      releaseNow();
    }
    catch (...)
    {
    }
    return;
  }
  std::unique_lock<std::mutex> lock(done->mutex);
  if (!done->cv.wait_for(lock, deadline, [] { return done->done; }))
  {
    // Written here, after a short wait for the lines before it: the
    // process ends next, whatever the writer thread is doing.
    notara::writeStderrLineBeforeAbort("notara: the MIDI system did not release its clients within 1.5 s; "
                                       "ending without them",
                                       std::chrono::milliseconds(200));
  }
}

void ProcessEndGuard::atExit()
{
  // An exception out of an atexit handler would end the process by
  // std::terminate instead of with its exit status.
  try
  {
    releaseNow();
  }
  catch (...)
  {
  }
}
