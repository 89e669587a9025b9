#pragma once
// Order statistics of a set of time samples (nanoseconds): what every
// benchmark reports of a distribution.
//
// Threading: plain values and a function; no callbacks, no locks.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace notara::bench
{
  /// Count, median, tail percentiles and maximum of samples in nanoseconds.
  struct LatencySummary
  {
    std::size_t count = 0;   ///< number of samples
    double p50 = 0;          ///< median
    double p99 = 0;          ///< 99th percentile
    double p999 = 0;         ///< 99.9th percentile
    double max = 0;          ///< largest sample

    /// Summarises `samples` (reordered in place); all zero when empty.
    static LatencySummary of(std::vector<std::int64_t>& samples);
    /// The `fraction` quantile (0..1) of sorted samples, nearest rank.
    static double quantile(const std::vector<std::int64_t>& sorted, double fraction);
  };
}
