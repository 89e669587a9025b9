#pragma once
// Turns one server line (a JSON object) into a VMessage. Stateless and
// thread-safe; no callbacks.
#include <cstddef>
#include <string_view>

#include "vaxo/message.h"

namespace vaxo::detail
{
  /// Decodes the JSON Lines messages of the server-to-client direction.
  class JsonDecoder
  {
  public:
    /// Lists nested deeper than this make the line malformed.
    static constexpr int kMaxListDepth = 64;

    /// Fills type, tag, value and message of `msg` from `line`; returns false
    /// when the line is malformed (not JSON, not an object, none of "value",
    /// "error", "system", a data message without a string tag, or lists
    /// nested too deep). `msg` holds nothing useful then.
    static bool decode(std::string_view line, VMessage& msg);

    /// Deepest nesting of '[' outside strings in `text`, counting stops
    /// once it exceeds `limit` (so a hostile line costs one linear scan).
    static int listDepth(std::string_view text, int limit = kMaxListDepth);
  };
}
