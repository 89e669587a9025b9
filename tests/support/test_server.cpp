// TestServer: one io_context on its own thread; reads are recorded under a
// mutex that the waits sleep on.
#include "support/test_server.h"

#include <condition_variable>
#include <deque>
#include <iostream>
#include <mutex>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

namespace asio = boost::asio;
using asio::ip::tcp;

namespace notara::test
{
  namespace
  {
    struct Connection
    {
      explicit Connection(asio::io_context& io) : socket(io) {}

      tcp::socket socket;
      std::vector<char> buffer = std::vector<char>(65536);
      // Touched on the server thread only.
      std::deque<std::string> outbox;
      bool writing = false;
      bool closeWhenSent = false;
      bool reading = false;
      // Guarded by Impl::mutex.
      std::string received;
      bool peerClosed = false;
      std::size_t queued = 0;
      std::size_t sent = 0;
    };
  }

  struct TestServer::Impl
  {
    asio::io_context io;
    tcp::acceptor acceptor{io};
    std::thread thread;
    unsigned port = 0;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<std::shared_ptr<Connection>> connections;
    bool stopped = false;
    bool reading = true;  // server thread only

    template <class Predicate>
    bool waitUntil(std::chrono::milliseconds timeout, Predicate predicate) const
    {
      std::unique_lock<std::mutex> lock(mutex);
      return changed.wait_for(lock, timeout, predicate);
    }

    std::shared_ptr<Connection> find(std::size_t index) const
    {
      std::lock_guard<std::mutex> guard(mutex);
      return index < connections.size() ? connections[index] : nullptr;
    }

    void accept()
    {
      auto connection = std::make_shared<Connection>(io);
      acceptor.async_accept(connection->socket, [this, connection](const boost::system::error_code& error) {
        if (error)
          return;   // the acceptor was closed
        {
          std::lock_guard<std::mutex> guard(mutex);
          connections.push_back(connection);
        }
        changed.notify_all();
        if (reading)
          read(connection);
        accept();
      });
    }

    void read(const std::shared_ptr<Connection>& connection)
    {
      connection->reading = true;
      connection->socket.async_read_some(
          asio::buffer(connection->buffer), [this, connection](const boost::system::error_code& error, std::size_t size) {
            {
              std::lock_guard<std::mutex> guard(mutex);
              connection->received.append(connection->buffer.data(), size);
              if (error)
                connection->peerClosed = true;
            }
            changed.notify_all();
            if (!error)
              read(connection);
          });
    }

    void writeNext(const std::shared_ptr<Connection>& connection)
    {
      if (connection->writing)
        return;
      if (connection->outbox.empty())
      {
        if (connection->closeWhenSent)
          closeNow(*connection);
        return;
      }
      connection->writing = true;
      asio::async_write(connection->socket, asio::buffer(connection->outbox.front()),
                        [this, connection](const boost::system::error_code& error, std::size_t) {
                          connection->writing = false;
                          const std::size_t size = connection->outbox.front().size();
                          connection->outbox.pop_front();
                          {
                            std::lock_guard<std::mutex> guard(mutex);
                            connection->sent += size;
                          }
                          changed.notify_all();
                          if (error)
                          {
                            // The peer is gone: the rest can't go out either.
                            {
                              std::lock_guard<std::mutex> guard(mutex);
                              for (const auto& rest : connection->outbox)
                                connection->sent += rest.size();
                            }
                            connection->outbox.clear();
                            changed.notify_all();
                          }
                          writeNext(connection);
                        });
    }

    static void closeNow(Connection& connection)
    {
      boost::system::error_code ignored;
      connection.socket.shutdown(tcp::socket::shutdown_both, ignored);
      connection.socket.close(ignored);
    }
  };

  TestServer::TestServer() : TestServer(Options()) {}

  TestServer::TestServer(const Options& options) : impl_(std::make_unique<Impl>())
  {
    const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(options.port));
    impl_->reading = options.reading;
    impl_->acceptor.open(endpoint.protocol());
    impl_->acceptor.set_option(tcp::acceptor::reuse_address(true));
    // Set before listen, so that the window the connections announce is small from the start.
    if (options.receiveBuffer > 0)
      impl_->acceptor.set_option(asio::socket_base::receive_buffer_size(options.receiveBuffer));
    impl_->acceptor.bind(endpoint);
    impl_->acceptor.listen();
    impl_->port = impl_->acceptor.local_endpoint().port();
    impl_->accept();
    impl_->thread = std::thread([impl = impl_.get()] {
      try
      {
        impl->io.run();
      }
      catch (const std::exception& e)
      {
        std::cerr << "TestServer::TestServer: server thread failed: " << e.what() << std::endl;
      }
    });
  }

  TestServer::~TestServer()
  {
    stop();
  }

  unsigned TestServer::port() const
  {
    return impl_->port;
  }

  std::size_t TestServer::connectionCount() const
  {
    std::lock_guard<std::mutex> guard(impl_->mutex);
    return impl_->connections.size();
  }

  bool TestServer::waitForConnections(std::size_t count, std::chrono::milliseconds timeout) const
  {
    return impl_->waitUntil(timeout, [&] { return impl_->connections.size() >= count; });
  }

  std::string TestServer::received(std::size_t index) const
  {
    std::lock_guard<std::mutex> guard(impl_->mutex);
    return index < impl_->connections.size() ? impl_->connections[index]->received : std::string();
  }

  bool TestServer::waitForBytes(std::size_t index, std::size_t size, std::chrono::milliseconds timeout) const
  {
    return impl_->waitUntil(timeout, [&] {
      return index < impl_->connections.size() && impl_->connections[index]->received.size() >= size;
    });
  }

  bool TestServer::waitForText(std::size_t index, const std::string& text, std::chrono::milliseconds timeout) const
  {
    return impl_->waitUntil(timeout, [&] {
      return index < impl_->connections.size() &&
             impl_->connections[index]->received.find(text) != std::string::npos;
    });
  }

  bool TestServer::peerClosed(std::size_t index) const
  {
    std::lock_guard<std::mutex> guard(impl_->mutex);
    return index < impl_->connections.size() && impl_->connections[index]->peerClosed;
  }

  bool TestServer::waitForPeerClosed(std::size_t index, std::chrono::milliseconds timeout) const
  {
    return impl_->waitUntil(timeout, [&] {
      return index < impl_->connections.size() && impl_->connections[index]->peerClosed;
    });
  }

  void TestServer::sendRaw(std::size_t index, const std::string& bytes)
  {
    auto connection = impl_->find(index);
    if (!connection)
    {
      std::cerr << "TestServer::sendRaw: no connection " << index << std::endl;
      return;
    }
    {
      std::lock_guard<std::mutex> guard(impl_->mutex);
      connection->queued += bytes.size();
    }
    asio::post(impl_->io, [impl = impl_.get(), connection, bytes] {
      connection->outbox.push_back(bytes);
      impl->writeNext(connection);
    });
  }

  void TestServer::sendLine(std::size_t index, const std::string& line)
  {
    sendRaw(index, line + "\n");
  }

  bool TestServer::waitForSent(std::size_t index, std::chrono::milliseconds timeout) const
  {
    return impl_->waitUntil(timeout, [&] {
      return index < impl_->connections.size() &&
             impl_->connections[index]->sent >= impl_->connections[index]->queued;
    });
  }

  void TestServer::close(std::size_t index)
  {
    auto connection = impl_->find(index);
    if (!connection)
    {
      std::cerr << "TestServer::close: no connection " << index << std::endl;
      return;
    }
    asio::post(impl_->io, [impl = impl_.get(), connection] {
      connection->closeWhenSent = true;
      impl->writeNext(connection);
    });
  }

  void TestServer::resumeReading()
  {
    asio::post(impl_->io, [impl = impl_.get()] {
      impl->reading = true;
      std::vector<std::shared_ptr<Connection>> all;
      {
        std::lock_guard<std::mutex> guard(impl->mutex);
        all = impl->connections;
      }
      for (const auto& connection : all)
        if (!connection->reading)
          impl->read(connection);
    });
  }

  void TestServer::stop()
  {
    {
      std::lock_guard<std::mutex> guard(impl_->mutex);
      if (impl_->stopped)
        return;
      impl_->stopped = true;
    }
    asio::post(impl_->io, [impl = impl_.get()] {
      boost::system::error_code ignored;
      impl->acceptor.close(ignored);
      std::vector<std::shared_ptr<Connection>> all;
      {
        std::lock_guard<std::mutex> guard(impl->mutex);
        all = impl->connections;
      }
      for (const auto& connection : all)
        Impl::closeNow(*connection);
    });
    impl_->thread.join();
  }
}
