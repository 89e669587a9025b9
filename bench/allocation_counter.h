#pragma once
// Counts the heap allocations of the whole program. Linking
// allocation_counter.cpp replaces the global operator new and delete with
// versions over malloc and free that count each allocation.
//
// Threading: the count is one relaxed atomic, updated by whichever thread
// allocates; read it from any thread. No callbacks.
#include <cstdint>

namespace notara::bench
{
  /// The program's count of operator new calls.
  class AllocationCounter
  {
  public:
    /// Allocations since the program started.
    static std::uint64_t count();
  };
}
