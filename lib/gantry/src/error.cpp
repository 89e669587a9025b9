#include "libgantry/error.h"

#include "last_error.h"

#include <cerrno>
#include <cstring>
#include <iostream>
#include <system_error>
#include <string>

namespace libgantry
{
  std::string describeLastError(const char* what)
  {
    // Read the error first: building the line may clobber it.
    const int errnum = errno;
    const std::string description = detail::lastErrorText(errnum);
    return std::string(what ? what : "") + ": " + description;
  }

  void perror(const char* what)
  {
    const std::string line = describeLastError(what) + "\n";
    std::cerr.write(line.data(), static_cast<std::streamsize>(line.size())).flush();
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
