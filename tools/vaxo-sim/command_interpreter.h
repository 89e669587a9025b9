#pragma once
// Understands the statements the server receives, as far as a stand-in
// server needs: assignments, emits, freeze and unfreeze, function
// definitions, and calls of the functions that send on the tag midictl.
// Not thread-safe; the server uses it on its I/O thread only.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vaxo-sim/expression_parser.h"
#include "vaxo-sim/sim_state.h"

namespace vaxosim
{
  /// One line the server is to send to one connection.
  struct Outgoing
  {
    unsigned connection = 0;  ///< the receiving connection
    std::string line;         ///< one JSON object and '\n'
  };

  /// What a statement or a call leads to.
  struct Outcome
  {
    std::vector<Outgoing> sends;       ///< lines to send, in order
    std::optional<std::string> error;  ///< set when the statement or call was bad
  };

  /// Applies statements to a SimState and answers control calls.
  class CommandInterpreter
  {
  public:
    /// Works on `state`, which must outlive the interpreter.
    explicit CommandInterpreter(SimState& state);

    /// Applies one statement (separator and surrounding blanks removed)
    /// received on connection `from`. A bad call of a control function
    /// yields an error and an error line to `from`; statements the server
    /// does not understand change nothing and are no error.
    Outcome statement(unsigned from, std::string_view text);

    /// A call typed at the server's prompt, such as midi.setDebug(3); a
    /// trailing ',' or ';' is allowed.
    Outcome call(std::string_view text);

    /// The data line for `value` on `tag`.
    static std::string dataLine(const std::string& tag, const Json& value);
    /// The error line carrying `message`.
    static std::string errorLine(const std::string& message);
    /// The greeting line for connection `connection`.
    static std::string helloLine(unsigned connection);

  private:
    Outcome callFunction(unsigned from, const std::string& name, std::string_view arguments,
                         std::string_view whole);
    bool defineFunction(unsigned from, std::string_view text);
    std::optional<Json> lookUp(unsigned from, std::string_view name) const;

    SimState& state_;
  };
}
