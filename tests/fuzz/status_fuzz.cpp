// The status server's request handling: any bytes read as a request head by
// the server's own parser and limits. A reply must be one of the statuses
// the server gives, its body never empty, and a refused request must not
// carry a document.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "status/status_server.h"

namespace
{
  class Source : public status::StatusSource
  {
  public:
    status::Snapshot snapshot() override
    {
      status::Snapshot s;
      s.version = "fuzz";
      s.robots.push_back({0, "127.0.0.1", 1, "up", 0, 0, 0, 0, 0, {}});
      return s;
    }
  };
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  static Source source;
  const std::optional<status::StatusServer::Reply> reply =
      status::StatusServer::replyTo(std::string_view(reinterpret_cast<const char*>(data), size), source);
  if (!reply)
    return 0;
  switch (reply->status)
  {
  case 200:
    if (reply->contentType.empty())
      std::abort();
    break;
  case 400:
  case 404:
  case 405:
  case 431:
    if (reply->stream || reply->contentType != "text/plain; charset=utf-8")
      std::abort();
    break;
  default:
    std::abort();
  }
  if (reply->body.empty())
    std::abort();
  return 0;
}
