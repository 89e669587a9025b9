// VSyncClient: one TCP connection, an I/O thread running the connection's
// own io_context (reads, queue draining, background connections), and a
// mutex-guarded non-blocking write path with a bounded queue whose texts
// age and whose assignments are replaced by later ones (SendQueue).
#include <array>
#include <atomic>
#include <chrono>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
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
#include "send_queue.h"
#include "vaxo/line_writer.h"
#include "vaxo/client.h"
#include "vaxo/printable.h"

namespace asio = boost::asio;
using asio::ip::tcp;

namespace
{
  // Bytes of a malformed line quoted in its report.
  constexpr std::size_t kQuotedBytes = 80;
  // Queued bytes copied into one write at most.
  constexpr std::size_t kGatherBytes = 65536;
  // How long the I/O thread waits after a handler's failure before it runs
  // on, so that a failure that comes back at once doesn't spin.
  constexpr std::chrono::milliseconds kRetryPause{100};

  using Clock = std::chrono::steady_clock;

  bool wouldBlock(const boost::system::error_code& error)
  {
    return error == asio::error::would_block || error == asio::error::try_again;
  }
}

namespace
{
  // The thread's hold on its sends (VSyncClient::holdSends) and the clients
  // that hold texts for it. Weak: a client may be destroyed by another
  // thread while this one holds (a robot retired during a burst); the
  // flush then skips it.
  thread_local bool holdingSends = false;
  thread_local std::array<std::weak_ptr<VSyncClient::Impl>, 64> heldClients{};
  thread_local std::size_t heldCount = 0;
  // Set by stampSends: when the texts this thread sends were made.
  thread_local Clock::time_point stampedMade{};
}

struct VSyncClient::Impl : vaxo::detail::LineReader::Sink, std::enable_shared_from_this<VSyncClient::Impl>
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
       std::size_t limit, int timeout, VLinkHandler handler, VQueuePolicy policy)
      : client(owner),
        host(std::move(host)),
        port(port),
        connectTimeout(timeout),
        queueLimit(limit),
        linkHandler(std::move(handler)),
        readBuffer(bufferSize > 0 ? bufferSize : 128000),
        traceWire(trace),
        systemUnsentLimit(policy.systemUnsentLimit),
        queue(policy.maxAge, policy.latestValueWins)
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
  const int systemUnsentLimit;
  vaxo::detail::LineReader lines;
  VMessage incoming;  // reused for every line, so decoding reuses its storage
  bool readWanted = false;
  unsigned attempts = 0;   // counts attempts; a late handler of an older one is ignored
  bool attemptDone = false;
  bool timedOut = false;
  std::string gathered;    // the bytes of one write of queued texts

  // Guards everything below and every write to the socket and every close
  // of it, so that one thread at a time writes and a write never runs on a
  // descriptor that is being closed. Each write is non-blocking.
  mutable std::mutex mutex;
  State state = State::Down;
  unsigned generation = 0;  // counts connections; work for an older one is dropped
  std::thread::id ioThread;
  VSocketDescriptor descriptor = static_cast<VSocketDescriptor>(-1);
  // Texts not yet written; the front one may be partly written.
  vaxo::detail::SendQueue queue;
  // Texts of other threads sent while the link handler makes its first
  // sends on a new connection: they follow those sends.
  struct Held
  {
    std::string bytes;
    Clock::time_point made;
  };
  std::vector<Held> held;
  std::size_t heldBytes = 0;
  // Texts were queued by a thread that holds its sends (holdSends) and
  // nothing else will write them until it flushes.
  bool heldHere = false;

  std::atomic<std::uint64_t> droppedFull{0};
  std::atomic<std::uint64_t> droppedDown{0};
  std::atomic<std::uint64_t> droppedOld{0};
  std::atomic<std::uint64_t> replaced{0};
  VLatencyHistogram latency;
  // Set by the destructor: the close that follows is ours, not the server's.
  std::atomic<bool> closing{false};

  void startThread();
  bool connectNow();
  void beginAttempt(std::chrono::milliseconds delay);
  void attempt(const tcp::resolver::results_type& endpoints, Clock::time_point deadline);
  void failAttempt(const std::string& detail);
  void opened();
  void readMore(unsigned gen);
  void onRead(unsigned gen, const boost::system::error_code& error, std::size_t size);
  void lose(unsigned gen, const std::string& detail);
  // After `failure` escaped a handler: closes, and tells the link it lost
  // the connection (I/O thread, outside io.run).
  void recover(const std::string& failure);
  void closeLocked();
  void drain(unsigned gen);
  void dropOldLocked(Clock::time_point now);
  void writeQueuedLocked(boost::system::error_code& error);
  void flushHeld();
  int queueLocked(const char* bytes, std::size_t size, Clock::time_point made, bool whole);
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
    // Nothing may leave the thread, and only the destructor's stop ends
    // it: a client whose thread ended would never read or connect again.
    for (;;)
    {
      std::string failure;
      try
      {
        io.run();
        return;
      }
      catch (const std::exception& e)
      {
        failure = e.what();
      }
      catch (...)
      {
        failure = "unknown exception";
      }
      try
      {
        recover(failure);
      }
      catch (...)
      {
        // Out of memory for the report: the next round tries again.
      }
      if (closing)
        return;
      std::this_thread::sleep_for(kRetryPause);
    }
  });
}

void VSyncClient::Impl::recover(const std::string& failure)
{
  // The handler that failed may have left the connection or an attempt
  // half done: both are closed, and the handlers of the attempt still
  // pending are left behind, as for an attempt that timed out.
  {
    std::lock_guard<std::mutex> guard(mutex);
    closeLocked();
  }
  ++attempts;
  timer.cancel();
  resolver.cancel();
  if (closing)
    return;
  const std::string detail = "a handler failed: " + failure;
  vaxo::detail::writeLine("VSyncClient::run: " + detail + "; the connection is closed");
  // A background client's link connects again, as after any loss.
  if (linkHandler)
    notify(VLinkEvent::Lost, detail);
}

bool VSyncClient::Impl::connectNow()
{
  boost::system::error_code error;
  const auto endpoints = resolver.resolve(host, std::to_string(port), error);
  if (error)
  {
    vaxo::detail::writeLine(std::string("VSyncClient::VSyncClient: can't resolve ") + where() + ": " + error.message());
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
    vaxo::detail::writeLine(std::string("VSyncClient::VSyncClient: can't connect to ") + where() + ": " + error.message());
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
    const unsigned number = ++attempts;
    const auto deadline = Clock::now() + std::chrono::seconds(connectTimeout);
    // The connect time-out covers the resolution too: a resolver that
    // hangs fails the attempt at the deadline, and its late answer is
    // ignored (a resolution can't be interrupted, only left behind).
    if (connectTimeout > 0)
    {
      timer.expires_at(deadline);
      timer.async_wait([this, number](const boost::system::error_code& e) {
        if (e || closing || number != attempts)
          return;
        ++attempts;
        resolver.cancel();
        failAttempt("can't resolve " + where() + ": " + asio::error::make_error_code(asio::error::timed_out).message());
      });
    }
    resolver.async_resolve(host, std::to_string(port),
                           [this, number, deadline](const boost::system::error_code& e,
                                                    const tcp::resolver::results_type& endpoints) {
                             if (closing || number != attempts)
                               return;
                             timer.cancel();
                             if (e)
                               failAttempt("can't resolve " + where() + ": " + e.message());
                             else
                               attempt(endpoints, deadline);
                           });
  });
}

void VSyncClient::Impl::attempt(const tcp::resolver::results_type& endpoints, Clock::time_point deadline)
{
  attemptDone = false;
  timedOut = false;
  if (connectTimeout > 0)
  {
    timer.expires_at(deadline);
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
#if defined(TCP_NOTSENT_LOWAT)
  if (systemUnsentLimit > 0)
  {
    // A write then waits in the queue, where texts age and values are
    // replaced, instead of in the system's buffers, where they would not.
    ::setsockopt(socket.native_handle(), IPPROTO_TCP, TCP_NOTSENT_LOWAT, &systemUnsentLimit,
                 sizeof systemUnsentLimit);
  }
#endif
  // The handler's sends (the uploads) are the connection's first bytes:
  // other threads' sends are dropped until it returns.
  notify(VLinkEvent::Connected, std::string());
  {
    std::lock_guard<std::mutex> guard(mutex);
    if (gen != generation || state != State::Opening)
      return;   // a send of the handler failed; its loss is on its way
    state = State::Open;
    // What other threads sent meanwhile follows the handler's sends.
    std::vector<Held> waiting;
    waiting.swap(held);
    heldBytes = 0;
    for (const Held& text : waiting)
      queueLocked(text.bytes.data(), text.bytes.size(), text.made, false);
    if (!queue.empty())
      asio::post(io, [this, gen] { drain(gen); });
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
  droppedDown.fetch_add(queue.clear() + held.size(), std::memory_order_relaxed);
  held.clear();
  heldBytes = 0;
  heldHere = false;
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
  std::unique_lock<std::mutex> lock(mutex);
  for (;;)
  {
    if (gen != generation || (state != State::Open && state != State::Opening))
      return;
    dropOldLocked(Clock::now());
    if (queue.empty())
      return;
    writeQueuedLocked(error);
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
  lock.unlock();
  lose(gen, "send failed: " + error.message());
}

void VSyncClient::Impl::writeQueuedLocked(boost::system::error_code& error)
{
  // The queued texts go out in one write: short ones copied together up to
  // a bound (a copy costs less than a system call each), a long one at the
  // front as it is.
  std::array<asio::const_buffer, 256> buffers;
  const std::size_t count = queue.gather(buffers.data(), buffers.size(), [](const char* bytes, std::size_t size) {
    return asio::const_buffer(bytes, size);
  });
  std::size_t written = 0;
  if (count == 1 || buffers[0].size() >= kGatherBytes)
    written = socket.write_some(buffers[0], error);
  else
  {
    gathered.clear();
    for (std::size_t i = 0; i < count && gathered.size() + buffers[i].size() <= kGatherBytes; ++i)
      gathered.append(static_cast<const char*>(buffers[i].data()), buffers[i].size());
    written = socket.write_some(asio::buffer(gathered), error);
  }
  if (wouldBlock(error))
    written = 0;
  const Clock::time_point now = Clock::now();
  queue.consume(written, [&](Clock::time_point made) { latency.record(now - made); });
}

void VSyncClient::Impl::flushHeld()
{
  std::lock_guard<std::mutex> guard(mutex);
  if (!heldHere)
    return;
  heldHere = false;
  if ((state != State::Open && state != State::Opening) || queue.empty())
    return;
  boost::system::error_code error;
  writeQueuedLocked(error);
  if (wouldBlock(error))
    error.clear();
  if (error)
  {
    state = State::Broken;
    if (linkHandler)
      asio::post(io, [this, gen = generation, detail = "send failed: " + error.message()] { lose(gen, detail); });
    return;
  }
  // What the socket did not take waits for the server now: the burst's
  // earlier values of a variable give way to its latest, as any text
  // queued behind the server does. The I/O thread writes the rest as the
  // server reads.
  if (!queue.empty())
  {
    if (const std::size_t superseded = queue.replaceEarlierAssignments())
      replaced.fetch_add(superseded, std::memory_order_relaxed);
    asio::post(io, [this, gen = generation] { drain(gen); });
  }
}

void VSyncClient::Impl::dropOldLocked(Clock::time_point now)
{
  if (const std::size_t dropped = queue.dropExpired(now))
    droppedOld.fetch_add(dropped, std::memory_order_relaxed);
}

int VSyncClient::Impl::queueLocked(const char* bytes, std::size_t size, Clock::time_point made, bool whole)
{
  // Texts held for a burst wait for no server: every value goes out.
  switch (queue.push(bytes, size, made, queueLimit, whole, !heldHere))
  {
  case vaxo::detail::SendQueue::Pushed::Full:
    droppedFull.fetch_add(1, std::memory_order_relaxed);
    return V_SEND_QUEUE_FULL;
  case vaxo::detail::SendQueue::Pushed::Replaced:
    replaced.fetch_add(1, std::memory_order_relaxed);
    return 0;
  default:
    return 0;
  }
}

int VSyncClient::Impl::send(const void* data, std::size_t size, bool whole)
{
  const Clock::time_point made = stampedMade != Clock::time_point{} ? stampedMade : Clock::now();
  const char* bytes = static_cast<const char*>(data);
  std::lock_guard<std::mutex> guard(mutex);
  if (state == State::Opening && std::this_thread::get_id() != ioThread)
  {
    // The handler's sends go first on a new connection; this text follows.
    if (size == 0)
      return 0;
    if (!whole && heldBytes + size > queueLimit)
    {
      droppedFull.fetch_add(1, std::memory_order_relaxed);
      return V_SEND_QUEUE_FULL;
    }
    held.push_back(Held{std::string(bytes, size), made});
    heldBytes += size;
    return 0;
  }
  if (state != State::Open && state != State::Opening)
  {
    droppedDown.fetch_add(1, std::memory_order_relaxed);
    return -1;
  }
  if (!queue.empty())
  {
    // The queue drains in order, so a text must wait behind it; what has
    // grown too old there goes first, making room.
    dropOldLocked(made);
    if (!queue.empty())
      return queueLocked(bytes, size, made, whole);
  }
  if (size == 0)
    return 0;
  if (holdingSends && !whole && !heldHere && heldCount < heldClients.size())
  {
    // More events are in hand on this thread: their texts go out together
    // when it flushes.
    heldClients[heldCount++] = weak_from_this();
    heldHere = true;
    return queueLocked(bytes, size, made, whole);
  }

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
  {
    latency.record(Clock::now() - made);
    return 0;
  }
  // The rest of a text already begun goes out whatever the bound and
  // whatever its age: never half a statement.
  queue.push(bytes + written, size - written, made, queueLimit, true);
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
    vaxo::detail::writeLine(std::string("VSyncClient::notify: link handler threw: ") + e.what());
  }
  catch (...)
  {
    vaxo::detail::writeLine(std::string("VSyncClient::notify: link handler threw an unknown exception"));
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
    vaxo::detail::writeLine(std::string("VSyncClient: received ") + vaxo::printable(line));
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
    : impl_(std::make_shared<Impl>(*this, host, port, readBufferSize, traceWire, defaultQueueLimit, connectTimeout,
                                   VLinkHandler(), VQueuePolicy{std::chrono::milliseconds(0), false}))
{
  impl_->connectNow();
  impl_->startThread();
  if (startReader)
    start();
}

VSyncClient::VSyncClient(const std::string& host, unsigned port, VLinkHandler handler, std::size_t queueLimit,
                         int connectTimeout, VQueuePolicy policy)
    : impl_(std::make_shared<Impl>(*this, host, port, 128000, false, queueLimit, connectTimeout, std::move(handler),
                                   policy))
{
  impl_->readWanted = true;
  impl_->startThread();
}

VSyncClient::VSyncClient(Unconnected)
    : impl_(std::make_shared<Impl>(*this, std::string(), 0, 1, false, defaultQueueLimit, 0, VLinkHandler(),
                                   VQueuePolicy{std::chrono::milliseconds(0), false}))
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
  return impl_->queue.bytes();
}

void VSyncClient::holdSends()
{
  holdingSends = true;
}

void VSyncClient::stampSends(std::chrono::steady_clock::time_point made)
{
  stampedMade = made;
}

void VSyncClient::flushHeldSends()
{
  holdingSends = false;
  for (std::size_t i = 0; i < heldCount; ++i)
  {
    // A client destroyed since it held has closed; its texts were counted
    // as dropped then. One still alive stays so for the flush.
    if (const std::shared_ptr<Impl> impl = heldClients[i].lock())
      impl->flushHeld();
    heldClients[i].reset();
  }
  heldCount = 0;
}

std::uint64_t VSyncClient::textsDroppedOld() const
{
  return impl_->droppedOld.load(std::memory_order_relaxed);
}

std::uint64_t VSyncClient::textsReplaced() const
{
  return impl_->replaced.load(std::memory_order_relaxed);
}

const VLatencyHistogram& VSyncClient::writeLatency() const
{
  return impl_->latency;
}

std::chrono::milliseconds VSyncClient::maxAge() const
{
  return impl_->queue.maxAge();
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
