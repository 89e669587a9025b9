#include "last_error.h"

#include <system_error>

namespace libgantry::detail
{
  std::string lastErrorText(int errnum)
  {
    // errno 0 would read "Success" after a failure.
    return errnum != 0 ? std::generic_category().message(errnum) : "unknown error";
  }
}
