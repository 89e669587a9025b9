#include "last_error.h"

#include <windows.h>

#include <system_error>

namespace libgantry::detail
{
  std::string lastErrorText(int errnum)
  {
    // Winsock and the mutex functions report through the thread's
    // last-error value and leave errno as an earlier C library call left
    // it, so that value comes first. The multimedia functions report
    // through neither (their result code is all they give); with both at
    // 0 the error is unknown, not "Success".
    const DWORD code = GetLastError();
    if (code != 0)
      return std::system_category().message(static_cast<int>(code));
    if (errnum != 0)
      return std::generic_category().message(errnum);
    return "unknown error";
  }
}
