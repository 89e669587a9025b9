// VSyncClient: one TCP connection, an I/O thread running the connection's
// own io_context (reads, queue draining, background connections), and a
// mutex-guarded non-blocking write path with a bounded queue.
#include <array>
#include <atomic>
#include <chrono>
#include <deque>
#include <iostream>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include "json_decoder.h"
#include "line_reader.h"
#include "vaxo/client.h"
#include "vaxo/printable.h"

namespace asio = boost::asio;
using asio::ip::tcp;

namespace
{
  // Bytes of a malformed line quoted in its report.
  constexpr std::size_t kQuotedBytes = 80;

  bool wouldBlock(const boost::system::error_code& error)
  {
    return error == asio::error::would_block || error == asio::error::try_again;
  }
}

struct VSyncClient::Impl : vaxo::detail::LineReader::Sink
{
  enum class State
  {
    Down,        // no connection
    Connecting,  // a background attempt is under way
    Opening,     // connected; the link handler makes its first sends
    Open,        // connected and taking every thread's sends
    Broken       // a send failed; the I/O thread has yet to close the socket
  };

  Impl(VSyncClient& owner, std::string host, unsigned port, unsigned bufferSize, bool trace,
       std::size_t limit, int timeout, VLinkHandler handler)
      : client(owner),
        host(std::move(host)),
        port(port),
        connectTimeout(timeout),
        queueLimit(limit),
        linkHandler(std::move(handler)),
        readBuffer(bufferSize > 0 ? bufferSize : 128000),
        traceWire(trace)
  {
  }

  VSyncClient& client;
  const std::string host;
  const unsigned port;
  const int connectTimeout;
  const std::size_t queueLimit;
  // Empty for a client connected by its constructor.
  const VLinkHandler linkHandler;

  asio::io_context io;
  asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
  tcp::socket socket{io};
  tcp::resolver resolver{io};
  asio::steady_timer timer{io};
  std::thread thread;

  // I/O thread only.
  std::vector<char> readBuffer;
  bool traceWire;
  vaxo::detail::LineReader lines;
  VMessage incoming;  // reused for every line, so decoding reuses its storage
  bool readWanted = false;
  bool attemptDone = false;
  bool timedOut = false;

  // Guards everything below, a sender's write and every close of the
  // socket, so a write never runs on a descriptor that is being closed.
  // Held across a sender's non-blocking write only; the I/O thread drains
  // without it (see drain).
  mutable std::mutex mutex;
  State state = State::Down;
  unsigned generation = 0;  // counts connections; work for an older one is dropped
  std::thread::id ioThread;
  VSocketDescriptor descriptor = static_cast<VSocketDescriptor>(-1);
  // Texts not yet written; the front one may be partly written.
  std::deque<std::string> queue;
  std::size_t frontWritten = 0;
  std::size_t queueBytes = 0;

  std::atomic<std::uint64_t> droppedFull{0};
  std::atomic<std::uint64_t> droppedDown{0};
  // queueBytes - frontWritten, stored after every change under `mutex`, so
  // that queuedBytes() takes no lock a sender takes.
  std::atomic<std::size_t> queuedNow{0};
  void publishQueued() { queuedNow.store(queueBytes - frontWritten, std::memory_order_relaxed); }
  // Set by the destructor: the close that follows is ours, not the server's.
  std::atomic<bool> closing{false};

  void startThread();
  bool connectNow();
  void beginAttempt(std::chrono::milliseconds delay);
  void attempt(const tcp::resolver::results_type& endpoints);
  void failAttempt(const std::string& detail);
  void opened();
  void readMore(unsigned gen);
  void onRead(unsigned gen, const boost::system::error_code& error, std::size_t size);
  void lose(unsigned gen, const std::string& detail);
  void closeLocked();
  void drain(unsigned gen);
  int send(const void* data, std::size_t size, bool whole);
  void notify(VLinkEvent event, const std::string& detail);
  void report(std::string text);

  std::string where() const { return host + ":" + std::to_string(port); }

  void onLine(std::string_view line) override;
  void onTooLong() override;
};

void VSyncClient::Impl::startThread()
{
  thread = std::thread([this] {
    {
      std::lock_guard<std::mutex> guard(mutex);
      ioThread = std::this_thread::get_id();
    }
    // Nothing may leave the thread: report what escaped and end.
    try
    {
      io.run();
    }
    catch (const std::exception& e)
    {
      std::cerr << "VSyncClient::run: " << e.what() << std::endl;
      std::lock_guard<std::mutex> guard(mutex);
      closeLocked();
    }
    catch (...)
    {
      std::cerr << "VSyncClient::run: unknown exception" << std::endl;
      std::lock_guard<std::mutex> guard(mutex);
      closeLocked();
    }
  });
}

bool VSyncClient::Impl::connectNow()
{
  boost::system::error_code error;
  const auto endpoints = resolver.resolve(host, std::to_string(port), error);
  if (error)
  {
    std::cerr << "VSyncClient::VSyncClient: can't resolve " << where() << ": " << error.message() << std::endl;
    return false;
  }

  bool done = false;
  asio::async_connect(socket, endpoints, [&](const boost::system::error_code& e, const tcp::endpoint&) {
    error = e;
    done = true;
  });
  // The work guard keeps run_one waiting: it returns with a handler run or,
  // with a deadline, at the deadline.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(connectTimeout);
  while (!done)
  {
    if (connectTimeout > 0 ? io.run_one_until(deadline) == 0 : io.run_one() == 0)
      break;
  }
  if (!done)
  {
    // Time is up: closing cancels the attempt, whose handler then runs.
    boost::system::error_code ignored;
    socket.close(ignored);
    io.restart();
    while (!done && io.run_one() > 0)
    {
    }
    error = asio::error::timed_out;
  }
  io.restart();
  if (!error)
    socket.non_blocking(true, error);
  if (error)
  {
    boost::system::error_code ignored;
    socket.close(ignored);
    std::cerr << "VSyncClient::VSyncClient: can't connect to " << where() << ": " << error.message() << std::endl;
    return false;
  }
  std::lock_guard<std::mutex> guard(mutex);
  state = State::Open;
  ++generation;
  descriptor = static_cast<VSocketDescriptor>(socket.native_handle());
  return true;
}

void VSyncClient::Impl::beginAttempt(std::chrono::milliseconds delay)
{
  {
    std::lock_guard<std::mutex> guard(mutex);
    if (state != State::Down || closing)
      return;
    state = State::Connecting;
  }
  timer.expires_after(delay);
  timer.async_wait([this](const boost::system::error_code& error) {
    if (error || closing)
      return;
    resolver.async_resolve(host, std::to_string(port),
                           [this](const boost::system::error_code& e, const tcp::resolver::results_type& endpoints) {
                             if (closing)
                               return;
                             if (e)
                               failAttempt("can't resolve " + where() + ": " + e.message());
                             else
                               attempt(endpoints);
                           });
  });
}

void VSyncClient::Impl::attempt(const tcp::resolver::results_type& endpoints)
{
  attemptDone = false;
  timedOut = false;
  if (connectTimeout > 0)
  {
    timer.expires_after(std::chrono::seconds(connectTimeout));
    timer.async_wait([this](const boost::system::error_code& error) {
      if (error || attemptDone)
        return;
      // Closing cancels the attempt, whose handler then runs.
      timedOut = true;
      boost::system::error_code ignored;
      socket.close(ignored);
    });
  }
  asio::async_connect(socket, endpoints, [this](boost::system::error_code error, const tcp::endpoint&) {
    attemptDone = true;
    timer.cancel();
    if (closing)
      return;
    if (timedOut)
      error = asio::error::timed_out;
    if (!error)
      socket.non_blocking(true, error);
    if (error)
    {
      boost::system::error_code ignored;
      socket.close(ignored);
      failAttempt("can't connect to " + where() + ": " + error.message());
      return;
    }
    opened();
  });
}

void VSyncClient::Impl::failAttempt(const std::string& detail)
{
  {
    std::lock_guard<std::mutex> guard(mutex);
    state = State::Down;
  }
  notify(VLinkEvent::ConnectFailed, detail);
}

void VSyncClient::Impl::opened()
{
  unsigned gen = 0;
  {
    std::lock_guard<std::mutex> guard(mutex);
    state = State::Opening;
    gen = ++generation;
    descriptor = static_cast<VSocketDescriptor>(socket.native_handle());
  }
  lines = vaxo::detail::LineReader();
  // The handler's sends (the uploads) are the connection's first bytes:
  // other threads' sends are dropped until it returns.
  notify(VLinkEvent::Connected, std::string());
  {
    std::lock_guard<std::mutex> guard(mutex);
    if (gen != generation || state != State::Opening)
      return;   // a send of the handler failed; its loss is on its way
    state = State::Open;
  }
  readMore(gen);
}

void VSyncClient::Impl::readMore(unsigned gen)
{
  socket.async_read_some(asio::buffer(readBuffer), [this, gen](const boost::system::error_code& error,
                                                               std::size_t size) { onRead(gen, error, size); });
}

void VSyncClient::Impl::onRead(unsigned gen, const boost::system::error_code& error, std::size_t size)
{
  {
    std::lock_guard<std::mutex> guard(mutex);
    if (gen != generation || state == State::Down)
      return;   // our own close of that connection
  }
  if (size > 0)
    lines.feed(readBuffer.data(), size, *this);
  if (!error)
  {
    readMore(gen);
    return;
  }
  if (closing)
    return;
  if (!lines.pending().empty())
  {
    // The server went away in the middle of a line: what came is cut short
    // and can't be trusted, even if it happens to parse.
    report("malformed message: " + std::string(lines.pending().substr(0, kQuotedBytes)));
  }
  lose(gen, error == asio::error::eof ? std::string("connection closed") : error.message());
}

void VSyncClient::Impl::lose(unsigned gen, const std::string& detail)
{
  {
    std::lock_guard<std::mutex> guard(mutex);
    if (gen != generation || state == State::Down || state == State::Connecting)
      return;
    closeLocked();
  }
  if (closing)
    return;
  if (linkHandler)
    notify(VLinkEvent::Lost, detail);
  else
    report("connection closed");
}

void VSyncClient::Impl::closeLocked()
{
  state = State::Down;
  descriptor = static_cast<VSocketDescriptor>(-1);
  // Never replayed on a later connection: the texts would be stale there.
  droppedDown.fetch_add(queue.size(), std::memory_order_relaxed);
  queue.clear();
  frontWritten = 0;
  queueBytes = 0;
  publishQueued();
  if (socket.is_open())
  {
    boost::system::error_code ignored;
    socket.shutdown(tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
  }
}

void VSyncClient::Impl::drain(unsigned gen)
{
  boost::system::error_code error;
  for (;;)
  {
    // Up to this many queued texts go out in one write.
    std::array<asio::const_buffer, 64> buffers;
    std::size_t count = 0;
    {
      std::lock_guard<std::mutex> guard(mutex);
      if (gen != generation || (state != State::Open && state != State::Opening) || queue.empty())
        return;
      auto text = queue.begin();
      buffers[count++] = asio::buffer(text->data() + frontWritten, text->size() - frontWritten);
      for (++text; text != queue.end() && count < buffers.size(); ++text)
        buffers[count++] = asio::buffer(text->data(), text->size());
    }
    // Written without the lock, so that a sender waits for no write: while
    // the queue holds texts no other thread writes to the socket, only this
    // thread closes it, and appending leaves the queued texts where they are.
    std::size_t written =
        socket.write_some(std::vector<asio::const_buffer>(buffers.begin(), buffers.begin() + count), error);
    if (wouldBlock(error))
      written = 0;
    std::lock_guard<std::mutex> guard(mutex);
    if (gen != generation || (state != State::Open && state != State::Opening))
      return;
    while (written > 0)
    {
      const std::size_t rest = queue.front().size() - frontWritten;
      if (written < rest)
      {
        frontWritten += written;
        break;
      }
      written -= rest;
      queueBytes -= queue.front().size();
      queue.pop_front();
      frontWritten = 0;
    }
    publishQueued();
    if (wouldBlock(error))
    {
      // Started on this thread right after the write that would block, so
      // the reactor can't miss the socket becoming writable again.
      socket.async_wait(tcp::socket::wait_write, [this, gen](const boost::system::error_code& e) {
        if (e != asio::error::operation_aborted)
          drain(gen);
      });
      return;
    }
    if (error)
      break;
  }
  lose(gen, "send failed: " + error.message());
}

int VSyncClient::Impl::send(const void* data, std::size_t size, bool whole)
{
  std::lock_guard<std::mutex> guard(mutex);
  if (state != State::Open && !(state == State::Opening && std::this_thread::get_id() == ioThread))
  {
    droppedDown.fetch_add(1, std::memory_order_relaxed);
    return -1;
  }
  const char* bytes = static_cast<const char*>(data);
  if (!queue.empty())
  {
    // The queue drains in order, so a text must wait behind it.
    if (!whole && queueBytes + size > queueLimit)
    {
      droppedFull.fetch_add(1, std::memory_order_relaxed);
      return V_SEND_QUEUE_FULL;
    }
    queue.emplace_back(bytes, size);
    queueBytes += size;
    publishQueued();
    return 0;
  }
  if (size == 0)
    return 0;

  // Non-blocking: the socket takes what fits and the rest waits in the
  // queue. Asio sends with MSG_NOSIGNAL (SO_NOSIGPIPE where that is the
  // way), so a peer that is gone gives an error, not SIGPIPE.
  boost::system::error_code error;
  std::size_t written = socket.write_some(asio::buffer(bytes, size), error);
  if (wouldBlock(error))
  {
    written = 0;
    error.clear();
  }
  if (error)
  {
    droppedDown.fetch_add(1, std::memory_order_relaxed);
    state = State::Broken;
    // A background client closes and reports on its I/O thread; one
    // connected by its constructor leaves that to its reader, as before.
    if (linkHandler)
      asio::post(io, [this, gen = generation, detail = "send failed: " + error.message()] { lose(gen, detail); });
    return -1;
  }
  if (written == size)
    return 0;
  // The rest of a text already begun goes out whatever the bound: never
  // half a statement.
  queue.emplace_back(bytes + written, size - written);
  queueBytes += size - written;
  publishQueued();
  asio::post(io, [this, gen = generation] { drain(gen); });
  return 0;
}

void VSyncClient::Impl::notify(VLinkEvent event, const std::string& detail)
{
  if (!linkHandler)
    return;
  // Nothing may leave the I/O thread through the handler.
  try
  {
    linkHandler(event, detail);
  }
  catch (const std::exception& e)
  {
    std::cerr << "VSyncClient::notify: link handler threw: " << e.what() << std::endl;
  }
  catch (...)
  {
    std::cerr << "VSyncClient::notify: link handler threw an unknown exception" << std::endl;
  }
}

void VSyncClient::Impl::report(std::string text)
{
  VMessage msg;
  msg.client = &client;
  msg.type = VMessageType::Error;
  msg.message = std::move(text);
  client.deliver(msg);
}

void VSyncClient::Impl::onLine(std::string_view line)
{
  if (traceWire)
    std::cerr << "VSyncClient: received " << vaxo::printable(line) << std::endl;
  incoming.client = &client;
  bool decoded = false;
  try
  {
    decoded = vaxo::detail::JsonDecoder::decode(line, incoming);
  }
  catch (const std::exception& e)
  {
    // Out of memory while building the value: this line is lost, the
    // connection is not.
    report("VSyncClient::onLine: can't decode a line of " + std::to_string(line.size()) + " bytes: " + e.what());
    return;
  }
  if (decoded)
    client.deliver(incoming);
  else
    report("malformed message: " + std::string(line.substr(0, kQuotedBytes)));
}

void VSyncClient::Impl::onTooLong()
{
  report("message too long");
}

VSyncClient::VSyncClient(const std::string& host, unsigned port, unsigned readBufferSize, bool traceWire,
                         bool startReader, int connectTimeout)
    : impl_(std::make_unique<Impl>(*this, host, port, readBufferSize, traceWire, defaultQueueLimit, connectTimeout,
                                   VLinkHandler()))
{
  impl_->connectNow();
  impl_->startThread();
  if (startReader)
    start();
}

VSyncClient::VSyncClient(const std::string& host, unsigned port, VLinkHandler handler, std::size_t queueLimit,
                         int connectTimeout)
    : impl_(std::make_unique<Impl>(*this, host, port, 128000, false, queueLimit, connectTimeout, std::move(handler)))
{
  impl_->readWanted = true;
  impl_->startThread();
}

VSyncClient::VSyncClient(Unconnected)
    : impl_(std::make_unique<Impl>(*this, std::string(), 0, 1, false, defaultQueueLimit, 0, VLinkHandler()))
{
}

VSyncClient::~VSyncClient()
{
  impl_->closing = true;
  if (impl_->thread.joinable())
  {
    // Closing on the I/O thread cancels its pending work; stopping ends
    // the thread once the handler running now (if any) returns.
    asio::post(impl_->io, [impl = impl_.get()] {
      {
        std::lock_guard<std::mutex> guard(impl->mutex);
        impl->closeLocked();
      }
      impl->timer.cancel();
      impl->resolver.cancel();
      impl->io.stop();
    });
    impl_->thread.join();
  }
  std::lock_guard<std::mutex> guard(impl_->mutex);
  impl_->closeLocked();
}

void VSyncClient::start()
{
  asio::post(impl_->io, [impl = impl_.get()] {
    unsigned gen = 0;
    {
      std::lock_guard<std::mutex> guard(impl->mutex);
      if (impl->readWanted || impl->state != Impl::State::Open)
        return;
      impl->readWanted = true;
      gen = impl->generation;
    }
    impl->readMore(gen);
  });
}

void VSyncClient::connect(std::chrono::milliseconds delay)
{
  if (!impl_->linkHandler)
    return;
  asio::post(impl_->io, [impl = impl_.get(), delay] { impl->beginAttempt(delay); });
}

bool VSyncClient::isConnected() const
{
  std::lock_guard<std::mutex> guard(impl_->mutex);
  return impl_->state == Impl::State::Open;
}

std::uint64_t VSyncClient::textsDroppedQueueFull() const
{
  return impl_->droppedFull.load(std::memory_order_relaxed);
}

std::uint64_t VSyncClient::textsDroppedDisconnected() const
{
  return impl_->droppedDown.load(std::memory_order_relaxed);
}

std::size_t VSyncClient::queuedBytes() const
{
  return impl_->queuedNow.load(std::memory_order_relaxed);
}

int VSyncClient::rawSend(const void* data, std::size_t size)
{
  return impl_->send(data, size, false);
}

int VSyncClient::rawSendWhole(const void* data, std::size_t size)
{
  return impl_->send(data, size, true);
}

VSocketDescriptor VSyncClient::socketDescriptor() const
{
  std::lock_guard<std::mutex> guard(impl_->mutex);
  return impl_->descriptor;
}
