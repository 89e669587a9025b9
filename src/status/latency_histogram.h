#pragma once
// A fixed histogram of latencies that any thread adds to without a lock.
//
// Threading: observe runs on any thread (the MIDI input thread, robot
// links) and only bumps relaxed atomics; read runs on any thread and may
// see an observation in one field before another.
#include <array>
#include <atomic>
#include <cstdint>

#include "status/snapshot.h"

namespace status
{
  /// Latencies in buckets from 50 microseconds to 1 second.
  class LatencyHistogram
  {
  public:
    /// Upper bounds of the buckets, in microseconds.
    static constexpr std::array<std::int64_t, 12> boundsUs{50, 100, 250, 500, 1000, 2500,
                                                          5000, 10000, 25000, 100000, 250000, 1000000};

    /// Adds one observation of `us` microseconds.
    void observe(std::int64_t us);
    /// The counts so far, in seconds.
    HistogramSnapshot read() const;

  private:
    std::array<std::atomic<std::uint64_t>, boundsUs.size() + 1> counts_{};
    std::atomic<std::uint64_t> sumUs_{0};
  };
}
