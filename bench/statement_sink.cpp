// StatementSink: Asio accepts the connections; each connection is then read
// on a thread of its own with blocking reads.
#include "statement_sink.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <iostream>
#include <iterator>
#include <mutex>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

namespace asio = boost::asio;
using asio::ip::tcp;

namespace notara::bench
{
  namespace
  {
    // Longer statements are kept cut short: only the sequence check reads
    // them, and no text of notara is this long.
    constexpr std::size_t kStatementBytes = 512;
    constexpr std::size_t kReadBytes = 65536;

    template <class Predicate>
    bool pollUntil(std::chrono::milliseconds timeout, Predicate predicate)
    {
      // The waits run beside the measurements: a millisecond's nap keeps
      // them off the two cores the measured threads need.
      const auto end = std::chrono::steady_clock::now() + timeout;
      while (!predicate())
      {
        if (std::chrono::steady_clock::now() >= end)
          return predicate();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      return true;
    }
  }

  struct StatementSink::Connection
  {
    // One numbered sequence of statements.
    struct Stream
    {
      // Written by the reader only; times[i] is published by the release
      // store of `count` that follows it.
      std::vector<std::int64_t> times;
      std::atomic<std::size_t> count{0};
    };

    Connection(asio::io_context& io, std::size_t capacity, std::size_t streamCount)
        : socket(io), streams(streamCount)
    {
      for (Stream& stream : streams)
        stream.times.resize(capacity);
    }

    tcp::socket socket;
    std::thread reader;
    std::vector<Stream> streams;
    // Every statement, of whatever stream; stored after the stream's count.
    std::atomic<std::size_t> count{0};
    std::atomic<std::size_t> misfits{0};
    std::atomic<bool> prefixDone{false};
    std::atomic<bool> prefixMismatch{false};
    std::atomic<bool> closed{false};

    std::mutex misfitMutex;  // guards firstMisfit
    std::string firstMisfit;

    // Reader state.
    std::size_t prefixSeen = 0;
    int depth = 0;
    char statement[kStatementBytes];
    std::size_t statementSize = 0;
  };

  struct StatementSink::Impl
  {
    Impl(std::size_t connections, std::string upload, std::size_t capacity, std::size_t streams)
        : expected(connections), prefix(std::move(upload)), capacity(capacity), streams(streams)
    {
    }

    std::size_t expected;
    std::string prefix;
    std::size_t capacity;
    std::size_t streams;
    asio::io_context io;
    tcp::acceptor acceptor{io};
    std::vector<std::unique_ptr<Connection>> connections;

    void read(Connection& c);
    void consume(Connection& c, const char* data, std::size_t size, std::int64_t stamp);
    void finish(Connection& c, std::int64_t stamp);
  };

  std::int64_t StatementSink::now()
  {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }

  namespace
  {
    // The four numbers of "...(k,s,data1,data2)"; false for other text.
    bool fieldsOf(const char* text, std::size_t size, long (&fields)[4])
    {
      const char* open = static_cast<const char*>(std::memchr(text, '(', size));
      if (open == nullptr)
        return false;
      std::fill(std::begin(fields), std::end(fields), -1);
      std::size_t field = 0;
      long value = -1;
      for (const char* p = open + 1; p < text + size; ++p)
      {
        if (*p >= '0' && *p <= '9')
          value = (value < 0 ? 0 : value * 10) + (*p - '0');
        else if ((*p == ',' || *p == ')') && value >= 0 && field < 4)
        {
          fields[field++] = value;
          value = -1;
          if (*p == ')')
            break;
        }
        else
          return false;
      }
      return field == 4 && fields[2] <= 127 && fields[3] <= 127;
    }
  }

  long StatementSink::sequenceOf(const char* text, std::size_t size)
  {
    long fields[4];
    return fieldsOf(text, size, fields) ? fields[2] + 128 * fields[3] : -1;
  }

  long StatementSink::slotOf(const char* text, std::size_t size)
  {
    long fields[4];
    return fieldsOf(text, size, fields) ? fields[1] : -1;
  }

  void StatementSink::Impl::read(Connection& c)
  {
    // The thread's entry point: nothing may leave it.
    try
    {
      std::vector<char> buffer(kReadBytes);
      for (;;)
      {
        boost::system::error_code error;
        const std::size_t size = c.socket.read_some(asio::buffer(buffer), error);
        const std::int64_t stamp = now();
        if (size > 0)
          consume(c, buffer.data(), size, stamp);
        if (error)
          break;
      }
    }
    catch (const std::exception& e)
    {
      std::cerr << "StatementSink::read: " << e.what() << std::endl;
    }
    c.closed = true;
  }

  void StatementSink::Impl::consume(Connection& c, const char* data, std::size_t size, std::int64_t stamp)
  {
    std::size_t at = 0;
    if (!c.prefixDone.load(std::memory_order_relaxed))
    {
      const std::size_t take = std::min(size, prefix.size() - c.prefixSeen);
      if (std::memcmp(data, prefix.data() + c.prefixSeen, take) != 0)
        c.prefixMismatch = true;
      c.prefixSeen += take;
      at = take;
      if (c.prefixSeen == prefix.size())
        c.prefixDone = true;
    }
    for (; at < size; ++at)
    {
      const char ch = data[at];
      if (c.statementSize < kStatementBytes)
        c.statement[c.statementSize++] = ch;
      if (ch == '(')
        ++c.depth;
      else if (ch == ')' && c.depth > 0)
        --c.depth;
      else if (ch == ',' && c.depth == 0)
        finish(c, stamp);
    }
  }

  void StatementSink::Impl::finish(Connection& c, std::int64_t stamp)
  {
    const std::size_t total = c.count.load(std::memory_order_relaxed);
    long fields[4];
    const bool numbered = fieldsOf(c.statement, c.statementSize, fields);
    // One stream takes every statement, whatever its slot.
    const long slot = c.streams.size() == 1 ? 0 : (numbered ? fields[1] : -1);
    Connection::Stream* stream =
        slot >= 0 && static_cast<std::size_t>(slot) < c.streams.size() ? &c.streams[static_cast<std::size_t>(slot)]
                                                                        : nullptr;
    const std::size_t index = stream ? stream->count.load(std::memory_order_relaxed) : 0;
    if (!stream || !numbered ||
        static_cast<std::size_t>(fields[2] + 128 * fields[3]) != index % sequenceModulus)
    {
      if (c.misfits.fetch_add(1, std::memory_order_relaxed) == 0)
      {
        std::lock_guard<std::mutex> guard(c.misfitMutex);
        c.firstMisfit = "statement " + std::to_string(total) +
                        (stream && c.streams.size() > 1 ? " (" + std::to_string(index) + " of stream " +
                                                              std::to_string(slot) + ")"
                                                        : std::string()) +
                        ": " + std::string(c.statement, c.statementSize);
      }
    }
    if (stream)
    {
      if (index < stream->times.size())
        stream->times[index] = stamp;
      stream->count.store(index + 1, std::memory_order_release);
    }
    c.count.store(total + 1, std::memory_order_release);
    c.statementSize = 0;
  }

  StatementSink::StatementSink(std::size_t connections, std::string prefix, std::size_t capacity,
                               std::size_t streams)
      : impl_(std::make_unique<Impl>(connections, std::move(prefix), capacity, std::max<std::size_t>(1, streams)))
  {
    const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), 0);
    impl_->acceptor.open(endpoint.protocol());
    impl_->acceptor.set_option(tcp::acceptor::reuse_address(true));
    impl_->acceptor.bind(endpoint);
    impl_->acceptor.listen();
    for (std::size_t i = 0; i < connections; ++i)
      impl_->connections.push_back(std::make_unique<Connection>(impl_->io, capacity, impl_->streams));
    if (impl_->prefix.empty())
      for (auto& c : impl_->connections)
        c->prefixDone = true;
  }

  StatementSink::~StatementSink()
  {
    for (auto& c : impl_->connections)
    {
      if (!c->reader.joinable())
        continue;
      // Wakes the reader's blocking read if the peer is still there.
      boost::system::error_code ignored;
      c->socket.shutdown(tcp::socket::shutdown_both, ignored);
      c->reader.join();
    }
  }

  unsigned StatementSink::port() const
  {
    return impl_->acceptor.local_endpoint().port();
  }

  bool StatementSink::acceptAll(std::chrono::milliseconds timeout)
  {
    std::size_t accepted = 0;
    for (auto& c : impl_->connections)
      if (c->reader.joinable())
        ++accepted;
    std::function<void()> next;
    next = [&] {
      if (accepted == impl_->connections.size())
        return;
      Connection& c = *impl_->connections[accepted];
      impl_->acceptor.async_accept(c.socket, [&](const boost::system::error_code& error) {
        if (error)
          return;
        // Statements are a few dozen bytes: take each as it comes.
        c.socket.set_option(tcp::no_delay(true));
        c.reader = std::thread([this, &c] { impl_->read(c); });
        ++accepted;
        next();
      });
    };
    next();
    impl_->io.run_for(timeout);
    if (accepted < impl_->connections.size())
    {
      // Cancel the pending accept so that no handler outlives this call.
      impl_->acceptor.cancel();
      impl_->io.restart();
      impl_->io.run();
    }
    impl_->io.restart();
    return accepted == impl_->connections.size();
  }

  bool StatementSink::prefixDone(std::size_t c) const
  {
    return impl_->connections.at(c)->prefixDone.load();
  }

  bool StatementSink::waitForPrefixes(std::chrono::milliseconds timeout) const
  {
    return pollUntil(timeout, [this] {
      for (std::size_t c = 0; c < impl_->connections.size(); ++c)
        if (!prefixDone(c))
          return false;
      return true;
    });
  }

  bool StatementSink::prefixMismatch() const
  {
    for (const auto& c : impl_->connections)
      if (c->prefixMismatch.load())
        return true;
    return false;
  }

  std::size_t StatementSink::statements(std::size_t c) const
  {
    return impl_->connections.at(c)->count.load(std::memory_order_acquire);
  }

  bool StatementSink::waitForStatements(std::size_t c, std::size_t count, std::chrono::milliseconds timeout) const
  {
    return pollUntil(timeout, [&] { return statements(c) >= count; });
  }

  bool StatementSink::waitForAll(std::size_t count, std::chrono::milliseconds timeout) const
  {
    return pollUntil(timeout, [&] {
      for (std::size_t c = 0; c < impl_->connections.size(); ++c)
        if (statements(c) < count)
          return false;
      return true;
    });
  }

  std::int64_t StatementSink::arrival(std::size_t c, std::size_t i) const
  {
    return impl_->connections.at(c)->streams.front().times.at(i);
  }

  std::size_t StatementSink::streams() const
  {
    return impl_->streams;
  }

  std::size_t StatementSink::statements(std::size_t c, std::size_t s) const
  {
    return impl_->connections.at(c)->streams.at(s).count.load(std::memory_order_acquire);
  }

  std::int64_t StatementSink::arrival(std::size_t c, std::size_t s, std::size_t i) const
  {
    return impl_->connections.at(c)->streams.at(s).times.at(i);
  }

  std::size_t StatementSink::misfits(std::size_t c) const
  {
    return impl_->connections.at(c)->misfits.load();
  }

  std::string StatementSink::firstMisfit(std::size_t c) const
  {
    Connection& connection = *impl_->connections.at(c);
    std::lock_guard<std::mutex> guard(connection.misfitMutex);
    return connection.firstMisfit;
  }

  bool StatementSink::peerClosed(std::size_t c) const
  {
    return impl_->connections.at(c)->closed.load();
  }
}
