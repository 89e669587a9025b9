// Replacements of every global operator new and delete. Each new counts one
// allocation; the memory comes from malloc, or aligned_alloc for the
// over-aligned forms, and goes back to free.
#include "allocation_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace
{
  std::atomic<std::uint64_t> allocations{0};

  void* allocate(std::size_t size)
  {
    allocations.fetch_add(1, std::memory_order_relaxed);
    // malloc(0) may answer null; new must not.
    return std::malloc(size == 0 ? 1 : size);
  }

  void* allocateAligned(std::size_t size, std::align_val_t alignment)
  {
    allocations.fetch_add(1, std::memory_order_relaxed);
    const auto align = static_cast<std::size_t>(alignment);
    // aligned_alloc wants a size that is a multiple of the alignment.
    const std::size_t rounded = (size + align - 1) / align * align;
    return std::aligned_alloc(align, rounded == 0 ? align : rounded);
  }

  void* orThrow(void* p)
  {
    if (p == nullptr)
      throw std::bad_alloc();
    return p;
  }
}

namespace notara::bench
{
  std::uint64_t AllocationCounter::count()
  {
    return allocations.load(std::memory_order_relaxed);
  }
}

void* operator new(std::size_t size) { return orThrow(allocate(size)); }
void* operator new[](std::size_t size) { return orThrow(allocate(size)); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new(std::size_t size, std::align_val_t a) { return orThrow(allocateAligned(size, a)); }
void* operator new[](std::size_t size, std::align_val_t a) { return orThrow(allocateAligned(size, a)); }
void* operator new(std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept
{
  return allocateAligned(size, a);
}
void* operator new[](std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept
{
  return allocateAligned(size, a);
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
