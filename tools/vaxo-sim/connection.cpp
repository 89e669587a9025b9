#include "vaxo-sim/connection.h"

#include <cerrno>
#include <cstring>
#include <iostream>

#include <boost/asio/write.hpp>

namespace vaxosim
{
  Connection::Connection(boost::asio::ip::tcp::socket socket, unsigned id, RecordFile record, std::string recordName,
                         StatementHandler onStatements, CloseHandler onClose)
    : socket_(std::move(socket)),
      id_(id),
      record_(std::move(record)),
      recordName_(std::move(recordName)),
      onStatements_(std::move(onStatements)),
      onClose_(std::move(onClose)),
      buffer_(64 * 1024)
  {
    boost::system::error_code ec;
    auto remote = socket_.remote_endpoint(ec);
    peer_ = ec ? std::string("(unknown peer)") : remote.address().to_string() + ":" + std::to_string(remote.port());
    // Lines to the client are small and should arrive at once.
    socket_.set_option(boost::asio::ip::tcp::no_delay(true), ec);
  }

  void Connection::start(const std::string& hello)
  {
    send(hello);
    readSome();
  }

  void Connection::send(std::string line)
  {
    if (!open_)
      return;
    outbox_.push_back(std::move(line));
    if (outbox_.size() == 1)
      writeNext();
  }

  void Connection::close()
  {
    open_ = false;
    boost::system::error_code ignored;
    socket_.shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
  }

  void Connection::readSome()
  {
    auto self = shared_from_this();
    socket_.async_read_some(boost::asio::buffer(buffer_), [this, self](const boost::system::error_code& ec,
                                                                       std::size_t size) {
      if (!open_)
        return;
      if (ec)
      {
        finish(ec == boost::asio::error::eof ? std::string("closed by the client") : ec.message());
        return;
      }
      bytes_ += size;
      record(buffer_.data(), size);
      completed_.clear();
      splitter_.feed(std::string_view(buffer_.data(), size), completed_);
      statements_ += completed_.size();
      if (!completed_.empty())
        onStatements_(id_, completed_);
      if (open_)
        readSome();
    });
  }

  void Connection::writeNext()
  {
    auto self = shared_from_this();
    boost::asio::async_write(socket_, boost::asio::buffer(outbox_.front()),
                             [this, self](const boost::system::error_code& ec, std::size_t) {
                               if (!open_)
                                 return;
                               if (ec)
                               {
                                 finish("can't send: " + ec.message());
                                 return;
                               }
                               outbox_.pop_front();
                               if (!outbox_.empty())
                                 writeNext();
                             });
  }

  void Connection::record(const char* data, std::size_t size)
  {
    if (!record_)
      return;
    // Flushed at once, so a test can compare the file while we run.
    if (std::fwrite(data, 1, size, record_.get()) != size || std::fflush(record_.get()) != 0)
    {
      std::cerr << "vaxo-sim: Connection::record: can't write " << recordName_ << ": " << std::strerror(errno)
                << "; recording of connection " << id_ << " stopped" << std::endl;
      record_.reset();
    }
  }

  void Connection::finish(const std::string& reason)
  {
    // The outbox stays: a write still pending uses its front until its
    // handler has run.
    close();
    // The handler may drop the server's reference to us; `self` in the
    // calling handler keeps this object alive until it returns.
    onClose_(id_, reason);
  }
}
