#pragma once
// One line on standard error in a single write, so that the lines of other
// threads can't cut into it.
//
// Threading: any thread; the stream's own write is the only shared step.
#include <string_view>

namespace notara
{
  /// Writes `text` and a newline to standard error in one write, then flushes.
  void writeStderrLine(std::string_view text);
}
