#pragma once
// How script text is shown on the server's screen.
#include <cstddef>
#include <string>
#include <string_view>

namespace vaxosim
{
  /// `text` made fit for one screen line: runs of blanks, tabs and line
  /// breaks become one blank, other control bytes show as \xNN, and a text
  /// longer than `maxBytes` (0: no limit) is cut to about that size and
  /// ends in " ... (N bytes)" with its full size.
  std::string screenText(std::string_view text, std::size_t maxBytes);
}
