#pragma once
// A message received from a server, as handed to callbacks.
#include <string>

#include "vaxo/value.h"

class VAbstractClient;

/// Kind of a server message.
enum class VMessageType
{
  Data,    ///< a value on a tag: {"tag":...,"value":...}
  Error,   ///< an error report from the server, or a fault the client found
  System   ///< anything else the server says: {"system":...}
};

/// One message from a server (or a fault report made by the client itself).
class VMessage
{
public:
  /// The client the message arrived on.
  VAbstractClient* client = nullptr;
  /// Data, error or system.
  VMessageType type = VMessageType::Data;
  /// The tag, exactly as sent (may be empty for errors and faults).
  std::string tag;
  /// The value, for a data message.
  VValue value;
  /// The text of an error or system message; for faults found by the client
  /// ("malformed message: ...", "message too long", "connection closed").
  std::string message;
};
