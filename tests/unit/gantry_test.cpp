// libgantry::perror off Windows: errno is the system's last error.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "libgantry/error.h"
#include "support/cerr_capture.h"

namespace
{
  using notara::test::CerrCapture;

  std::string perrorLine(const char* what, int errnum)
  {
    CerrCapture cerr;
    errno = errnum;
    libgantry::perror(what);
    return cerr.text();
  }

  TEST(GantryPerror, DescribesErrnoOnOneLine)
  {
    EXPECT_EQ(perrorLine("midi open", ENODEV), "midi open: " + std::generic_category().message(ENODEV) + "\n");
    EXPECT_EQ(perrorLine(nullptr, EINVAL), ": " + std::generic_category().message(EINVAL) + "\n");
  }

  TEST(GantryPerror, NoRecordedErrorIsUnknownNotSuccess)
  {
    EXPECT_EQ(perrorLine("midi open", 0), "midi open: unknown error\n");
  }

  TEST(GantryStrerror, DescribesTheErrorNumber)
  {
    const char* text = libgantry::strerror(ENOENT);
    EXPECT_EQ(std::string(text), std::generic_category().message(ENOENT));
  }
}
