#include "vaxo-sim/stdin_reader.h"

#include <iostream>
#include <mutex>
#include <thread>

#include <boost/asio/post.hpp>

namespace vaxosim
{
  struct StdinReader::Shared
  {
    std::mutex mutex;
    bool open = true;  // false once the reader is gone: post nothing more
    boost::asio::io_context::executor_type executor;
    LineHandler onLine;
    EndHandler onEnd;

    Shared(boost::asio::io_context& io, LineHandler line, EndHandler end)
      : executor(io.get_executor()), onLine(std::move(line)), onEnd(std::move(end))
    {
    }
  };

  StdinReader::StdinReader(boost::asio::io_context& io, LineHandler onLine, EndHandler onEnd)
    : shared_(std::make_shared<Shared>(io, std::move(onLine), std::move(onEnd)))
  {
  }

  StdinReader::~StdinReader()
  {
    std::lock_guard<std::mutex> guard(shared_->mutex);
    shared_->open = false;
  }

  void StdinReader::start()
  {
    // Reading must not flush standard output from this thread.
    std::cin.tie(nullptr);
    std::thread([shared = shared_] {
      try
      {
        std::string line;
        while (std::getline(std::cin, line))
        {
          std::lock_guard<std::mutex> guard(shared->mutex);
          if (!shared->open)
            return;
          boost::asio::post(shared->executor, [shared, line] { shared->onLine(line); });
        }
        std::lock_guard<std::mutex> guard(shared->mutex);
        if (shared->open)
          boost::asio::post(shared->executor, [shared] { shared->onEnd(); });
      }
      catch (const std::exception& e)
      {
        std::cerr << "vaxo-sim: StdinReader::start: reading standard input failed: " << e.what() << std::endl;
      }
    }).detach();
  }
}
