#pragma once
// One robot: its client connection, its reconnection and what it reports.
//
// Threading:
// - the main thread constructs the link and calls start();
// - the client's I/O thread runs onLinkEvent: on every new connection it
//   switches Nagle off, withdraws the actions the robot's server
//   registered (Midi::withdrawActions, which takes the bridge's lock), and
//   uploads the script text and notara.vx, before any other thread's text
//   can reach the connection; on a loss or a failed attempt it writes the
//   "lost" line and schedules the next attempt (Backoff). Control messages
//   (Midi::onControl with the robot's slot) and error reports also run there;
// - RobotLinks' monitor thread calls reportDrops about once a second, which
//   also tells a stalled link from one that is up;
// - view runs on any thread (the status server's) and reads atomics only;
// - any thread sends through client() (Midi::send via RobotLinks): the
//   client never waits for the server and counts what it drops.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "robots/backoff.h"
#include "vaxo/client.h"

class Midi;

/// A robot slot's connection to its server, made again whenever it is lost.
class RobotLink
{
public:
  /// A link for robot slot `slot` to `host`:`port`; connects on start().
  RobotLink(Midi& midi, int slot, const std::string& host, unsigned port);
  /// Closes the connection and stops its thread; reports nothing.
  ~RobotLink();
  RobotLink(const RobotLink&) = delete;
  RobotLink& operator=(const RobotLink&) = delete;

  /// Starts the first connection attempt; returns at once.
  void start();
  /// The client that texts for this robot are handed to.
  VSyncClient& client() { return *client_; }
  /// Writes the line about texts dropped for a full queue since the last
  /// call, if any, and the line that ends such a stall.
  void reportDrops();

  /// A link's state as the status page shows it.
  enum class State
  {
    down,     ///< not connected; connecting again
    up,       ///< connected
    stalled   ///< connected, texts queued and the queue not shrinking for a second
  };
  /// What a status reader sees of the link; relaxed readings of atomics.
  struct View
  {
    int slot;                   ///< robot slot
    std::string host;           ///< host as the configuration gave it
    unsigned port;              ///< TCP port
    State state;                ///< present state
    std::int64_t sinceUs;       ///< libgantry::utime() when it began
    std::uint64_t connections;  ///< connections made so far
    std::uint64_t queuedBytes;  ///< bytes in the outgoing queue, at most a second ago
    std::uint64_t dropped;      ///< texts dropped, down or queue full
  };
  /// The link's view; any thread, no lock.
  View view() const;

private:
  void onLinkEvent(VLinkEvent event, const std::string& detail);
  void writeLine(const std::string& text) const;
  void setState(State state);
  std::uint64_t dropped() const;

  Midi& midi_;
  const int slot_;
  const std::string name_;   // "Robot <slot> at <host>:<port>"
  const std::string host_;
  const unsigned port_;

  // Written by the I/O thread and the monitor thread, read by any.
  std::atomic<State> state_{State::down};
  std::atomic<std::int64_t> stateSince_;
  std::atomic<std::uint64_t> connections_{0};
  // The queue's size as the monitor thread last saw it: the client's own
  // count is under the lock that every send takes, which a status reader
  // must not take.
  std::atomic<std::uint64_t> queuedSeen_{0};

  // The client's I/O thread only.
  Backoff backoff_;
  bool down_ = false;          // the "lost" line was written and no "back" yet
  std::uint64_t droppedAtLoss_ = 0;

  // The monitor thread only.
  std::uint64_t reportedFull_ = 0;
  std::uint64_t stallDrops_ = 0;
  bool stalled_ = false;
  std::size_t lastQueued_ = 0;

  // Last, so that it goes first: its thread calls back into this link.
  std::unique_ptr<VSyncClient> client_;
};
