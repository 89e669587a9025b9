#pragma once
// Splits the byte stream of a connection into lines. Used by one reader
// thread at a time; no locks, no threads of its own.
#include <cstddef>
#include <string>
#include <string_view>

namespace vaxo::detail
{
  /// Cuts bytes into lines at '\n' (dropping a '\r' before it), with a bound
  /// on the length of a line and so on the memory held.
  class LineReader
  {
  public:
    /// Longest line accepted, not counting its "\r\n" or "\n": 1 MiB.
    static constexpr std::size_t kMaxLine = 1048576;

    /// Receives what the reader finds; called from inside feed().
    class Sink
    {
    public:
      /// One complete line, without its line end; valid during the call only.
      virtual void onLine(std::string_view line) = 0;
      /// A line grew past the limit; its bytes up to the next '\n' are dropped.
      virtual void onTooLong() = 0;
      /// Sinks are not owned by the reader.
      virtual ~Sink() = default;
    };

    /// A reader accepting lines of at most `maxLine` bytes.
    explicit LineReader(std::size_t maxLine = kMaxLine);

    /// Takes the next `size` bytes of the stream and reports each line they
    /// complete, in order.
    void feed(const char* data, std::size_t size, Sink& sink);

    /// The bytes of the line begun but not yet ended.
    std::string_view pending() const { return buffer_; }

    /// True while the rest of an over-long line is being skipped.
    bool discarding() const { return discarding_; }

  private:
    void finish(std::string_view line, Sink& sink);
    void release();

    std::size_t maxLine_;
    std::string buffer_;
    bool discarding_ = false;
  };
}
