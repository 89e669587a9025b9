#include "support/child_process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace notara::test
{
  namespace
  {
    void closeFd(int& fd)
    {
      if (fd >= 0)
        ::close(fd);
      fd = -1;
    }

    // A pipe whose ends are closed on exec: the child gets only the ends
    // that are duplicated onto its standard streams, so a second child
    // never holds the first one's standard input open.
    void makePipe(int ends[2], const std::string& program)
    {
      if (::pipe2(ends, O_CLOEXEC) != 0)
        throw std::runtime_error("ChildProcess::ChildProcess: can't make a pipe for " + program + ": " +
                                 std::strerror(errno));
    }

    std::size_t occurrences(const std::string& haystack, const std::string& needle)
    {
      if (needle.empty())
        return 0;
      std::size_t count = 0;
      for (std::size_t at = haystack.find(needle); at != std::string::npos;
           at = haystack.find(needle, at + needle.size()))
        ++count;
      return count;
    }

    // Owns the file actions and attributes of posix_spawn for the length of one spawn.
    struct SpawnSetup
    {
      posix_spawn_file_actions_t actions;
      posix_spawnattr_t attributes;
      SpawnSetup()
      {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
      }
      ~SpawnSetup()
      {
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&actions);
      }
    };
  }

  ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                             const std::filesystem::path& workDir, bool terminal)
  {
    // A write to the standard input of a child that has ended must fail
    // with EPIPE, not end the test program.
    std::signal(SIGPIPE, SIG_IGN);

    int input[2], output[2], errors[2], wake[2];
    makePipe(input, program);
    makePipe(output, program);
    makePipe(errors, program);
    makePipe(wake, program);

    std::vector<std::string> argvText;
    argvText.push_back(program);
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : argvText)
      argv.push_back(arg.data());
    argv.push_back(nullptr);

    const std::string dir = workDir.string();
    std::string terminalPath;
    if (terminal)
    {
      terminalFd_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
      const char* name = terminalFd_ >= 0 && ::grantpt(terminalFd_) == 0 && ::unlockpt(terminalFd_) == 0
                           ? ::ptsname(terminalFd_)
                           : nullptr;
      if (name == nullptr)
        throw std::runtime_error("ChildProcess::ChildProcess: no pseudo-terminal for " + program + ": " +
                                 std::strerror(errno));
      terminalPath = name;
    }
    int result = 0;
    {
      SpawnSetup spawn;
      // The child starts as if from a shell: SIGPIPE (ignored here) back to
      // its default and no signal blocked, whatever this thread has blocked.
      sigset_t defaults, none;
      sigemptyset(&defaults);
      sigaddset(&defaults, SIGPIPE);
      sigemptyset(&none);
      posix_spawnattr_setsigdefault(&spawn.attributes, &defaults);
      posix_spawnattr_setsigmask(&spawn.attributes, &none);
      posix_spawnattr_setflags(&spawn.attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
      posix_spawn_file_actions_adddup2(&spawn.actions, input[0], STDIN_FILENO);
      posix_spawn_file_actions_adddup2(&spawn.actions, output[1], STDOUT_FILENO);
      posix_spawn_file_actions_adddup2(&spawn.actions, errors[1], STDERR_FILENO);
      posix_spawn_file_actions_addchdir_np(&spawn.actions, dir.c_str());
      // Nothing else of the test's: a listening socket the child held would
      // keep its port taken after the test's server closed it.
      posix_spawn_file_actions_addclosefrom_np(&spawn.actions, STDERR_FILENO + 1);
      if (terminal)
      {
        // A new session, whose leader opening a terminal makes it the
        // session's controlling terminal.
        posix_spawnattr_setflags(&spawn.attributes,
                                 POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSID);
        posix_spawn_file_actions_addopen(&spawn.actions, STDERR_FILENO + 1, terminalPath.c_str(), O_RDWR, 0);
      }
      result = ::posix_spawn(&pid_, program.c_str(), &spawn.actions, &spawn.attributes, argv.data(), environ);
    }
    ::close(input[0]);
    ::close(output[1]);
    ::close(errors[1]);
    inputFd_ = input[1];
    outputFd_ = output[0];
    errorFd_ = errors[0];
    wakeRead_ = wake[0];
    wakeWrite_ = wake[1];
    if (result != 0)
    {
      closeFd(inputFd_);
      closeFd(outputFd_);
      closeFd(errorFd_);
      closeFd(wakeRead_);
      closeFd(wakeWrite_);
      throw std::runtime_error("ChildProcess::ChildProcess: can't run " + program + " in " + dir + ": " +
                               std::strerror(result));
    }
    reader_ = std::thread(&ChildProcess::readLoop, this);
  }

  ChildProcess::~ChildProcess()
  {
    if (running())
      stop();
    // The wake-up ends the reader even if something still holds the pipes.
    const char byte = 0;
    if (::write(wakeWrite_, &byte, 1) < 0)
    {
      // The reader ends on its own once the pipes close; nothing to add.
    }
    if (reader_.joinable())
      reader_.join();
    closeFd(inputFd_);
    closeFd(outputFd_);
    closeFd(errorFd_);
    closeFd(wakeRead_);
    closeFd(wakeWrite_);
    closeFd(terminalFd_);
  }

  void ChildProcess::hangUp()
  {
    closeFd(terminalFd_);
  }

  void ChildProcess::readLoop()
  {
    pollfd fds[3] = {{outputFd_, POLLIN, 0}, {errorFd_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    std::string* targets[2] = {&output_, &errors_};
    char buffer[4096];
    while (fds[0].fd >= 0 || fds[1].fd >= 0)
    {
      bool paused = false;
      {
        std::lock_guard<std::mutex> guard(mutex_);
        paused = errorsPaused_;
      }
      // A paused standard error is left unread; the loop looks again a
      // few times a second for the end of the pause.
      fds[1].events = paused ? 0 : POLLIN;
      if (::poll(fds, 3, paused ? 20 : -1) < 0)
      {
        if (errno == EINTR)
          continue;
        break;
      }
      if (fds[2].revents != 0)
        break;
      for (int i = 0; i < 2; ++i)
      {
        if (fds[i].fd < 0 || fds[i].revents == 0)
          continue;
        // Read and appended under the lock (poll said the pipe is readable,
        // so the read doesn't wait): a reader of the texts that holds the
        // lock and finds the pipes empty has everything written so far.
        std::lock_guard<std::mutex> guard(mutex_);
        const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
          continue;
        if (got > 0)
          targets[i]->append(buffer, static_cast<std::size_t>(got));
        else
          fds[i].fd = -1;  // end of file (or a broken pipe): this stream is complete
        changed_.notify_all();
      }
    }
    std::lock_guard<std::mutex> guard(mutex_);
    pipesClosed_ = true;
    changed_.notify_all();
  }

  void ChildProcess::pauseErrors(int pipeBytes)
  {
    if (pipeBytes > 0 && ::fcntl(errorFd_, F_SETPIPE_SZ, pipeBytes) < 0)
      throw std::runtime_error(std::string("ChildProcess::pauseErrors: can't set the pipe's size: ") +
                               std::strerror(errno));
    std::lock_guard<std::mutex> guard(mutex_);
    errorsPaused_ = true;
  }

  void ChildProcess::resumeErrors()
  {
    // The reader looks again within its short poll of a pause.
    std::lock_guard<std::mutex> guard(mutex_);
    errorsPaused_ = false;
  }

  std::string ChildProcess::output() const
  {
    std::lock_guard<std::mutex> guard(mutex_);
    return output_;
  }

  std::string ChildProcess::errors() const
  {
    std::lock_guard<std::mutex> guard(mutex_);
    return errors_;
  }

  bool ChildProcess::waitForText(const std::string& which, const std::string& text, std::size_t count,
                                 std::chrono::milliseconds timeout) const
  {
    std::unique_lock<std::mutex> guard(mutex_);
    return changed_.wait_for(guard, timeout, [&] { return occurrences(which, text) >= count || pipesClosed_; }) &&
           occurrences(which, text) >= count;
  }

  bool ChildProcess::waitForOutput(const std::string& text, std::chrono::milliseconds timeout) const
  {
    return waitForText(output_, text, 1, timeout);
  }

  bool ChildProcess::waitForErrors(const std::string& text, std::chrono::milliseconds timeout) const
  {
    return waitForText(errors_, text, 1, timeout);
  }

  bool ChildProcess::waitForErrorCount(const std::string& text, std::size_t count,
                                       std::chrono::milliseconds timeout) const
  {
    return waitForText(errors_, text, count, timeout);
  }

  bool ChildProcess::waitForMainThreadAsleep(std::chrono::milliseconds timeout)
  {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const std::string file = "/proc/" + std::to_string(pid_) + "/syscall";
    while (!reap())
    {
      // The first field is the number of the system call the thread is
      // blocked in ("running" while it runs).
      long number = -1;
      std::ifstream in(file);
      if (in >> number)
      {
        bool asleep = number == SYS_clock_nanosleep;
#ifdef SYS_nanosleep
        asleep = asleep || number == SYS_nanosleep;
#endif
        // What the main thread wrote before it slept is in the texts too.
        if (asleep)
          return waitForPipesRead(std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now()));
      }
      if (std::chrono::steady_clock::now() >= deadline)
        return false;
      std::unique_lock<std::mutex> guard(mutex_);
      changed_.wait_for(guard, std::chrono::milliseconds(5));
    }
    return false;
  }

  bool ChildProcess::waitForPipesRead(std::chrono::milliseconds timeout) const
  {
    const auto unread = [](int fd) {
      int bytes = 0;
      return fd >= 0 && ::ioctl(fd, FIONREAD, &bytes) == 0 ? bytes : 0;
    };
    std::unique_lock<std::mutex> guard(mutex_);
    return changed_.wait_for(guard, timeout,
                             [&] { return pipesClosed_ || (unread(outputFd_) == 0 && unread(errorFd_) == 0); });
  }

  void ChildProcess::writeInput(const std::string& text)
  {
    std::size_t done = 0;
    while (inputFd_ >= 0 && done < text.size())
    {
      const ssize_t wrote = ::write(inputFd_, text.data() + done, text.size() - done);
      if (wrote < 0)
      {
        if (errno == EINTR)
          continue;
        return;  // the child closed its end or ended
      }
      done += static_cast<std::size_t>(wrote);
    }
  }

  void ChildProcess::closeInput() { closeFd(inputFd_); }

  bool ChildProcess::reap()
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (status_)
      return true;
    int raw = 0;
    const pid_t got = ::waitpid(pid_, &raw, WNOHANG);
    if (got != pid_)
      return false;
    ExitStatus status;
    status.signalled = WIFSIGNALED(raw);
    status.value = status.signalled ? WTERMSIG(raw) : WEXITSTATUS(raw);
    status_ = status;
    return true;
  }

  std::optional<ExitStatus> ChildProcess::waitForExit(std::chrono::milliseconds timeout)
  {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    // The process's end closes its pipes; after that only the reaping is
    // left, so the loop mostly sleeps on the condition.
    while (!reap())
    {
      if (std::chrono::steady_clock::now() >= deadline)
        return std::nullopt;
      std::unique_lock<std::mutex> guard(mutex_);
      changed_.wait_for(guard, std::chrono::milliseconds(5));
    }
    std::unique_lock<std::mutex> guard(mutex_);
    changed_.wait_until(guard, deadline, [&] { return pipesClosed_; });
    return status_;
  }

  bool ChildProcess::running() { return !reap(); }

  ExitStatus ChildProcess::stop()
  {
    if (running())
    {
      ::kill(pid_, SIGTERM);
      if (!waitForExit(std::chrono::seconds(5)))
      {
        ::kill(pid_, SIGKILL);
        waitForExit();
      }
    }
    if (auto status = waitForExit(std::chrono::milliseconds(0)))
      return *status;
    return ExitStatus{true, SIGKILL};
  }
}
