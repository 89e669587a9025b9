#pragma once
// The latency histogram of the events' texts, from the MIDI callback to a
// text handed to the robots' sockets, in the same buckets as each robot's
// write latency (vaxo/latency_histogram.h), so that the page and /metrics
// compare like with like.
//
// Threading: observe runs on any thread (the MIDI input thread, robot
// links) and only bumps relaxed atomics; read runs on any thread and may
// see an observation in one field before another.
#include <cstdint>

#include "status/snapshot.h"
#include "vaxo/latency_histogram.h"

namespace status
{
  /// Latencies in the client library's buckets, 50 microseconds to 2 seconds.
  class LatencyHistogram
  {
  public:
    /// Adds one observation of `us` microseconds (a negative one counts as 0).
    void observe(std::int64_t us);
    /// The counts so far, in seconds.
    HistogramSnapshot read() const;

  private:
    VLatencyHistogram counts_;
  };

  /// `histogram`'s counts as a snapshot, its bounds in seconds.
  HistogramSnapshot snapshotOf(const VLatencyHistogram::Counts& counts, std::uint64_t sumMicros);
}
