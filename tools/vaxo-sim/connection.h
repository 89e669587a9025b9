#pragma once
// One client connection of the stand-in server.
//
// Threading: everything runs on the thread that runs the server's
// io_context; the handlers given to the constructor are called there, with
// no lock held. A Connection keeps itself alive while reads or writes are
// pending.
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/ip/tcp.hpp>

#include "vaxo-sim/statement_splitter.h"

namespace vaxosim
{
  /// Reads one client's script text and writes lines back to it.
  class Connection : public std::enable_shared_from_this<Connection>
  {
  public:
    /// Called with the statements completed by each piece of input.
    using StatementHandler = std::function<void(unsigned id, const std::vector<std::string>& statements)>;
    /// Called once when the connection has ended, whichever side ended it.
    using CloseHandler = std::function<void(unsigned id, const std::string& reason)>;

    /// Closes the file when done with it.
    struct FileCloser
    {
      void operator()(std::FILE* f) const { std::fclose(f); }
    };
    /// A recording file.
    using RecordFile = std::unique_ptr<std::FILE, FileCloser>;

    /// Takes over `socket` as connection `id`; every byte received is also
    /// written to `record` when that is set.
    Connection(boost::asio::ip::tcp::socket socket, unsigned id, RecordFile record, std::string recordName,
               StatementHandler onStatements, CloseHandler onClose);

    /// Sends the greeting line and starts reading.
    void start(const std::string& hello);
    /// Queues `line` for sending; lines go out whole and in order.
    void send(std::string line);
    /// Ends the connection without calling the close handler.
    void close();

    /// The connection's id.
    unsigned id() const { return id_; }
    /// The client's address and port, as text.
    const std::string& peer() const { return peer_; }
    /// Statements received so far.
    std::uint64_t statementCount() const { return statements_; }
    /// Bytes received so far.
    std::uint64_t byteCount() const { return bytes_; }
    /// The text received after the last separator.
    const StatementSplitter& splitter() const { return splitter_; }

  private:
    void readSome();
    void writeNext();
    void record(const char* data, std::size_t size);
    void finish(const std::string& reason);

    boost::asio::ip::tcp::socket socket_;
    unsigned id_;
    std::string peer_;
    RecordFile record_;
    std::string recordName_;
    StatementHandler onStatements_;
    CloseHandler onClose_;
    StatementSplitter splitter_;
    std::vector<char> buffer_;
    std::vector<std::string> completed_;
    std::deque<std::string> outbox_;
    bool open_ = true;
    std::uint64_t statements_ = 0;
    std::uint64_t bytes_ = 0;
  };
}
