#pragma once
// Texts that came from a server, made safe to print on a terminal.
// Stateless and thread-safe.
#include <string>
#include <string_view>

namespace vaxo
{
  /// `text` with everything but printable ASCII escaped the way JSON
  /// strings escape it (\n, \t, \", \\, \u001b, \u00e9; bytes that are not
  /// UTF-8 as \ufffd), so no control sequence reaches the terminal.
  std::string printable(std::string_view text);
}
