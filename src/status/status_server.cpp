// The status server over Boost.Beast: the accept loop, one session per
// client, the request head's limits, the routes and the event stream. The
// only translation unit of the program that includes Beast.
#include "status/status_server.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <iostream>
#include <random>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "status/status_document.h"
#include "status/status_page.h"
#include "log/stderr_line.h"

namespace status
{
  namespace
  {
    namespace asio = boost::asio;
    namespace beast = boost::beast;
    namespace http = beast::http;
    using tcp = asio::ip::tcp;
    using Parser = http::request_parser<http::empty_body>;

    // The stream's pace: a changed document goes out at most this often, an
    // unchanged one every keepAlive so that a lost connection shows.
    constexpr auto streamInterval = std::chrono::milliseconds(200);
    constexpr auto keepAlive = std::chrono::seconds(2);
    // A small send buffer, so that a client that stops reading fills the
    // server's own buffer, which is bounded, soon.
    constexpr int streamSendBuffer = 16 * 1024;
    // The pause after a handler's failure left the server's loop.
    constexpr auto retryPause = std::chrono::milliseconds(100);

    const char* const basePolicy = "default-src 'none'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

    std::string makeNonce()
    {
      std::random_device device;
      std::string nonce;
      char digits[9];
      for (int i = 0; i < 4; ++i)
      {
        std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(device()));
        nonce += digits;
      }
      return nonce;
    }

    StatusServer::Reply plain(int code, std::string text)
    {
      StatusServer::Reply reply;
      reply.status = code;
      reply.contentType = "text/plain; charset=utf-8";
      reply.body = std::move(text) + "\n";
      return reply;
    }

    // The event stream's message carrying `json`.
    std::string eventOf(const std::string& json)
    {
      return "data: " + json + "\n\n";
    }

    // The reply to a request whose head was read whole.
    StatusServer::Reply route(const Parser& parser, StatusSource& source)
    {
      const auto& request = parser.get();
      if (request.method() != http::verb::get && request.method() != http::verb::head)
      {
        StatusServer::Reply reply = plain(405, "Only GET and HEAD are served.");
        return reply;
      }
      if (parser.chunked() || (parser.content_length() && *parser.content_length() != 0))
        return plain(400, "A request with a body is not served.");

      const beast::string_view target = request.target();
      const beast::string_view path = target.substr(0, target.find('?'));
      StatusServer::Reply reply;
      if (path == "/")
      {
        reply.contentType = "text/html; charset=utf-8";
        reply.nonce = makeNonce();
        reply.body = statusPage;
        for (std::size_t at = reply.body.find("@NONCE@"); at != std::string::npos;
             at = reply.body.find("@NONCE@", at))
          reply.body.replace(at, 7, reply.nonce);
      }
      else if (path == "/status.json")
      {
        reply.contentType = "application/json";
        reply.body = statusJson(source.snapshot());
      }
      else if (path == "/metrics")
      {
        reply.contentType = "text/plain; version=0.0.4; charset=utf-8";
        reply.body = metricsText(source.snapshot());
      }
      else if (path == "/events")
      {
        reply.contentType = "text/event-stream";
        reply.stream = true;
        reply.body = "retry: 1000\n\n" + eventOf(statusJson(source.snapshot()));
      }
      else
        return plain(404, "Not found. This server has /, /status.json, /metrics and /events.");
      reply.head = request.method() == http::verb::head;
      return reply;
    }

    StatusServer::Reply errorReply(const beast::error_code& error)
    {
      if (error == http::error::header_limit || error == http::error::buffer_overflow)
        return plain(431, "The request's line and headers are longer than 8 KiB.");
      return plain(400, "Bad request: " + error.message() + ".");
    }

    // The response head and body of `reply` as bytes.
    std::string serialize(const StatusServer::Reply& reply, bool keepAlive)
    {
      http::response<http::string_body> response{static_cast<http::status>(reply.status), 11};
      response.set(http::field::content_type, reply.contentType);
      response.set(http::field::cache_control, "no-store");
      response.set("X-Content-Type-Options", "nosniff");
      response.set("Referrer-Policy", "no-referrer");
      std::string policy = basePolicy;
      if (!reply.nonce.empty())
        policy += "; script-src 'nonce-" + reply.nonce + "'; style-src 'nonce-" + reply.nonce +
                  "'; connect-src 'self'; img-src data:";
      response.set("Content-Security-Policy", policy);
      if (reply.status == 405)
        response.set(http::field::allow, "GET, HEAD");
      if (reply.stream)
      {
        // No length: the stream lasts as long as the connection.
        response.keep_alive(false);
        std::ostringstream head;
        head << response.base();
        return head.str() + (reply.head ? std::string() : reply.body);
      }
      response.keep_alive(keepAlive);
      response.content_length(reply.body.size());
      std::ostringstream head;
      head << response.base();
      return head.str() + (reply.head ? std::string() : reply.body);
    }

    class Session;

    // What the server and its sessions share; sessions keep it alive.
    struct Shared
    {
      explicit Shared(StatusSource& s) : source(s) {}
      StatusSource& source;
      int clients = 0;
      std::vector<std::weak_ptr<Session>> streams;
    };

    // One client: requests read one at a time, each answered; an event
    // stream keeps the connection for its updates.
    class Session : public std::enable_shared_from_this<Session>
    {
    public:
      Session(tcp::socket socket, std::shared_ptr<Shared> shared)
          : stream_(std::move(socket)), shared_(std::move(shared))
      {
        ++shared_->clients;
      }
      ~Session() { --shared_->clients; }

      void start() { readRequest(); }

      // Queues one event of the stream; a client that has left unreadLimit
      // bytes unread is closed instead.
      void push(const std::string& event)
      {
        if (closed_)
          return;
        if (pending_.size() + event.size() > StatusServer::unreadLimit)
        {
          close();
          return;
        }
        pending_ += event;
        if (!writing_)
          writePending();
      }

      void close()
      {
        if (closed_)
          return;
        closed_ = true;
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.socket().close(ignored);
      }

      bool closed() const { return closed_; }

    private:
      void readRequest()
      {
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(StatusServer::headLimit));
        stream_.expires_after(std::chrono::seconds(StatusServer::requestSeconds));
        http::async_read_header(stream_, buffer_, *parser_,
                                [self = shared_from_this()](beast::error_code error, std::size_t) {
                                  self->onHead(error);
                                });
      }

      void onHead(beast::error_code error)
      {
        if (closed_)
          return;
        if (error == http::error::end_of_stream || error == beast::error::timeout ||
            error == asio::error::eof || error == asio::error::connection_reset ||
            error == asio::error::operation_aborted)
        {
          close();
          return;
        }
        StatusServer::Reply reply;
        try
        {
          reply = error ? errorReply(error) : route(*parser_, shared_->source);
        }
        catch (const std::exception& e)
        {
          reply = plain(500, std::string("Internal error: ") + e.what());
        }
        catch (...)
        {
          reply = plain(500, "Internal error: unknown exception");
        }
        const bool keep = !error && reply.status < 400 && !reply.stream && parser_->keep_alive();
        outgoing_ = serialize(reply, keep);
        if (reply.stream && !reply.head)
        {
          beast::error_code ignored;
          stream_.socket().set_option(asio::socket_base::send_buffer_size(streamSendBuffer), ignored);
          stream_.expires_never();
          shared_->streams.push_back(weak_from_this());
          pending_ = std::move(outgoing_);
          writePending();
          watchForClose();
          return;
        }
        stream_.expires_after(std::chrono::seconds(StatusServer::requestSeconds));
        asio::async_write(stream_, asio::buffer(outgoing_),
                          [self = shared_from_this(), keep](beast::error_code writeError, std::size_t) {
                            if (writeError || !keep)
                              self->close();
                            else
                              self->readRequest();
                          });
      }

      void writePending()
      {
        writing_ = true;
        outgoing_ = std::move(pending_);
        pending_.clear();
        asio::async_write(stream_.socket(), asio::buffer(outgoing_),
                          [self = shared_from_this()](beast::error_code error, std::size_t) {
                            self->writing_ = false;
                            if (error)
                            {
                              self->close();
                              return;
                            }
                            if (!self->pending_.empty() && !self->closed_)
                              self->writePending();
                          });
      }

      // A stream's client sends nothing more; whatever it sends is
      // discarded, and its end closes the stream.
      void watchForClose()
      {
        stream_.socket().async_read_some(asio::buffer(discard_),
                                         [self = shared_from_this()](beast::error_code error, std::size_t) {
                                           if (error)
                                             self->close();
                                           else
                                             self->watchForClose();
                                         });
      }

      beast::tcp_stream stream_;
      std::shared_ptr<Shared> shared_;
      beast::flat_buffer buffer_{StatusServer::headLimit + 1024};
      std::optional<Parser> parser_;
      std::string outgoing_;
      std::string pending_;
      char discard_[512];
      bool writing_ = false;
      bool closed_ = false;
    };
  }

  struct StatusServer::Impl
  {
    Impl(StatusSource& source, std::string address, std::uint16_t port)
        : shared(std::make_shared<Shared>(source)), address(std::move(address)), requestedPort(port)
    {
    }

    void accept()
    {
      acceptor.async_accept([this](beast::error_code error, tcp::socket socket) {
        if (error == asio::error::operation_aborted || !acceptor.is_open())
          return;
        if (!error)
        {
          if (shared->clients >= clientLimit)
            refuse(std::move(socket));
          else
            std::make_shared<Session>(std::move(socket), shared)->start();
        }
        accept();
      });
    }

    // One client too many: a 503 and the connection closed.
    void refuse(tcp::socket socket)
    {
      auto held = std::make_shared<tcp::socket>(std::move(socket));
      auto bytes = std::make_shared<std::string>(
          serialize(plain(503, "Too many clients; at most 32 at once."), false));
      asio::async_write(*held, asio::buffer(*bytes), [held, bytes](beast::error_code, std::size_t) {
        beast::error_code ignored;
        held->shutdown(tcp::socket::shutdown_both, ignored);
        held->close(ignored);
      });
    }

    void tick()
    {
      timer.expires_after(streamInterval);
      timer.async_wait([this](beast::error_code error) {
        if (error)
          return;
        // Whatever the broadcast met, the next tick is due: the streams
        // must not stop.
        try
        {
          broadcast();
        }
        catch (const std::exception& e)
        {
          notara::StderrLine() << "StatusServer::tick: the event stream: " << e.what();
        }
        catch (...)
        {
          notara::StderrLine() << "StatusServer::tick: the event stream: unknown exception";
        }
        tick();
      });
    }

    void broadcast()
    {
      auto& streams = shared->streams;
      streams.erase(std::remove_if(streams.begin(), streams.end(),
                                   [](const std::weak_ptr<Session>& s) {
                                     const auto session = s.lock();
                                     return !session || session->closed();
                                   }),
                    streams.end());
      if (streams.empty())
        return;
      Snapshot snapshot = shared->source.snapshot();
      const std::string json = statusJson(snapshot);
      // What changes by itself (the clock) doesn't count as a change.
      snapshot.uptimeS = 0;
      for (RobotStatus& robot : snapshot.robots)
        robot.sinceS = 0;
      std::string key = statusJson(snapshot);
      const auto now = std::chrono::steady_clock::now();
      if (key == lastKey && now - lastSent < keepAlive)
        return;
      lastKey = std::move(key);
      lastSent = now;
      const std::string event = eventOf(json);
      for (const auto& weak : std::vector<std::weak_ptr<Session>>(streams))
        if (const auto session = weak.lock())
          session->push(event);
    }

    void run()
    {
      // Nothing may leave the thread; a handler that failed costs its
      // client only, and serving goes on after a pause, so that a failure
      // that comes back at once doesn't spin.
      for (;;)
      {
        try
        {
          ioc.run();
          return;
        }
        catch (const std::exception& e)
        {
          notara::StderrLine() << "StatusServer::run: a handler failed: " << e.what() << "; serving on";
        }
        catch (...)
        {
          notara::StderrLine() << "StatusServer::run: a handler failed: unknown exception; serving on";
        }
        std::this_thread::sleep_for(retryPause);
      }
    }

    asio::io_context ioc{1};
    tcp::acceptor acceptor{ioc};
    asio::steady_timer timer{ioc};
    std::shared_ptr<Shared> shared;
    std::string address;
    std::uint16_t requestedPort;
    std::uint16_t port = 0;
    std::string lastKey;
    std::chrono::steady_clock::time_point lastSent{};
    std::thread thread;
  };

  StatusServer::StatusServer(StatusSource& source, std::string address, std::uint16_t port)
      : impl_(std::make_unique<Impl>(source, std::move(address), port))
  {
  }

  StatusServer::~StatusServer()
  {
    if (impl_->thread.joinable())
    {
      impl_->ioc.stop();
      impl_->thread.join();
    }
  }

  void StatusServer::start()
  {
    Impl& impl = *impl_;
    const std::string where = impl.address + ":" + std::to_string(impl.requestedPort);
    beast::error_code error;
    const asio::ip::address address = asio::ip::make_address(impl.address, error);
    if (error)
      throw std::runtime_error("can't listen on " + where + ": not an IP address: " + impl.address);
    const tcp::endpoint endpoint(address, impl.requestedPort);
    impl.acceptor.open(endpoint.protocol(), error);
#if !defined(_WIN32)
    // A restart may bind while the last run's connections linger in
    // TIME_WAIT. On Windows the same option would let a second program take
    // a port in use, so it is left off there.
    if (!error)
      impl.acceptor.set_option(asio::socket_base::reuse_address(true), error);
#endif
    if (!error)
      impl.acceptor.bind(endpoint, error);
    if (!error)
      impl.acceptor.listen(asio::socket_base::max_listen_connections, error);
    if (error)
      throw std::runtime_error("can't listen on " + where + ": " + error.message());
    impl.port = impl.acceptor.local_endpoint().port();
    impl.accept();
    impl.tick();
    impl.thread = std::thread([&impl] { impl.run(); });
  }

  std::uint16_t StatusServer::port() const
  {
    return impl_->port;
  }

  std::string StatusServer::url() const
  {
    const bool v6 = impl_->address.find(':') != std::string::npos;
    return "http://" + (v6 ? "[" + impl_->address + "]" : impl_->address) + ":" + std::to_string(impl_->port) + "/";
  }

  std::optional<StatusServer::Reply> StatusServer::replyTo(std::string_view bytes, StatusSource& source)
  {
    Parser parser;
    parser.header_limit(static_cast<std::uint32_t>(headLimit));
    beast::error_code error;
    while (!parser.is_header_done())
    {
      const std::size_t used = parser.put(asio::buffer(bytes.data(), bytes.size()), error);
      if (error == http::error::need_more)
        return std::nullopt;
      if (error)
        return errorReply(error);
      bytes.remove_prefix(used);
      if (used == 0 && !parser.is_header_done())
        return std::nullopt;
    }
    try
    {
      return route(parser, source);
    }
    catch (const std::exception& e)
    {
      return plain(500, std::string("Internal error: ") + e.what());
    }
    catch (...)
    {
      return plain(500, "Internal error: unknown exception");
    }
  }
}
