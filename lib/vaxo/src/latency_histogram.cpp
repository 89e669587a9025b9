// VLatencyHistogram: relaxed counters in fixed buckets.
#include "vaxo/latency_histogram.h"

#include <algorithm>

constexpr std::array<std::uint64_t, VLatencyHistogram::bucketCount - 1> VLatencyHistogram::upperBoundsMicros;

std::size_t VLatencyHistogram::bucketOf(std::uint64_t micros)
{
  return static_cast<std::size_t>(
      std::lower_bound(upperBoundsMicros.begin(), upperBoundsMicros.end(), micros) - upperBoundsMicros.begin());
}

void VLatencyHistogram::record(std::chrono::nanoseconds latency)
{
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(latency).count();
  const std::uint64_t positive = micros > 0 ? static_cast<std::uint64_t>(micros) : 0;
  counts_[bucketOf(positive)].fetch_add(1, std::memory_order_relaxed);
  sumMicros_.fetch_add(positive, std::memory_order_relaxed);
}

VLatencyHistogram::Counts VLatencyHistogram::read() const
{
  Counts counts{};
  for (std::size_t i = 0; i < bucketCount; ++i)
    counts[i] = counts_[i].load(std::memory_order_relaxed);
  return counts;
}
