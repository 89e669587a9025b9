#pragma once
// Turns one server line (a JSON object) into a VMessage. Stateless and
// thread-safe; no callbacks.
#include <string_view>

#include "vaxo/message.h"

namespace vaxo::detail
{
  /// Decodes the JSON Lines messages of the server-to-client direction.
  class JsonDecoder
  {
  public:
    /// Arrays and objects nested deeper than this inside a member of the
    /// line's object make the line malformed.
    static constexpr int kMaxDepth = 64;

    /// Fills type, tag, value and message of `msg` from `line`; returns false
    /// when the line is malformed (not JSON, not an object, none of "value",
    /// "error", "system", a data message without a string tag, or arrays
    /// and objects nested too deep). `msg` holds nothing useful then.
    static bool decode(std::string_view line, VMessage& msg);
  };
}
