#pragma once
// Reads the server's standard input line by line on a thread of its own and
// hands each line to the I/O thread.
//
// Threading: the handlers run on the thread that runs the io_context, never
// on the reading thread. Standard input can't be read without blocking on
// every platform, so the reading thread is detached: after the reader is
// destroyed it may still sit in its read until the process ends, but it
// posts nothing any more.
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>

namespace vaxosim
{
  /// Standard input as a stream of posted lines.
  class StdinReader
  {
  public:
    /// Called with each line, without its line break.
    using LineHandler = std::function<void(const std::string& line)>;
    /// Called once at the end of the input.
    using EndHandler = std::function<void()>;

    /// Prepares to post to `io`; reading starts with start(). `io` must
    /// outlive this object.
    StdinReader(boost::asio::io_context& io, LineHandler onLine, EndHandler onEnd);
    /// Stops posting lines.
    ~StdinReader();
    StdinReader(const StdinReader&) = delete;
    StdinReader& operator=(const StdinReader&) = delete;

    /// Starts the reading thread.
    void start();

  private:
    struct Shared;
    // Posts each line of standard input, then its end (reading thread).
    static void readUntilEnd(const std::shared_ptr<Shared>& shared);

    std::shared_ptr<Shared> shared_;
  };
}
