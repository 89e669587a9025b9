#include "bridge/lockable.h"

#include <cerrno>
#include <cstdlib>
#include <iostream>

#include "libgantry/error.h"
#include "log/stderr_line.h"

namespace
{
  // A mutex that fails leaves the action tables unguarded; going on could
  // corrupt them, so the process stops after one line naming the call. The
  // line numbers are part of the message and stay fixed.
  [[noreturn]] void abortOn(int line, const char* call)
  {
    const int errnum = errno;
    notara::writeStderrLineBeforeAbort("libgantry/lockable:" + std::to_string(line) + ": abort: " +
                                       libgantry::strerror(errnum) + ": " + call);
    std::abort();
  }
}

Lockable::Lockable() : handle_(CreateMutexA(nullptr, FALSE, nullptr))
{
  if (handle_ == nullptr)
    abortOn(18, "CreateMutex");
}

Lockable::~Lockable()
{
  // Nothing can be done about a handle that won't close at this point.
  CloseHandle(handle_);
}

void Lockable::lock()
{
  // WAIT_ABANDONED hands us the mutex of a thread that ended holding it.
  // Every holder takes it with std::lock_guard, which releases it on every
  // way out, so only a thread that was killed can leave it so; going on
  // with the tables as it left them beats stopping the show.
  if (WaitForSingleObject(handle_, INFINITE) == WAIT_FAILED)
    abortOn(24, "WaitForSingleObject");
}

void Lockable::unlock()
{
  if (ReleaseMutex(handle_) == 0)
    abortOn(30, "ReleaseMutex");
}
