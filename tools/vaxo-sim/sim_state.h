#pragma once
// What the statements received so far imply on the server: variables,
// events, tags and the functions each connection defined.
// Not thread-safe; the server uses it on its I/O thread only.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "vaxo-sim/expression_parser.h"

namespace vaxosim
{
  /// Connection id 0 stands for the server's own prompt.
  constexpr unsigned consoleId = 0;

  /// One server variable.
  struct Variable
  {
    std::string text;           ///< the value as written
    std::optional<Json> value;  ///< the value, when the text is an expression the server understands
    unsigned connection = 0;    ///< who set it last
  };

  /// One event name.
  struct EventRecord
  {
    std::uint64_t count = 0;  ///< how often it was emitted
    std::string lastPayload;  ///< the text between the parentheses of the last emit
    unsigned connection = 0;  ///< who emitted it last
  };

  /// One tag that was frozen or unfrozen.
  struct TagRecord
  {
    bool frozen = false;      ///< the last command was freeze
    unsigned connection = 0;  ///< who sent the last command
  };

  /// One function as a connection defined it.
  struct FunctionDefinition
  {
    std::vector<std::string> parameters;         ///< parameter names in order
    std::string body;                            ///< the text between the outer braces
    std::optional<std::string> midictlTemplate;  ///< the expression of its first "midictl << ...", if any
  };

  /// The server's view of the script state.
  class SimState
  {
  public:
    /// Sets variable `name`.
    void assign(const std::string& name, std::string text, std::optional<Json> value, unsigned connection);
    /// Counts one emit of event `name` with its payload text.
    void emitEvent(const std::string& name, std::string payload, unsigned connection);
    /// Marks `tag` frozen (true) or running (false).
    void setFrozen(const std::string& tag, bool frozen, unsigned connection);
    /// Records that `connection` defined function `name`, replacing its
    /// earlier definition of that name.
    void defineFunction(unsigned connection, const std::string& name, FunctionDefinition definition);
    /// Drops the functions a closed connection defined; its variables,
    /// events and tags stay, as they would on a server.
    void forgetConnection(unsigned connection);

    /// Variable `name`, or null.
    const Variable* variable(const std::string& name) const;
    /// Event `name`, or null.
    const EventRecord* event(const std::string& name) const;
    /// Tag `name`, or null when it was never frozen or unfrozen.
    const TagRecord* tag(const std::string& name) const;
    /// `connection`'s definition of `name`, or null.
    const FunctionDefinition* function(unsigned connection, const std::string& name) const;
    /// The connections that define `name`, ascending.
    std::vector<unsigned> definers(const std::string& name) const;
    /// The names of the functions `connection` defined, sorted.
    std::vector<std::string> functionsOf(unsigned connection) const;

    /// The state as lines of text for a person, ending in '\n'.
    std::string describe() const;

  private:
    std::map<std::string, Variable> variables_;
    std::map<std::string, EventRecord> events_;
    std::map<std::string, TagRecord> tags_;
    std::map<std::string, std::map<unsigned, FunctionDefinition>> functions_;
  };

  /// "[3]" for a connection, "[prompt]" for the server's own prompt.
  std::string connectionLabel(unsigned connection);
}
