#pragma once
// Error reporting of the portability library. Safe on any thread.
#include <string>

namespace libgantry
{
  /// Writes "<what>: <description of the most recent system error>" as one
  /// line to standard error (errno; on Windows the thread's last-error value
  /// first); "unknown error" when no error is recorded.
  void perror(const char* what);

  /// The line perror writes, for a program that writes its lines itself.
  std::string describeLastError(const char* what);

  /// Readable description of the error number `errnum` (as found in errno).
  /// The text stays valid until the next call on the same thread.
  const char* strerror(int errnum);
}
