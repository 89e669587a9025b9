// libgantry::perror on Windows: which record of the last error it describes.
#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "libgantry/error.h"
#include "support/cerr_capture.h"

namespace
{
  using notara::test::CerrCapture;

  std::string perrorLine(const char* what, DWORD lastError, int errnum)
  {
    CerrCapture cerr;
    SetLastError(lastError);
    errno = errnum;
    libgantry::perror(what);
    return cerr.text();
  }

  TEST(GantryPerror, DescribesTheLastErrorBeforeAStaleErrno)
  {
    // A failed setsockopt: Winsock's error is the thread's last error, and
    // errno still holds what an earlier failed file open left there.
    const std::string line = perrorLine("setsockopt", WSAECONNREFUSED, ENOENT);
    EXPECT_EQ(line, "setsockopt: " + std::system_category().message(WSAECONNREFUSED) + "\n");
    EXPECT_EQ(line.find(std::generic_category().message(ENOENT)), std::string::npos) << line;
  }

  TEST(GantryPerror, FallsBackToErrnoAndNeverSaysSuccess)
  {
    EXPECT_EQ(perrorLine("open", 0, ENOENT), "open: " + std::generic_category().message(ENOENT) + "\n");
    // The multimedia functions record no error at all.
    EXPECT_EQ(perrorLine("midi open", 0, 0), "midi open: unknown error\n");
  }
}
