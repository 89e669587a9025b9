#pragma once
// Microsecond clock of the portability library. Safe on any thread.
#include <cstdint>

namespace libgantry
{
  /// Current time in microseconds from a monotonic clock; the origin is
  /// arbitrary, only differences of two readings in one run mean anything.
  std::int64_t utime();
}
