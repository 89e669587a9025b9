// printable: JSON's string escaping, without the quotes around it.
#include "vaxo/printable.h"

#include <nlohmann/json.hpp>

namespace vaxo
{
  std::string printable(std::string_view text)
  {
    // ensure_ascii escapes DEL and every non-ASCII character too: a C1
    // control (U+009B is a CSI to many terminals) is as dangerous as ESC.
    // A byte that is not UTF-8 becomes U+FFFD instead of an exception.
    std::string quoted = nlohmann::json(std::string(text))
                             .dump(-1, ' ', true, nlohmann::json::error_handler_t::replace);
    return quoted.substr(1, quoted.size() - 2);
  }
}
