#pragma once
// The bridge's 32 robot slots and the links that fill them.
//
// Threading:
// - the main thread calls add (while the configuration is read);
// - send runs on the MIDI input thread and on the client I/O threads (the
//   control channel's setparameter); it takes no lock and never waits for
//   a server: each client writes what the socket takes at once and queues
//   or drops the rest;
// - a monitor thread of this object wakes once a second and has each link
//   report the texts it dropped (RobotLink::reportDrops), holding `mutex_`;
// - each link's client runs the link's connection events on its own thread.
// A slot holds a client pointer that the send path loads; it is written
// once the client exists, so a concurrent send sees the empty slot or the
// client. Tests and benchmarks may store clients of their own in a slot.
#include <array>
#include <chrono>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "robots/robot_link.h"

class Midi;
class VSyncClient;

/// The robot slots: which client each robot's texts go to, and the links.
class RobotLinks
{
public:
  /// Number of robot slots.
  static constexpr std::size_t slotCount = 32;
  /// One slot: the client its texts go to, or null.
  using Slot = std::atomic<VSyncClient*>;

  RobotLinks();
  /// Stops the monitor, then every link (their connections close).
  ~RobotLinks();
  RobotLinks(const RobotLinks&) = delete;
  RobotLinks& operator=(const RobotLinks&) = delete;

  /// Opens a link for slot `index` to `host`:`port` and fills the slot; the
  /// connection is made in the background. 1, or -1 for an index above 31.
  /// A link the slot held before keeps running, no longer addressed.
  int add(Midi& midi, unsigned index, const std::string& host, unsigned port,
          std::chrono::milliseconds maxAge = VQueuePolicy().maxAge);

  /// A robot line as add received it while recording.
  struct Address
  {
    unsigned index;    ///< robot slot
    std::string host;  ///< host name or address
    unsigned port;     ///< TCP port
  };
  /// A configuration check: from now on add records each robot line and
  /// connects nothing, so no slot is filled and send reaches no one. Called
  /// on the main thread before the configuration is read.
  void recordOnly() { recording_ = true; }
  /// The robot lines add recorded, in order.
  const std::vector<Address>& recorded() const { return recorded_; }

  /// Hands `text` to the client of every filled slot of `robotMask`, in
  /// ascending slot order.
  void send(int robotMask, const std::string& text);

  /// Slot `index` (0..31).
  Slot& operator[](std::size_t index) { return slots_[index]; }
  /// Slot `index` (0..31).
  const Slot& operator[](std::size_t index) const { return slots_[index]; }
  /// The first slot.
  Slot* begin() { return slots_.data(); }
  /// Past the last slot.
  Slot* end() { return slots_.data() + slots_.size(); }
  /// The first slot.
  const Slot* begin() const { return slots_.data(); }
  /// Past the last slot.
  const Slot* end() const { return slots_.data() + slots_.size(); }
  /// 32.
  std::size_t size() const { return slots_.size(); }

private:
  void monitor();

  std::array<Slot, slotCount> slots_{};
  std::mutex mutex_;  // guards links_ and stopping_
  std::condition_variable wake_;
  std::vector<std::unique_ptr<RobotLink>> links_;  // replaced ones too
  bool stopping_ = false;
  std::thread monitor_;
  bool recording_ = false;          // main thread only
  std::vector<Address> recorded_;   // main thread only
};
