#pragma once
// The clock that the bridge's tempo measurement reads instead of the
// system's: the renderer hands it the song's time.
//
// Threading: read on the thread that runs Midi::handleRealtime.
#include <cstdint>

/// A reading of microseconds; only differences between readings count.
class TimeSource
{
public:
  virtual ~TimeSource() = default;
  /// Microseconds now; never 0, which the bridge reads as "no reading".
  virtual std::int64_t microseconds() = 0;
};
