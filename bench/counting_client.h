#pragma once
// A robot client for in-process benchmarks: it keeps the last text handed
// to its raw send in a fixed buffer and counts texts and bytes, and
// allocates nothing, so that what a benchmark counts is the bridge's own.
//
// Threading: for one sending thread (the benchmark's); no callbacks.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>

#include "support/offline_client.h"

namespace notara::bench
{
  /// Counts what the bridge sends to it and keeps the last text.
  class CountingClient : public notara::test::OfflineClient
  {
  public:
    /// Texts sent so far.
    std::size_t texts() const { return texts_; }
    /// Bytes sent so far.
    std::size_t bytes() const { return bytes_; }
    /// The last text (cut to 256 bytes).
    std::string last() const { return std::string(text_, last_); }

  protected:
    void keep(const char* text, std::size_t size) override
    {
      // Copied, as a socket write would read every byte.
      last_ = std::min(size, sizeof text_);
      std::memcpy(text_, text, last_);
      ++texts_;
      bytes_ += size;
    }

  private:
    char text_[256] = {};
    std::size_t last_ = 0;
    std::size_t texts_ = 0;
    std::size_t bytes_ = 0;
  };
}
