#pragma once
// The commands a person types at the server's prompt.
//
// Threading: handle() must run on the server's I/O thread (post the lines
// there); the quit handler is called on it too.
#include <functional>
#include <string>

#include "vaxo-sim/server.h"

namespace vaxosim
{
  /// Carries out prompt commands on a server.
  class Console
  {
  public:
    /// Works on `server`; `onQuit` is called when the person types quit.
    Console(Server& server, std::function<void()> onQuit);

    /// Carries out one line (a call, send, state, connections, help, quit).
    void handle(const std::string& line);

  private:
    void sendCommand(const std::string& rest);

    Server& server_;
    std::function<void()> onQuit_;
  };
}
