#pragma once
// The bridge's 32 robot slots and the links that fill them.
//
// Threading:
// - the main thread constructs the object; the thread that reads the
//   configuration (the main thread at start-up, the reloader's later, one
//   at a time) calls add, line, recordOnly and recorded;
// - send runs on the MIDI input thread and on the client I/O threads (the
//   control channel's setparameter); it takes no lock: it counts itself in
//   `senders_`, loads each addressed slot's link and hands it the text. The client takes its own
//   send lock only around a non-blocking write or an append to its bounded
//   queue, never while the server is slow, and drops what doesn't fit;
// - a monitor thread of this object wakes once a second and has each link
//   report the texts it dropped (RobotLink::reportDrops), holding `mutex_`;
// - views runs on any thread but the MIDI input thread; it takes `mutex_`,
//   which neither send nor the MIDI thread ever takes;
// - each link's client runs the link's connection events on its own thread.
// - retire runs on the thread that reloads the configuration (one at a
//   time, never the MIDI thread): it empties the slot, waits until no send
//   counted in `senders_` can still hold the old link, then destroys it.
// A slot holds a link pointer that send loads; it is written once the link
// exists, so a concurrent send sees the empty slot or the link.
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "robots/robot_events.h"
#include "robots/robot_link.h"
#include "robots/robot_link_view.h"

/// The robot slots: which link each robot's texts go to, and the links.
class RobotLinks
{
public:
  /// Number of robot slots.
  static constexpr std::size_t slotCount = 32;

  /// Links whose clients `clients` makes (the default factory when empty).
  explicit RobotLinks(RobotClientFactory clients = {});
  /// Stops the monitor, then every link (their connections close).
  ~RobotLinks();
  RobotLinks(const RobotLinks&) = delete;
  RobotLinks& operator=(const RobotLinks&) = delete;

  /// Opens a link for slot `index` to `host`:`port`, telling `events` of its
  /// connections and control messages, and fills the slot; its queued texts
  /// are dropped once older than `maxAge` (0: never). The connection is made
  /// in the background. 1, or -1 for an index above 31. A link the slot held
  /// before is retired first.
  int add(RobotEvents& events, unsigned index, const std::string& host, unsigned port,
          std::chrono::milliseconds maxAge = VQueuePolicy().maxAge);

  /// A robot line as add received it.
  struct Address
  {
    unsigned index;    ///< robot slot
    std::string host;  ///< host name or address
    unsigned port;     ///< TCP port
    std::chrono::milliseconds maxAge{0};  ///< its queue's age limit

    /// True when both name the same robot, the same way.
    bool operator==(const Address& other) const
    {
      return index == other.index && host == other.host && port == other.port && maxAge == other.maxAge;
    }
  };
  /// A configuration check: from now on add records each robot line and
  /// connects nothing, so no slot is filled and send reaches no one. Called
  /// on the main thread before the configuration is read.
  void recordOnly() { recording_ = true; }
  /// The robot lines add recorded, in order.
  const std::vector<Address>& recorded() const { return recorded_; }

  /// The line of the link in slot `index`, if one fills it (reloading
  /// thread or main thread).
  const std::optional<Address>& line(unsigned index) const { return lines_.at(index); }
  /// Empties slot `index` and closes its link, once no send can still be
  /// handing it a text. Nothing for an empty slot.
  void retire(unsigned index);

  /// Hands `text` to the link of every filled slot of `robotMask`, in
  /// ascending slot order; the mask of the slots it was handed to.
  std::uint32_t send(int robotMask, const std::string& text);

  /// The link of every filled slot, in slot order (a replaced link is not
  /// addressed, so not shown).
  std::vector<RobotLinkView> views() const;

private:
  // The monitor thread: reportEverySecond, again after a failure.
  void monitor();
  // Has each link report its drops once a second until stopping_.
  void reportEverySecond();

  const RobotClientFactory clients_;
  std::array<std::atomic<RobotLink*>, slotCount> slots_{};
  mutable std::mutex mutex_;  // guards links_ and stopping_
  std::condition_variable wake_;
  std::vector<std::unique_ptr<RobotLink>> links_;  // replaced ones too
  bool stopping_ = false;
  std::thread monitor_;
  bool recording_ = false;          // main thread only
  std::vector<Address> recorded_;   // main thread only
  std::array<std::optional<Address>, slotCount> lines_{};  // the thread that adds and retires
  std::atomic<int> senders_{0};     // sends in progress
};
