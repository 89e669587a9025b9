#include "vaxo-sim/stdin_reader.h"

#include <chrono>
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
      // Nothing may leave the thread. The end of standard input ends it;
      // a failure is reported and reading goes on after a pause.
      for (;;)
      {
        const char* failure = "unknown exception";
        std::string what;
        try
        {
          readUntilEnd(shared);
          return;
        }
        catch (const std::exception& e)
        {
          what = e.what();
          failure = what.c_str();
        }
        catch (...)
        {
        }
        std::cerr << "vaxo-sim: StdinReader::start: reading standard input failed: " << failure
                  << "; reading on" << std::endl;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    }).detach();
  }

  void StdinReader::readUntilEnd(const std::shared_ptr<Shared>& shared)
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
}
