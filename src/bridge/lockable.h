#pragma once
// The bridge's mutex, a Windows mutex. A failure to create, lock or unlock
// it writes one "libgantry/lockable:<line>: abort: <error>: <call>" line to
// standard error and aborts the process.
//
// Threading: lock and unlock from any thread; the mutex is re-entrant for
// its owner. Take it with std::lock_guard<Lockable>, which also releases it
// when an error passes through the scope.
#include <windows.h>

/// Owns one Windows mutex.
class Lockable
{
public:
  /// Creates the mutex (CreateMutexA, not owned, no name).
  Lockable();
  /// Closes the mutex handle.
  ~Lockable();
  Lockable(const Lockable&) = delete;
  Lockable& operator=(const Lockable&) = delete;

  /// Waits for the mutex without time-out; an abandoned mutex is acquired.
  void lock();
  /// Releases the mutex.
  void unlock();

private:
  HANDLE handle_;
};
