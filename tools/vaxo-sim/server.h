#pragma once
// The stand-in server: listens, owns the connections, prints what they
// send, and applies it to the shared state.
//
// Threading: all of it runs on the thread that runs the io_context given to
// the constructor; no locks. Console lines must be posted to that thread.
#include <cstdint>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "vaxo-sim/command_interpreter.h"
#include "vaxo-sim/connection.h"
#include "vaxo-sim/options.h"
#include "vaxo-sim/sim_state.h"

namespace vaxosim
{
  /// Accepts connections and handles their statements.
  class Server
  {
  public:
    /// Listens as `options` say; throws std::runtime_error naming the
    /// address when it can't, or when the record directory can't be made.
    /// Ordinary output goes to `out`, error messages to `err`.
    Server(boost::asio::io_context& io, const SimOptions& options, std::ostream& out, std::ostream& err);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    /// Where the server listens (with the real port when 0 was asked for).
    boost::asio::ip::tcp::endpoint endpoint() const;
    /// Starts accepting connections.
    void start();
    /// Stops accepting and closes every connection.
    void stop();

    /// Sends the lines of `outcome`, shows them, and reports its error.
    void deliver(const Outcome& outcome);
    /// Sends `line` to connection `id` as it is; false when there is no
    /// such connection.
    bool sendRaw(unsigned id, const std::string& line);

    /// The open connections, one per line, for a person.
    std::string describeConnections() const;
    /// The interpreter, for calls made at the prompt.
    CommandInterpreter& interpreter() { return interpreter_; }
    /// The state the statements built.
    const SimState& state() const { return state_; }
    /// Where ordinary output goes.
    std::ostream& out() { return out_; }
    /// Where error messages go.
    std::ostream& err() { return err_; }

  private:
    void acceptNext();
    void onAccepted(boost::asio::ip::tcp::socket socket);
    void onStatements(unsigned id, const std::vector<std::string>& statements);
    void onClosed(unsigned id, const std::string& reason);

    boost::asio::ip::tcp::acceptor acceptor_;
    SimOptions options_;
    std::ostream& out_;
    std::ostream& err_;
    SimState state_;
    CommandInterpreter interpreter_;
    std::map<unsigned, std::shared_ptr<Connection>> connections_;
    unsigned nextId_ = 1;
    bool stopped_ = false;
  };
}
