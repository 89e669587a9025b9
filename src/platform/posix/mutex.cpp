// The Windows mutex functions over the C++ thread library. A Windows mutex
// is recursive and knows its owner (ReleaseMutex by another thread fails),
// which neither std::recursive_mutex nor pthreads report portably, so the
// owner and the recursion count are kept here beside a plain mutex.
#include <windows.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

namespace
{
  // Tells a handle of ours from a pointer to something else.
  constexpr unsigned long mutexTag = 0x4D555458ul;  // "MUTX"

  struct RecursiveMutex
  {
    unsigned long tag = mutexTag;
    std::mutex guard;             // protects owner and depth
    std::condition_variable freed;
    std::thread::id owner;        // default id: nobody owns it
    unsigned long depth = 0;
  };

  RecursiveMutex* fromHandle(HANDLE handle)
  {
    auto* mutex = static_cast<RecursiveMutex*>(handle);
    if (mutex == nullptr || mutex->tag != mutexTag)
    {
      errno = EINVAL;
      return nullptr;
    }
    return mutex;
  }
}

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES /*attributes*/, BOOL initialOwner, LPCSTR name)
{
  if (name != nullptr)
  {
    errno = ENOTSUP;
    return nullptr;
  }
  auto* mutex = new (std::nothrow) RecursiveMutex;
  if (mutex == nullptr)
  {
    errno = ENOMEM;
    return nullptr;
  }
  if (initialOwner)
  {
    mutex->owner = std::this_thread::get_id();
    mutex->depth = 1;
  }
  return mutex;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
  RecursiveMutex* mutex = fromHandle(handle);
  if (mutex == nullptr)
    return WAIT_FAILED;
  try
  {
    const std::thread::id self = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(mutex->guard);
    if (mutex->owner == self)
    {
      ++mutex->depth;
      return WAIT_OBJECT_0;
    }
    const auto isFree = [mutex] { return mutex->depth == 0; };
    if (milliseconds == INFINITE)
      mutex->freed.wait(lock, isFree);
    else if (!mutex->freed.wait_for(lock, std::chrono::milliseconds(milliseconds), isFree))
      return WAIT_TIMEOUT;
    mutex->owner = self;
    mutex->depth = 1;
    return WAIT_OBJECT_0;
  }
  catch (const std::system_error& e)
  {
    errno = e.code().value();
    return WAIT_FAILED;
  }
}

BOOL ReleaseMutex(HANDLE handle)
{
  RecursiveMutex* mutex = fromHandle(handle);
  if (mutex == nullptr)
    return FALSE;
  try
  {
    std::unique_lock<std::mutex> lock(mutex->guard);
    if (mutex->depth == 0 || mutex->owner != std::this_thread::get_id())
    {
      errno = EPERM;
      return FALSE;
    }
    if (--mutex->depth == 0)
    {
      mutex->owner = std::thread::id();
      lock.unlock();
      mutex->freed.notify_one();
    }
    return TRUE;
  }
  catch (const std::system_error& e)
  {
    errno = e.code().value();
    return FALSE;
  }
}

BOOL CloseHandle(HANDLE handle)
{
  RecursiveMutex* mutex = fromHandle(handle);
  if (mutex == nullptr)
    return FALSE;
  // Spoil the tag so that a stale copy of the handle is refused rather than
  // used while the memory is still unclaimed.
  mutex->tag = 0;
  delete mutex;
  return TRUE;
}
