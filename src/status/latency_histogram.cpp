#include "status/latency_histogram.h"

#include <chrono>

namespace status
{
  void LatencyHistogram::observe(std::int64_t us)
  {
    counts_.record(std::chrono::microseconds(us < 0 ? 0 : us));
  }

  HistogramSnapshot LatencyHistogram::read() const
  {
    return snapshotOf(counts_.read(), counts_.sumMicros());
  }

  HistogramSnapshot snapshotOf(const VLatencyHistogram::Counts& counts, std::uint64_t sumMicros)
  {
    HistogramSnapshot histogram;
    for (const std::uint64_t bound : VLatencyHistogram::upperBoundsMicros)
      histogram.bounds.push_back(static_cast<double>(bound) / 1e6);
    for (const std::uint64_t n : counts)
    {
      histogram.counts.push_back(n);
      histogram.count += n;
    }
    histogram.sum = static_cast<double>(sumMicros) / 1e6;
    return histogram;
  }
}
