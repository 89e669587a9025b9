#pragma once
// The one writer of notara's lines on standard error.
//
// Every line notara writes is queued here whole and written by a thread of
// this module, so that no other thread ever waits on the stream: a paused
// pager, a log collector that stops reading or a full pipe holds up the
// writer thread only. The queue is bounded; a line that finds it full is
// counted, and the next line written is preceded by one that says how many
// were lost.
//
// Threading:
// - writeStderrLine and StderrLine run on any thread, the MIDI thread
//   among them. They take the queue's mutex for a copy into a slot whose
//   storage is kept from line to line (no allocation for a line no longer
//   than one before it in that slot), never while the stream is written.
// - the writer thread, started by the first line, takes the mutex to swap
//   a slot's text out and writes std::cerr with no lock held.
// - flushStderr runs on any thread but the writer's and waits, up to its
//   deadline, until every line queued before the call is written.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string_view>

namespace notara
{
  /// Queues `text` as one line for standard error; never waits on the stream.
  void writeStderrLine(std::string_view text);

  /// For a process about to end abruptly: writes what waits (for
  /// `deadline` at most), then `text` and a newline at once, on the calling
  /// thread.
  void writeStderrLineBeforeAbort(std::string_view text,
                                  std::chrono::milliseconds deadline = std::chrono::seconds(1));

  /// Waits until every line queued before the call has been written, or
  /// `deadline` has passed; true when all were written.
  bool flushStderr(std::chrono::milliseconds deadline = std::chrono::seconds(10));

  /// Lines dropped because the queue was full, since the process started.
  std::uint64_t stderrLinesLost();

  /// Lines the queue holds at most.
  constexpr std::size_t stderrQueueLines = 1024;

  /// Builds one line with << and queues it whole when destroyed.
  class StderrLine
  {
  public:
    StderrLine() = default;
    /// Queues what was written (writeStderrLine).
    ~StderrLine();
    StderrLine(const StderrLine&) = delete;
    StderrLine& operator=(const StderrLine&) = delete;

    /// Appends `value` as a stream writes it.
    template <class T>
    StderrLine& operator<<(const T& value)
    {
      out_ << value;
      return *this;
    }

    /// The stream the line is built in, for writers that take a stream.
    std::ostream& stream() { return out_; }

  private:
    std::ostringstream out_;
  };
}
