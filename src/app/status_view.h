#pragma once
// The bridge as the status server sees it: its views (the MIDI input, the
// robot links, the clock, the settings), its ring of recent events and its
// latency histogram, in the status server's snapshot.
//
// Threading: constructed on the main thread before the server starts;
// snapshot runs on the status server's thread only (it keeps what it saw
// of each robot's queue between calls). It reads relaxed atomics and fixed
// rings and takes no lock that the MIDI thread takes.
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "status/status_source.h"

class ConfigReloader;
class Midi;

/// The status source of a running bridge.
class StatusView : public status::StatusSource
{
public:
  /// Texts waiting this long without the queue shrinking make a robot stalled.
  static constexpr std::chrono::seconds stallTime{1};

  /// A view of `midi`; uptime counts from now.
  explicit StatusView(Midi& midi);
  /// The bridge's state now.
  status::Snapshot snapshot() override;
  /// From now on the snapshots show `reloader`'s configuration (main thread).
  void setConfig(const ConfigReloader* reloader) { config_.store(reloader); }

private:
  // What the last snapshots saw of one robot's queue.
  struct QueueSeen
  {
    std::size_t bytes = 0;
    std::chrono::steady_clock::time_point moved{};  // last empty or shrinking
    bool stalled = false;
    std::chrono::steady_clock::time_point stalledSince{};
  };

  Midi& midi_;
  const std::int64_t startUs_;
  std::atomic<const ConfigReloader*> config_{nullptr};
  std::array<QueueSeen, 32> queues_{};
};
