#pragma once
// The delays between a lost robot's connection attempts. Plain value type,
// used by one thread at a time (the robot's client I/O thread).
#include <chrono>

/// Delays that start at 100 ms and double up to a cap of 1 s.
class Backoff
{
public:
  /// The delay before the first attempt after a loss.
  static constexpr std::chrono::milliseconds first{100};
  /// The longest delay.
  static constexpr std::chrono::milliseconds cap{1000};

  /// The delay before the next attempt; each call doubles the next one, up to the cap.
  std::chrono::milliseconds next();
  /// Starts over at the first delay (after a connection was made).
  void reset();

private:
  std::chrono::milliseconds delay_ = first;
};
