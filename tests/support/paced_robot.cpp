// PacedRobot: a blocking reader thread on one accepted connection.
#include "support/paced_robot.h"

#include <atomic>
#include <mutex>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

namespace asio = boost::asio;
using asio::ip::tcp;

namespace notara::test
{
  struct PacedRobot::Impl
  {
    Impl(std::chrono::microseconds perStatement, std::chrono::milliseconds stall, std::string prefix,
         int receiveBuffer)
        : perStatement(perStatement), stall(stall), prefix(std::move(prefix))
    {
      listener.open(tcp::v4());
      // Accepted connections inherit it.
      listener.set_option(asio::socket_base::receive_buffer_size(receiveBuffer));
      listener.bind({asio::ip::make_address("127.0.0.1"), 0});
      listener.listen(1);
      thread = std::thread([this] { run(); });
    }

    void run()
    {
      boost::system::error_code error;
      tcp::socket connection(io);
      listener.accept(connection, error);
      {
        std::lock_guard<std::mutex> guard(mutex);
        if (error || stop)
          return;
        reading = &connection;
      }
      std::string statement;
      bool stalled = false;
      char byte = 0;
      // A byte at a time, so that the robot's pace is its reading's.
      while (!stop && connection.read_some(asio::buffer(&byte, 1), error) == 1 && !error)
      {
        // A statement ends at ',' or ';' (a line end ends an upload's last
        // one); the blanks between statements are not kept.
        if (statement.empty() && (byte == ' ' || byte == '\n' || byte == '\r' || byte == '\t'))
          continue;
        if (byte != '\n')
          statement += byte;
        if (byte != ',' && byte != ';' && byte != '\n')
          continue;
        if (statement.empty())
          continue;
        const bool paced = statement.compare(0, prefix.size(), prefix) == 0;
        {
          std::lock_guard<std::mutex> guard(mutex);
          read.emplace_back(Clock::now(), std::move(statement));
        }
        statement.clear();
        if (!paced)
          continue;
        if (!stalled && stall.count() > 0)
        {
          stalled = true;
          std::this_thread::sleep_for(stall);
        }
        if (perStatement.count() > 0)
          std::this_thread::sleep_for(perStatement);
      }
      std::lock_guard<std::mutex> guard(mutex);
      reading = nullptr;
    }

    const std::chrono::microseconds perStatement;
    const std::chrono::milliseconds stall;
    const std::string prefix;
    asio::io_context io;
    tcp::acceptor listener{io};
    std::atomic<bool> stop{false};
    mutable std::mutex mutex;
    tcp::socket* reading = nullptr;   // the connection being read, under mutex
    std::vector<std::pair<Clock::time_point, std::string>> read;
    std::thread thread;
  };

  PacedRobot::PacedRobot(std::chrono::microseconds perStatement, std::chrono::milliseconds stallAfterFirst,
                         std::string pacedPrefix, int receiveBuffer)
      : impl_(std::make_unique<Impl>(perStatement, stallAfterFirst, std::move(pacedPrefix), receiveBuffer))
  {
  }

  PacedRobot::~PacedRobot()
  {
    boost::system::error_code ignored;
    {
      std::lock_guard<std::mutex> guard(impl_->mutex);
      impl_->stop = true;
      // A read in progress ends: the connection's reading side is shut.
      if (impl_->reading != nullptr)
        impl_->reading->shutdown(tcp::socket::shutdown_both, ignored);
    }
    // An accept still waiting returns with a connection of our own.
    tcp::socket wake(impl_->io);
    wake.connect(impl_->listener.local_endpoint(), ignored);
    impl_->thread.join();
  }

  unsigned PacedRobot::port() const
  {
    return impl_->listener.local_endpoint().port();
  }

  std::vector<std::pair<PacedRobot::Clock::time_point, std::string>> PacedRobot::statements() const
  {
    std::lock_guard<std::mutex> guard(impl_->mutex);
    return impl_->read;
  }
}
