#pragma once
// notara's status server: the page, the JSON status document, the metrics
// and a stream of updates over HTTP, on threads of its own.
//
// Paths: "/" (the page), "/status.json", "/metrics" and "/events" (Server-
// Sent Events: the status document whenever it changes, at most five times
// a second). GET and HEAD only; a request head of at most 8 KiB; at most 32
// clients; a request not complete in 10 seconds is closed, and so is a
// stream whose client leaves 64 KiB unread.
//
// Threading: the constructor, start and the destructor run on one thread
// (the main thread). The server's thread calls StatusSource::snapshot; no
// other thread of the program is touched, and no lock of theirs is taken.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "status/status_source.h"

namespace status
{
  /// The HTTP server of the status page.
  class StatusServer
  {
  public:
    /// Most clients connected at once; more get 503.
    static constexpr int clientLimit = 32;
    /// Most bytes of a request's line and headers; more get 431.
    static constexpr std::size_t headLimit = 8 * 1024;
    /// Most bytes a stream client may leave unread before it is closed.
    static constexpr std::size_t unreadLimit = 64 * 1024;
    /// Seconds a client has to send a whole request.
    static constexpr int requestSeconds = 10;

    /// A reply to one request.
    struct Reply
    {
      int status = 200;          ///< HTTP status
      std::string contentType;   ///< Content-Type
      std::string body;          ///< the body (for HEAD, what GET would send)
      bool stream = false;       ///< true for the event stream: body is its first event
      bool head = false;         ///< true for HEAD: the body is not sent
      std::string nonce;         ///< the page's script and style nonce, or empty
    };

    /// A server of `source` to be bound to `address`:`port` (0: a free port).
    StatusServer(StatusSource& source, std::string address, std::uint16_t port);
    /// Closes every connection and stops the thread.
    ~StatusServer();
    StatusServer(const StatusServer&) = delete;
    StatusServer& operator=(const StatusServer&) = delete;

    /// Binds, listens and starts the thread. Raises std::runtime_error
    /// naming the address and the reason when it can't listen.
    void start();
    /// The port listened on, once started.
    std::uint16_t port() const;
    /// The page's URL, "http://ADDRESS:PORT/", once started.
    std::string url() const;

    /// The reply to `bytes` read as a request head with the server's own
    /// parser and limits; nothing while they are an incomplete head. For
    /// tests and the fuzzer; the server answers its clients the same way.
    static std::optional<Reply> replyTo(std::string_view bytes, StatusSource& source);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
  };
}
