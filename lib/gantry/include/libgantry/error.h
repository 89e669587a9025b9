#pragma once
// Error reporting of the portability library. Safe on any thread.

namespace libgantry
{
  /// Writes "<what>: <description of errno>" as one line to standard error.
  void perror(const char* what);

  /// Readable description of the error number `errnum` (as found in errno).
  /// The text stays valid until the next call on the same thread.
  const char* strerror(int errnum);
}
