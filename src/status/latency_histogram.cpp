#include "status/latency_histogram.h"

namespace status
{
  constexpr std::array<std::int64_t, 12> LatencyHistogram::boundsUs;

  void LatencyHistogram::observe(std::int64_t us)
  {
    if (us < 0)
      us = 0;
    std::size_t bucket = 0;
    while (bucket < boundsUs.size() && us > boundsUs[bucket])
      ++bucket;
    counts_[bucket].fetch_add(1, std::memory_order_relaxed);
    sumUs_.fetch_add(static_cast<std::uint64_t>(us), std::memory_order_relaxed);
  }

  HistogramSnapshot LatencyHistogram::read() const
  {
    HistogramSnapshot histogram;
    for (const std::int64_t bound : boundsUs)
      histogram.bounds.push_back(static_cast<double>(bound) / 1e6);
    for (const auto& count : counts_)
    {
      const std::uint64_t n = count.load(std::memory_order_relaxed);
      histogram.counts.push_back(n);
      histogram.count += n;
    }
    histogram.sum = static_cast<double>(sumUs_.load(std::memory_order_relaxed)) / 1e6;
    return histogram;
  }
}
