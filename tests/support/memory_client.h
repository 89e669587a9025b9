#pragma once
// A robot client that keeps what is sent to it in memory, for tests that
// look at the bridge's texts without a server. Safe from several threads.
#include <mutex>
#include <string>
#include <vector>

#include "support/offline_client.h"

namespace notara::test
{
  /// Records every text sent to it.
  class MemoryClient : public OfflineClient
  {
  public:
    /// Each rawSend's bytes, in order.
    std::vector<std::string> sends() const
    {
      std::lock_guard<std::mutex> guard(mutex_);
      return sends_;
    }

    /// All bytes sent, run together.
    std::string text() const
    {
      std::lock_guard<std::mutex> guard(mutex_);
      std::string all;
      for (const auto& s : sends_)
        all += s;
      return all;
    }

    /// Forgets what was sent.
    void clear()
    {
      std::lock_guard<std::mutex> guard(mutex_);
      sends_.clear();
    }

  protected:
    void keep(const char* text, std::size_t size) override
    {
      std::lock_guard<std::mutex> guard(mutex_);
      sends_.emplace_back(text, size);
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> sends_;
  };
}
