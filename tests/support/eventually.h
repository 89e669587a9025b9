#pragma once
// Waiting for a condition that another thread makes true, when that thread
// offers nothing to wait on. The limit is generous: only a fault reaches it,
// and then the test fails instead of hanging.
//
// Threading: polls from the calling thread; `condition` must be safe to
// call there while the other thread works.
#include <chrono>
#include <thread>

namespace notara::test
{
  /// Polls `condition` until it holds; false when `wait` passed first.
  template <class Condition, class Rep, class Period>
  bool eventually(Condition condition, std::chrono::duration<Rep, Period> wait)
  {
    const auto end = std::chrono::steady_clock::now() + wait;
    while (!condition())
    {
      if (std::chrono::steady_clock::now() > end)
        return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }
}
