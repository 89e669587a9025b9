#include "log/stderr_line.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

namespace notara
{
  namespace
  {
    // Storage each slot keeps from the start, so that ordinary lines are
    // copied without an allocation.
    constexpr std::size_t kSlotReserve = 160;
    // How long the writer waits after a round that failed before the next,
    // so that a failure that lasts doesn't spin.
    constexpr std::chrono::milliseconds kRetryPause{100};

    class LineQueue;
    LineQueue& queue();

    class LineQueue
    {
    public:
      LineQueue()
      {
        for (auto& slot : slots_)
          slot.reserve(kSlotReserve);
      }

      void push(std::string_view text)
      {
        bool wake = false;
        {
          std::lock_guard<std::mutex> guard(mutex_);
          if (!started_)
            start();
          if (count_ == slots_.size())
          {
            // Said after the last line that was queued, where the lost
            // ones belong.
            ++lost_;
            ++lostAfter_[(head_ + count_ - 1) % slots_.size()];
            return;
          }
          std::string& slot = slots_[(head_ + count_) % slots_.size()];
          slot.assign(text.data(), text.size());
          ++count_;
          ++queued_;
          wake = writerWaiting_;
        }
        if (wake)
          ready_.notify_one();
      }

      bool flush(std::chrono::milliseconds deadline)
      {
        std::unique_lock<std::mutex> lock(mutex_);
        const std::uint64_t target = queued_;
        return written_.wait_for(lock, deadline, [&] { return writtenCount_ >= target; });
      }

      std::uint64_t lost()
      {
        std::lock_guard<std::mutex> guard(mutex_);
        return lost_;
      }

    private:
      void start()
      {
        started_ = true;
        // A return from main or exit() writes what waits first, for a
        // while: a stream nobody reads must not keep the process alive.
        std::atexit([] { queue().flush(std::chrono::seconds(2)); });
        // Detached: the process may end while the thread is blocked in a
        // write to a stream nobody reads, and must not wait for it. The
        // queue is never destroyed, so the thread never outlives it.
        std::thread([this] { run(); }).detach();
      }

      void run()
      {
        // The thread's entry point: nothing may leave it, and the writer
        // must not stop, or every later line would wait in the queue for
        // ever. A round that fails (a lock the system refused) is reported
        // by the writer itself, straight to the stream, and the next
        // follows after a pause.
        std::string line;
        line.reserve(kSlotReserve);
        for (;;)
        {
          try
          {
            writeNext(line);
          }
          catch (const std::exception& e)
          {
            reportFailure(e.what());
          }
          catch (...)
          {
            reportFailure("unknown exception");
          }
        }
      }

      // Waits for the next line and writes it.
      void writeNext(std::string& line)
      {
        std::uint64_t lostAfter = 0;
        {
          std::unique_lock<std::mutex> lock(mutex_);
          writerWaiting_ = true;
          ready_.wait(lock, [&] { return count_ > 0; });
          writerWaiting_ = false;
          // The slot gets this thread's old storage back: nothing is
          // copied and nothing allocated under the mutex.
          line.swap(slots_[head_]);
          lostAfter = lostAfter_[head_];
          lostAfter_[head_] = 0;
          head_ = (head_ + 1) % slots_.size();
          --count_;
        }
        write(line, lostAfter);
        {
          std::lock_guard<std::mutex> guard(mutex_);
          ++writtenCount_;
        }
        written_.notify_all();
      }

      static void reportFailure(const char* cause) noexcept
      {
        try
        {
          std::string line = std::string("LineQueue::run: writing standard error failed: ") + cause +
                             "; going on after a pause";
          write(line, 0);
        }
        catch (...)
        {
        }
        std::this_thread::sleep_for(kRetryPause);
      }

      static void write(std::string& line, std::uint64_t lostAfter)
      {
        // Nothing may leave the thread: a stream that fails sets its state,
        // and a bad_alloc loses this line only.
        try
        {
          line += '\n';
          if (lostAfter > 0)
            line += std::to_string(lostAfter) + " lines for standard error were lost here: it was not read fast enough\n";
          std::cerr.write(line.data(), static_cast<std::streamsize>(line.size())).flush();
          std::cerr.clear();
        }
        catch (...)
        {
        }
        line.clear();
      }

      std::mutex mutex_;
      std::condition_variable ready_;
      std::condition_variable written_;
      std::array<std::string, stderrQueueLines> slots_;
      std::size_t head_ = 0;
      std::size_t count_ = 0;
      std::uint64_t queued_ = 0;
      std::uint64_t writtenCount_ = 0;
      std::uint64_t lost_ = 0;
      std::array<std::uint64_t, stderrQueueLines> lostAfter_{};
      bool started_ = false;
      bool writerWaiting_ = false;
    };

    LineQueue& queue()
    {
      // Never destroyed: its detached thread may still be writing when
      // static destruction runs.
      static LineQueue* const instance = new LineQueue;
      return *instance;
    }
  }

  void writeStderrLine(std::string_view text)
  {
    try
    {
      queue().push(text);
    }
    catch (...)
    {
      // A line that can't be queued (no memory, no thread) is lost; the
      // caller's work goes on.
    }
  }

  void writeStderrLineBeforeAbort(std::string_view text, std::chrono::milliseconds deadline)
  {
    // The writer thread may be gone (a forked child has none) or stuck on
    // the stream: the line is written here, after a bounded wait for the
    // lines before it.
    try
    {
      flushStderr(deadline);
      std::string line(text);
      line += '\n';
      std::cerr.write(line.data(), static_cast<std::streamsize>(line.size())).flush();
    }
    catch (...)
    {
    }
  }

  bool flushStderr(std::chrono::milliseconds deadline)
  {
    return queue().flush(deadline);
  }

  std::uint64_t stderrLinesLost()
  {
    return queue().lost();
  }

  StderrLine::~StderrLine()
  {
    try
    {
      writeStderrLine(out_.str());
    }
    catch (...)
    {
    }
  }
}
