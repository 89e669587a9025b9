#pragma once
// One robot: its client connection, its reconnection and what it reports.
//
// Threading:
// - the thread that reads the configuration (the main thread at start-up,
//   the reloader's later) constructs the link and calls start();
// - the client's I/O thread runs onLinkEvent: on every new connection it
//   switches Nagle off, tells the owner (RobotEvents::robotConnected, where
//   the bridge withdraws what the robot's server registered), and uploads
//   the script text and notara.vx, before any other thread's text can
//   reach the connection; on a loss or a failed attempt it writes the
//   "lost" line and schedules the next attempt (Backoff). Control messages
//   (RobotEvents::controlArrived with the robot's slot) and error reports
//   also run there;
// - RobotLinks' monitor thread calls reportDrops about once a second: the
//   texts dropped for a full queue and those dropped for their age;
// - any thread calls send (the MIDI input thread, the control channel's
//   I/O threads): it never waits for the server, takes no lock of the link,
//   and counts what it hands over; the client counts what it drops;
// - view may be called from any thread: it reads relaxed atomics only.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "robots/backoff.h"
#include "robots/robot_events.h"
#include "robots/robot_link_view.h"
#include "vaxo/client.h"

/// Makes the client of robot slot `slot` for `host`:`port`; `handler` is to
/// hear of its connection events. The default makes a background VSyncClient;
/// tests and benchmarks give clients of their own.
using RobotClientFactory = std::function<std::unique_ptr<VSyncClient>(
    int slot, const std::string& host, unsigned port, VLinkHandler handler)>;

/// Error callback of every robot connection: "Vaxo error: <text>" on
/// standard error, the server's text escaped. Always V_CONTINUE.
VCallbackAction onClientError(const VMessage& msg);

/// A robot slot's connection to its server, made again whenever it is lost.
class RobotLink
{
public:
  /// A link for robot slot `slot` to `host`:`port`, telling `events` of its
  /// connections and control messages; connects on start(). `clients` makes
  /// its client (when empty, a client whose queued texts are dropped once
  /// older than `maxAge`, 0: never; a factory's client has its own policy).
  RobotLink(RobotEvents& events, int slot, const std::string& host, unsigned port,
            const RobotClientFactory& clients = {}, std::chrono::milliseconds maxAge = VQueuePolicy().maxAge);
  /// Closes the connection and stops its thread; reports nothing.
  ~RobotLink();
  RobotLink(const RobotLink&) = delete;
  RobotLink& operator=(const RobotLink&) = delete;

  /// Starts the first connection attempt; returns at once.
  void start();
  /// Hands `text` to the client; a robot that is down or doesn't read drops
  /// it, and the client counts that.
  void send(const std::string& text);
  /// The link's state and counts now.
  RobotLinkView view() const;
  /// Writes the line about texts dropped for a full queue since the last
  /// call, if any, the line that ends such a stall, and the line about
  /// texts dropped for their age since the last call.
  void reportDrops();

private:
  void onLinkEvent(VLinkEvent event, const std::string& detail);
  void writeLine(const std::string& text) const;
  std::uint64_t dropped() const;
  void setState(RobotLinkView::State state);

  RobotEvents& events_;
  const int slot_;
  const std::string host_;
  const unsigned port_;
  const std::string address_;  // "<host>:<port>"
  const std::string name_;     // "Robot <slot> at <host>:<port>"

  // The client's I/O thread only.
  Backoff backoff_;
  bool down_ = false;          // the "lost" line was written and no "back" yet
  bool everConnected_ = false;
  std::uint64_t droppedAtLoss_ = 0;

  // The monitor thread only.
  std::uint64_t reportedFull_ = 0;
  std::uint64_t reportedOld_ = 0;
  std::uint64_t stallDrops_ = 0;
  bool stalled_ = false;

  // What view reads; written by the I/O thread (state, since, connections)
  // and the senders (textsSent_), all relaxed.
  std::atomic<RobotLinkView::State> state_{RobotLinkView::State::connecting};
  std::atomic<std::int64_t> sinceTicks_;  // steady_clock ticks
  std::atomic<std::uint64_t> connections_{0};
  std::atomic<std::uint64_t> textsSent_{0};

  // Last, so that it goes first: its thread calls back into this link.
  std::unique_ptr<VSyncClient> client_;
};
