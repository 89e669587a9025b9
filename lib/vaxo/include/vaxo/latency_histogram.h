#pragma once
// A fixed-bucket histogram of how long texts took from being made (handed
// to the client) to their last byte being written to the socket.
//
// Threading: record is called by whoever writes the socket (a sender or the
// client's I/O thread, with the client's lock held); read, bucketCount and
// upperBound may be called from any thread at any time, with no lock: every
// counter is a relaxed atomic, so a reading taken while texts are written
// may be one text behind in one bucket, never torn.
#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

/// Counts of write latencies in fixed buckets.
class VLatencyHistogram
{
public:
  /// Number of buckets; the last one has no upper bound.
  static constexpr std::size_t bucketCount = 16;
  /// Upper bounds of the buckets but the last, in microseconds (inclusive).
  static constexpr std::array<std::uint64_t, bucketCount - 1> upperBoundsMicros{
      50, 100, 200, 500, 1000, 2000, 5000, 10000, 20000, 50000, 100000, 200000, 500000, 1000000, 2000000};

  /// A copy of the counts.
  using Counts = std::array<std::uint64_t, bucketCount>;

  /// Counts one text that took `latency`.
  void record(std::chrono::nanoseconds latency);
  /// The counts now, bucket by bucket.
  Counts read() const;
  /// The sum of every latency counted, in microseconds.
  std::uint64_t sumMicros() const { return sumMicros_.load(std::memory_order_relaxed); }
  /// The bucket a latency of `micros` falls in.
  static std::size_t bucketOf(std::uint64_t micros);

private:
  std::array<std::atomic<std::uint64_t>, bucketCount> counts_{};
  std::atomic<std::uint64_t> sumMicros_{0};
};
