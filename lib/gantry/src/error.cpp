#include "libgantry/error.h"

#include "last_error.h"

#include <cerrno>
#include <cstring>
#include <iostream>
#include <system_error>
#include <string>

namespace libgantry
{
  void perror(const char* what)
  {
    // Read the error first: writing the line may clobber it.
    const int errnum = errno;
    const std::string description = detail::lastErrorText(errnum);
    std::cerr << (what ? what : "") << ": " << description << std::endl;
  }

  const char* strerror(int errnum)
  {
    // std::generic_category maps errno values on every platform and is
    // thread-safe, unlike ::strerror; one buffer per thread keeps the pointer valid
    // until the next call on that thread.
    thread_local std::string text;
    text = std::generic_category().message(errnum);
    return text.c_str();
  }
}
