// SilentHost: fills the accept queue with connections started and never
// waited for; the io_context is never run.
#include "support/silent_host.h"

#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

namespace asio = boost::asio;
using asio::ip::tcp;

namespace notara::test
{
  struct SilentHost::Impl
  {
    asio::io_context io;
    tcp::acceptor listener{io, {asio::ip::make_address("127.0.0.1"), 0}};
    std::vector<std::unique_ptr<tcp::socket>> fillers;
  };

  SilentHost::SilentHost() : impl_(std::make_unique<Impl>())
  {
    impl_->listener.listen(0);
    const auto endpoint = impl_->listener.local_endpoint();
    // More than the queue holds; the ones beyond it are left hanging too.
    for (int i = 0; i < 4; ++i)
    {
      impl_->fillers.push_back(std::make_unique<tcp::socket>(impl_->io));
      impl_->fillers.back()->open(tcp::v4());
      impl_->fillers.back()->async_connect(endpoint, [](const boost::system::error_code&) {});
    }
  }

  SilentHost::~SilentHost() = default;

  unsigned SilentHost::port() const
  {
    return impl_->listener.local_endpoint().port();
  }
}
