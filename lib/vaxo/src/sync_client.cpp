// VSyncClient: one TCP connection, a reader thread running the connection's
// own io_context, and a mutex-guarded blocking write path.
#include <atomic>
#include <chrono>
#include <iostream>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

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
}

struct VSyncClient::Impl : vaxo::detail::LineReader::Sink
{
  Impl(VSyncClient& owner, unsigned bufferSize, bool trace)
      : client(owner), readBuffer(bufferSize > 0 ? bufferSize : 128000), traceWire(trace)
  {
  }

  VSyncClient& client;
  asio::io_context io;
  tcp::socket socket{io};
  std::vector<char> readBuffer;
  bool traceWire;
  vaxo::detail::LineReader lines;
  // Reused for every line, so that decoding reuses its strings' storage.
  VMessage incoming;

  // Serialises writes with each other and with closing the socket, so a
  // write never runs on a descriptor that is being closed.
  std::mutex writeMutex;
  std::atomic<bool> open{false};
  // Set by the destructor: the close that follows is ours, not the server's.
  std::atomic<bool> closing{false};

  std::mutex startMutex;
  std::thread reader;

  void connect(const std::string& host, unsigned port, int timeoutSeconds);
  void startReading();
  void readMore();
  void onRead(const boost::system::error_code& error, std::size_t size);
  void closeSocket();
  void report(std::string text);

  void onLine(std::string_view line) override;
  void onTooLong() override;
};

void VSyncClient::Impl::connect(const std::string& host, unsigned port, int timeoutSeconds)
{
  const std::string where = host + ":" + std::to_string(port);
  boost::system::error_code error;
  tcp::resolver resolver(io);
  const auto endpoints = resolver.resolve(host, std::to_string(port), error);
  if (error)
  {
    std::cerr << "VSyncClient::VSyncClient: can't resolve " << where << ": " << error.message() << std::endl;
    return;
  }

  bool done = false;
  asio::async_connect(socket, endpoints, [&](const boost::system::error_code& e, const tcp::endpoint&) {
    error = e;
    done = true;
  });
  if (timeoutSeconds > 0)
    io.run_for(std::chrono::seconds(timeoutSeconds));
  else
    io.run();
  if (!done)
  {
    // Time is up: closing cancels the attempt, whose handler then runs.
    boost::system::error_code ignored;
    socket.close(ignored);
    io.restart();
    io.run();
    error = asio::error::timed_out;
  }
  io.restart();

  if (error)
  {
    boost::system::error_code ignored;
    socket.close(ignored);
    std::cerr << "VSyncClient::VSyncClient: can't connect to " << where << ": " << error.message() << std::endl;
    return;
  }
  open = true;
}

void VSyncClient::Impl::startReading()
{
  std::lock_guard<std::mutex> guard(startMutex);
  if (reader.joinable() || !open)
    return;
  {
    // The first read puts the socket into Asio's internal non-blocking mode;
    // doing it under the write lock keeps that change apart from rawSend.
    std::lock_guard<std::mutex> writeGuard(writeMutex);
    readMore();
  }
  reader = std::thread([this] {
    // Nothing may leave the thread: report what escaped and end reading.
    try
    {
      io.run();
    }
    catch (const std::exception& e)
    {
      std::cerr << "VSyncClient::reader: " << e.what() << std::endl;
      closeSocket();
    }
    catch (...)
    {
      std::cerr << "VSyncClient::reader: unknown exception" << std::endl;
      closeSocket();
    }
  });
}

void VSyncClient::Impl::readMore()
{
  socket.async_read_some(asio::buffer(readBuffer),
                         [this](const boost::system::error_code& error, std::size_t size) { onRead(error, size); });
}

void VSyncClient::Impl::onRead(const boost::system::error_code& error, std::size_t size)
{
  if (size > 0)
    lines.feed(readBuffer.data(), size, *this);
  if (!error)
  {
    readMore();
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
  closeSocket();
  report("connection closed");
}

void VSyncClient::Impl::closeSocket()
{
  std::lock_guard<std::mutex> guard(writeMutex);
  open = false;
  if (socket.is_open())
  {
    boost::system::error_code ignored;
    socket.shutdown(tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
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
    : impl_(std::make_unique<Impl>(*this, readBufferSize, traceWire))
{
  impl_->connect(host, port, connectTimeout);
  if (startReader)
    impl_->startReading();
}

VSyncClient::VSyncClient(Unconnected) : impl_(std::make_unique<Impl>(*this, 1, false)) {}

VSyncClient::~VSyncClient()
{
  impl_->closing = true;
  if (impl_->reader.joinable())
  {
    // Closing on the reader's own thread cancels its pending read; the
    // thread then runs out of work and ends.
    asio::post(impl_->io, [impl = impl_.get()] { impl->closeSocket(); });
    impl_->reader.join();
  }
  impl_->closeSocket();
}

void VSyncClient::start()
{
  impl_->startReading();
}

bool VSyncClient::isConnected() const
{
  return impl_->open;
}

int VSyncClient::rawSend(const void* data, std::size_t size)
{
  std::lock_guard<std::mutex> guard(impl_->writeMutex);
  if (!impl_->open)
    return -1;
  boost::system::error_code error;
  // The write is blocking and whole: the bytes leave before the next
  // caller's. Asio sends with MSG_NOSIGNAL (SO_NOSIGPIPE where that is the
  // way), so a peer that is gone gives an error, not SIGPIPE.
  asio::write(impl_->socket, asio::buffer(data, size), error);
  return error ? -1 : 0;
}

VSocketDescriptor VSyncClient::socketDescriptor() const
{
  // The reader may be closing the socket right now.
  std::lock_guard<std::mutex> guard(impl_->writeMutex);
  if (!impl_->socket.is_open())
    return static_cast<VSocketDescriptor>(-1);
  return static_cast<VSocketDescriptor>(impl_->socket.native_handle());
}
