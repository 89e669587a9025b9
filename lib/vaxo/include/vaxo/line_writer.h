#pragma once
// Where the library writes the lines that no callback takes: a failure with
// nobody listening, a callback that threw, the wire trace. Standard error,
// one line per write, until a program gives a writer of its own.
//
// Threading: set the writer once, before any client exists; the library
// calls it on any of its threads and on the threads that send, with no
// lock of the library held.
#include <string_view>

/// Takes one whole line, without its newline; must not throw.
using VLineWriter = void (*)(std::string_view line);

/// Sends the library's lines to `writer` from now on; null for standard error.
void VSetLineWriter(VLineWriter writer);

namespace vaxo::detail
{
  /// Writes `line` through the writer in force.
  void writeLine(std::string_view line);
}
