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
// - RobotLinks' monitor thread calls reportDrops about once a second: the
//   texts dropped for a full queue and those dropped for their age;
// - any thread sends through client() (Midi::send via RobotLinks): the
//   client never waits for the server and counts what it drops.
#include <chrono>
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
  /// A link for robot slot `slot` to `host`:`port` whose queued texts
  /// are dropped once older than `maxAge` (0: never); connects on start().
  RobotLink(Midi& midi, int slot, const std::string& host, unsigned port,
            std::chrono::milliseconds maxAge = VQueuePolicy().maxAge);
  /// Closes the connection and stops its thread; reports nothing.
  ~RobotLink();
  RobotLink(const RobotLink&) = delete;
  RobotLink& operator=(const RobotLink&) = delete;

  /// Starts the first connection attempt; returns at once.
  void start();
  /// The client that texts for this robot are handed to.
  VSyncClient& client() { return *client_; }
  /// Writes the line about texts dropped for a full queue since the last
  /// call, if any, the line that ends such a stall, and the line about
  /// texts dropped for their age since the last call.
  void reportDrops();

private:
  void onLinkEvent(VLinkEvent event, const std::string& detail);
  void writeLine(const std::string& text) const;
  std::uint64_t dropped() const;

  Midi& midi_;
  const int slot_;
  const std::string name_;   // "Robot <slot> at <host>:<port>"

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

  // Last, so that it goes first: its thread calls back into this link.
  std::unique_ptr<VSyncClient> client_;
};
