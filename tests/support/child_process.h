#pragma once
// A program run as a child process for end-to-end tests: its own working
// directory, its standard input, output and error on pipes, stopped by its
// process id. Linux only.
//
// Threading: a reader thread of the object drains both output pipes at
// once, so a chatty child never blocks on a full pipe; it runs no callback
// and holds the object's mutex only while it reads a ready pipe and
// appends. Every public method may be called from any thread. The waits
// give up after a generous time-out only so that a broken program fails a
// test instead of hanging it.
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

namespace notara::test
{
  /// How a child process ended.
  struct ExitStatus
  {
    /// True when a signal ended it, false when it exited.
    bool signalled = false;
    /// The exit status, or the number of the signal that ended it.
    int value = 0;
  };

  /// One running program; stopped (SIGTERM, then SIGKILL) when destroyed.
  class ChildProcess
  {
  public:
    /// How long a wait goes on before it gives up.
    static constexpr std::chrono::milliseconds kWait{20000};

    /// Starts `program` with `args` (argv[0] is `program` as given) in
    /// `workDir`, with the test's environment; with `terminal`, in a
    /// session of its own whose controlling terminal is a pseudo-terminal
    /// of the test's (see hangUp). Throws std::runtime_error when it can't
    /// be started.
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::filesystem::path& workDir, bool terminal = false);
    /// Stops the process if it still runs, then releases the pipes.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    /// The process id.
    pid_t pid() const { return pid_; }

    /// Everything the process wrote to its standard output so far.
    std::string output() const;
    /// Everything the process wrote to its standard error so far.
    std::string errors() const;
    /// Waits until the standard output contains `text`.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout = kWait) const;
    /// Waits until the standard error contains `text`.
    bool waitForErrors(const std::string& text, std::chrono::milliseconds timeout = kWait) const;
    /// Waits until the standard error holds `count` occurrences of `text`.
    bool waitForErrorCount(const std::string& text, std::size_t count,
                           std::chrono::milliseconds timeout = kWait) const;

    /// Waits until the process's main thread sleeps (in nanosleep or
    /// clock_nanosleep, as /proc/<pid>/syscall shows): a program whose main
    /// thread has nothing left to do but sleep has finished its start-up.
    /// Then waits until what it wrote before is in output() and errors().
    bool waitForMainThreadAsleep(std::chrono::milliseconds timeout = kWait);

    /// Writes `text` to the process's standard input (dropped once it is closed).
    void writeInput(const std::string& text);
    /// Closes the process's standard input.
    void closeInput();
    /// Hangs up the process's terminal, as closing a terminal window does:
    /// the kernel sends the process SIGHUP. Only for a process started
    /// with a terminal.
    void hangUp();

    /// Stops reading the process's standard error, as a paused pager or a
    /// stuck log collector would, with the pipe's capacity set to about
    /// `pipeBytes` (0: as it is), so that a writer fills it soon.
    void pauseErrors(int pipeBytes = 0);
    /// Reads the process's standard error again.
    void resumeErrors();

    /// Waits until the process ended and returns how; nothing on time-out.
    /// After it ended, the output of both pipes has been read completely.
    std::optional<ExitStatus> waitForExit(std::chrono::milliseconds timeout = kWait);
    /// True while the process has not ended.
    bool running();
    /// Sends SIGTERM, waits, sends SIGKILL if it is still there; how it ended.
    ExitStatus stop();

  private:
    // Reaps the process without blocking; true once it has ended.
    bool reap();
    void readLoop();
    // Waits until both pipes hold no unread bytes, all read being appended.
    bool waitForPipesRead(std::chrono::milliseconds timeout) const;
    bool waitForText(const std::string& which, const std::string& text, std::size_t count,
                     std::chrono::milliseconds timeout) const;

    pid_t pid_ = -1;
    int inputFd_ = -1;
    int outputFd_ = -1;
    int errorFd_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    int terminalFd_ = -1;  // the pseudo-terminal's master side

    mutable std::mutex mutex_;  // guards the texts, pipesClosed_ and status_
    mutable std::condition_variable changed_;
    std::string output_;
    std::string errors_;
    bool pipesClosed_ = false;
    bool errorsPaused_ = false;
    std::optional<ExitStatus> status_;
    std::thread reader_;
  };
}
