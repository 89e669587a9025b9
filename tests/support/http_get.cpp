// httpGet: one request with Beast's synchronous client; metricValue: a
// line search over the exposition text.
#include "support/http_get.h"

#include <sstream>
#include <stdexcept>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using asio::ip::tcp;

namespace notara::test
{
  std::string httpGet(unsigned port, const std::string& target)
  {
    try
    {
      asio::io_context io;
      beast::tcp_stream stream(io);
      stream.expires_after(std::chrono::seconds(10));
      stream.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)));
      http::request<http::empty_body> request(http::verb::get, target, 11);
      request.set(http::field::host, "127.0.0.1");
      http::write(stream, request);
      beast::flat_buffer buffer;
      http::response<http::string_body> response;
      http::read(stream, buffer, response);
      beast::error_code ignored;
      stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
      if (response.result() != http::status::ok)
        throw std::runtime_error("status " + std::to_string(response.result_int()));
      return response.body();
    }
    catch (const std::exception& e)
    {
      throw std::runtime_error("httpGet: GET " + target + " on port " + std::to_string(port) + ": " + e.what());
    }
  }

  double metricValue(const std::string& metrics, const std::string& prefix, const std::string& contains)
  {
    std::istringstream lines(metrics);
    std::string line;
    while (std::getline(lines, line))
    {
      const std::size_t value = line.rfind(' ');
      if (line.rfind(prefix, 0) != 0 || value == std::string::npos)
        continue;
      if (!contains.empty() && line.substr(0, value).find(contains) == std::string::npos)
        continue;
      return std::stod(line.substr(value + 1));
    }
    throw std::runtime_error("metricValue: no sample " + prefix + "..." + contains);
  }
}
