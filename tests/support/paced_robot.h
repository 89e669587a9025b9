#pragma once
// A robot that reads at its own pace, on 127.0.0.1: one connection, read a
// byte at a time with a small receive buffer (the system's least unless
// given), a pause after each
// paced statement (a robot whose script takes that long for it) and, if
// asked, a stall after the first one. The paced statements are those that
// begin with a chosen prefix (all by default), so that an upload can go in
// at once. Each statement read is kept with the time its last byte was read.
//
// Threading: the constructor starts a reader thread; statements() may be
// called from any thread; the destructor ends the reader.
#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace notara::test
{
  /// A stand-in robot that reads slowly, or stops reading for a while.
  class PacedRobot
  {
  public:
    using Clock = std::chrono::steady_clock;

    /// Listens on a port of the system's choice; `perStatement` is the pause
    /// after each paced statement, `stallAfterFirst` how long it reads
    /// nothing after the first one; statements that begin with `pacedPrefix`
    /// are paced; `receiveBuffer` is the SO_RCVBUF asked for (the system
    /// gives at least its least).
    explicit PacedRobot(std::chrono::microseconds perStatement,
                        std::chrono::milliseconds stallAfterFirst = std::chrono::milliseconds(0),
                        std::string pacedPrefix = "", int receiveBuffer = 1);
    ~PacedRobot();
    PacedRobot(const PacedRobot&) = delete;
    PacedRobot& operator=(const PacedRobot&) = delete;

    /// The port it listens on.
    unsigned port() const;

    /// Each statement read so far (ending with ',' or ';', or the text
    /// before a line end; leading blanks left out), with the time its last
    /// byte was read.
    std::vector<std::pair<Clock::time_point, std::string>> statements() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
  };
}
