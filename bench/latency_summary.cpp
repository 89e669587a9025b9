#include "latency_summary.h"

#include <algorithm>
#include <cmath>

namespace notara::bench
{
  LatencySummary LatencySummary::of(std::vector<std::int64_t>& samples)
  {
    LatencySummary summary;
    if (samples.empty())
      return summary;
    std::sort(samples.begin(), samples.end());
    summary.count = samples.size();
    summary.p50 = quantile(samples, 0.5);
    summary.p99 = quantile(samples, 0.99);
    summary.p999 = quantile(samples, 0.999);
    summary.max = static_cast<double>(samples.back());
    return summary;
  }

  double LatencySummary::quantile(const std::vector<std::int64_t>& sorted, double fraction)
  {
    if (sorted.empty())
      return 0;
    // Nearest rank: the smallest sample with at least `fraction` of the
    // samples at or below it, so p99.9 of 1,000 samples is the largest one
    // and not a value nobody measured.
    const double rank = std::ceil(fraction * static_cast<double>(sorted.size()));
    std::size_t index = rank < 1 ? 0 : static_cast<std::size_t>(rank) - 1;
    index = std::min(index, sorted.size() - 1);
    return static_cast<double>(sorted[index]);
  }
}
