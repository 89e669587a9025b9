#pragma once
// An ordered record of the calls a callback receives, for the test's thread
// to wait on and then read.
//
// Threading: add from any thread (a library's reader or MIDI thread); wait
// and read from the test's. The record's own mutex is held only inside
// these members, never while the caller's code runs.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <utility>
#include <vector>

namespace notara::test
{
  /// Keeps each call's `Entry` in the order the calls came.
  template <class Entry>
  class CallLog
  {
  public:
    /// Records one call and wakes the waiters.
    void add(Entry entry)
    {
      {
        std::lock_guard<std::mutex> guard(mutex_);
        entries_.push_back(std::move(entry));
      }
      changed_.notify_all();
    }

    /// Waits until at least `count` calls came; false when `wait` passed first.
    template <class Rep, class Period>
    bool waitFor(std::size_t count, std::chrono::duration<Rep, Period> wait)
    {
      std::unique_lock<std::mutex> lock(mutex_);
      return changed_.wait_for(lock, wait, [&] { return entries_.size() >= count; });
    }

    /// The calls so far, in order.
    std::vector<Entry> entries() const
    {
      std::lock_guard<std::mutex> guard(mutex_);
      return entries_;
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Entry> entries_;
  };
}
