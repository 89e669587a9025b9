#pragma once
// A snapshot of one robot link, as RobotLink::view and RobotLinks::views
// return it.
//
// Threading: a plain value; the links fill it from relaxed atomics, so it
// may be taken on any thread, and copying one is safe anywhere.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "vaxo/latency_histogram.h"

/// One robot link at one moment.
struct RobotLinkView
{
  /// The connection's state.
  enum class State
  {
    connecting,  ///< started, no connection made yet
    up,          ///< connected
    down,        ///< the connection was lost or refused; trying again
  };

  /// The robot slot (0..31).
  int slot = 0;
  /// "<host>:<port>", as the configuration gave them.
  std::string address;
  /// The host, as the configuration gave it.
  std::string host;
  /// The port.
  unsigned port = 0;
  /// The connection's state.
  State state = State::connecting;
  /// Steady-clock time of the last change of `state` (of the start, at first).
  std::chrono::steady_clock::time_point since{};
  /// Bytes waiting in the client's outgoing queue.
  std::size_t queuedBytes = 0;
  /// Texts handed to the connection (written or queued).
  std::uint64_t textsSent = 0;
  /// Texts dropped: while down, or for a full queue; the counts of the
  /// "lost", "back" and "doesn't read" lines.
  std::uint64_t textsDropped = 0;
  /// How long a text may wait in the client's queue (0: no limit).
  std::chrono::milliseconds maxAge{0};
  /// Texts dropped from the queue for being older than the age limit
  /// (not in textsDropped); the counts of the "older than" lines.
  std::uint64_t textsDroppedOld = 0;
  /// Queued assignments replaced by a later one to the same variable.
  std::uint64_t textsReplaced = 0;
  /// Times from send to the last byte written, per bucket of
  /// VLatencyHistogram::upperBoundsMicros.
  VLatencyHistogram::Counts writeLatency{};
  /// The sum of those times, in microseconds.
  std::uint64_t writeLatencySumMicros = 0;
  /// Connections made since the link started.
  std::uint64_t connections = 0;
};

/// "connecting", "up" or "down".
inline const char* toString(RobotLinkView::State state)
{
  constexpr const char* names[] = {"connecting", "up", "down"};
  return names[static_cast<int>(state)];
}
