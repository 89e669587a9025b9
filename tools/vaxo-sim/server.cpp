#include "vaxo-sim/server.h"

#include <cerrno>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "vaxo-sim/screen_text.h"

namespace vaxosim
{
  namespace
  {
    // Statements longer than this are shortened on screen (unless --full);
    // the recording keeps them whole.
    constexpr std::size_t screenWidth = 160;

    boost::asio::ip::tcp::endpoint resolve(boost::asio::io_context& io, const SimOptions& options)
    {
      boost::system::error_code ec;
      auto address = boost::asio::ip::make_address(options.host, ec);
      if (!ec)
        return {address, options.port};
      boost::asio::ip::tcp::resolver resolver(io);
      auto results = resolver.resolve(options.host, std::to_string(options.port), ec);
      if (ec || results.empty())
        throw std::runtime_error("Server::Server: can't resolve host " + options.host + ": " +
                                 (ec ? ec.message() : std::string("no address")));
      return results.begin()->endpoint();
    }
  }

  Server::Server(boost::asio::io_context& io, const SimOptions& options, std::ostream& out, std::ostream& err)
    : acceptor_(io), options_(options), out_(out), err_(err), interpreter_(state_)
  {
    auto endpoint = resolve(io, options);
    std::string where = options.host + ":" + std::to_string(options.port);
    boost::system::error_code ec;
    acceptor_.open(endpoint.protocol(), ec);
    if (!ec)
      acceptor_.set_option(boost::asio::ip::tcp::acceptor::reuse_address(true), ec);
    if (!ec)
      acceptor_.bind(endpoint, ec);
    if (!ec)
      acceptor_.listen(boost::asio::socket_base::max_listen_connections, ec);
    if (ec)
      throw std::runtime_error("Server::Server: can't listen on " + where + ": " + ec.message());

    if (options_.recordDir)
    {
      std::error_code fsError;
      std::filesystem::create_directories(*options_.recordDir, fsError);
      if (fsError || !std::filesystem::is_directory(*options_.recordDir))
        throw std::runtime_error("Server::Server: can't create record directory " + options_.recordDir->string() +
                                 ": " + (fsError ? fsError.message() : std::string("not a directory")));
    }
  }

  Server::~Server()
  {
    stop();
  }

  boost::asio::ip::tcp::endpoint Server::endpoint() const
  {
    boost::system::error_code ec;
    return acceptor_.local_endpoint(ec);
  }

  void Server::start()
  {
    acceptNext();
  }

  void Server::stop()
  {
    if (stopped_)
      return;
    stopped_ = true;
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    auto connections = std::move(connections_);
    connections_.clear();
    for (auto& [id, connection] : connections)
      connection->close();
  }

  void Server::acceptNext()
  {
    acceptor_.async_accept([this](const boost::system::error_code& ec, boost::asio::ip::tcp::socket socket) {
      if (stopped_)
        return;
      if (ec)
        err_ << "vaxo-sim: Server::acceptNext: can't accept a connection: " << ec.message() << std::endl;
      else
        onAccepted(std::move(socket));
      acceptNext();
    });
  }

  void Server::onAccepted(boost::asio::ip::tcp::socket socket)
  {
    unsigned id = nextId_++;
    Connection::RecordFile record;
    std::string recordName;
    if (options_.recordDir)
    {
      recordName = (*options_.recordDir / ("connection-" + std::to_string(id) + ".bin")).string();
      record.reset(std::fopen(recordName.c_str(), "wb"));
      if (!record)
        err_ << "vaxo-sim: Server::onAccepted: can't record connection " << id << " to " << recordName << ": "
             << std::strerror(errno) << std::endl;
    }
    auto connection = std::make_shared<Connection>(
      std::move(socket), id, std::move(record), recordName,
      [this](unsigned from, const std::vector<std::string>& statements) { onStatements(from, statements); },
      [this](unsigned from, const std::string& reason) { onClosed(from, reason); });
    connections_[id] = connection;
    out_ << connectionLabel(id) << " -- connected from " << connection->peer() << std::endl;
    connection->start(CommandInterpreter::helloLine(id));
  }

  void Server::onStatements(unsigned id, const std::vector<std::string>& statements)
  {
    for (const auto& statement : statements)
    {
      out_ << connectionLabel(id) << ' ' << screenText(statement, options_.fullStatements ? 0 : screenWidth)
           << std::endl;
      deliver(interpreter_.statement(id, statement));
    }
  }

  void Server::onClosed(unsigned id, const std::string& reason)
  {
    auto it = connections_.find(id);
    if (it == connections_.end())
      return;
    auto connection = it->second;
    connections_.erase(it);
    state_.forgetConnection(id);
    out_ << connectionLabel(id) << " -- " << reason << " after " << connection->statementCount() << " statements, "
         << connection->byteCount() << " bytes";
    if (connection->splitter().hasPending())
      out_ << "; unfinished statement dropped: " << screenText(connection->splitter().pending(), 60);
    out_ << std::endl;
  }

  void Server::deliver(const Outcome& outcome)
  {
    if (outcome.error)
      err_ << "vaxo-sim: " << *outcome.error << std::endl;
    for (const auto& send : outcome.sends)
    {
      if (!sendRaw(send.connection, send.line))
        err_ << "vaxo-sim: Server::deliver: connection " << send.connection << " is gone; dropped "
             << screenText(send.line, 80) << std::endl;
    }
  }

  bool Server::sendRaw(unsigned id, const std::string& line)
  {
    auto it = connections_.find(id);
    if (it == connections_.end())
      return false;
    it->second->send(line);
    out_ << connectionLabel(id) << " <- " << screenText(line, options_.fullStatements ? 0 : screenWidth)
         << std::endl;
    return true;
  }

  std::string Server::describeConnections() const
  {
    std::ostringstream text;
    if (connections_.empty())
      text << "no connections\n";
    for (const auto& [id, connection] : connections_)
    {
      text << connectionLabel(id) << ' ' << connection->peer() << "  " << connection->statementCount()
           << " statements, " << connection->byteCount() << " bytes";
      auto functions = state_.functionsOf(id);
      if (!functions.empty())
      {
        text << "; defines";
        for (std::size_t i = 0; i < functions.size(); ++i)
          text << (i ? ", " : " ") << functions[i];
      }
      text << '\n';
    }
    return text.str();
  }
}
