#pragma once
// The outgoing texts of one connection that the socket has not taken yet,
// with the two rules that keep what a slow server gets fresh: an age limit
// (a text too old when its turn comes is dropped) and "latest value wins"
// (a text that only assigns a variable replaces a still-queued assignment
// to the same variable, which leaves the queue, the new one going to the
// end). Events, tag changes and anything else keep their place.
//
// Threading: none of its own; the client guards it with its mutex.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>

#include "node_pool.h"

namespace vaxo::detail
{
  /// A FIFO of texts with an age limit and latest-value-wins.
  class SendQueue
  {
  public:
    /// The clock the texts' times are on.
    using Clock = std::chrono::steady_clock;

    /// What happened to a text handed to push.
    enum class Pushed
    {
      Queued,    ///< appended
      Replaced,  ///< appended, and a queued assignment to its variable removed
      Full,      ///< dropped: the bound would have been passed
      Empty      ///< nothing to queue (no bytes)
    };

    /// A queue that drops texts older than `maxAge` (0: never) and, when
    /// `latestValueWins`, replaces queued assignments.
    SendQueue(std::chrono::milliseconds maxAge, bool latestValueWins);

    /// The variable `text` assigns when it is one plain assignment
    /// ("name=value," with a name of letters, digits, '_' and '.', not
    /// starting with a digit, and a value of letters, digits, '.', '+', '-');
    /// empty otherwise.
    static std::string_view assignedName(std::string_view text);

    /// Appends `size` bytes made at `made`. A text that would take the
    /// unwritten bytes past `limit` is dropped, unless `whole` (uploads,
    /// which also never age). A replaced text is the earlier assignment to
    /// the same variable, unless its first bytes were already written or
    /// `mayReplace` is false (the text is still noted as the latest).
    Pushed push(const char* data, std::size_t size, Clock::time_point made, std::size_t limit, bool whole,
                bool mayReplace = true);

    /// Drops the texts at the front that are older than the limit at `now`
    /// (a text partly written is finished; uploads never age, nor do
    /// assignments when the latest value wins); returns how many were
    /// dropped.
    std::size_t dropExpired(Clock::time_point now);

    /// Fills `out` with up to `max` pointer/length pairs of the unwritten
    /// bytes, front first; returns how many.
    template <class Buffer, class MakeBuffer>
    std::size_t gather(Buffer* out, std::size_t max, MakeBuffer make) const
    {
      std::size_t count = 0;
      std::size_t skip = frontWritten_;
      for (auto text = texts_.begin(); text != texts_.end() && count < max; ++text)
      {
        out[count++] = make(text->bytes.data() + skip, text->bytes.size() - skip);
        skip = 0;
      }
      return count;
    }

    /// Takes `written` bytes off the front; `done(made)` is called for each
    /// text whose last byte they included.
    template <class Done>
    void consume(std::size_t written, Done done)
    {
      while (written > 0 && !texts_.empty())
      {
        Text& front = texts_.front();
        const std::size_t rest = front.bytes.size() - frontWritten_;
        if (written < rest)
        {
          frontWritten_ += written;
          subBytes(written);
          return;
        }
        written -= rest;
        subBytes(rest);
        done(front.made);
        popFront();
      }
    }

    /// Removes each queued assignment that a later queued one to the same
    /// variable supersedes (those pushed with mayReplace false), but for a
    /// front text partly written; returns how many were removed.
    std::size_t replaceEarlierAssignments();

    /// Removes every text; returns how many there were.
    std::size_t clear();

    /// True when nothing is queued.
    bool empty() const { return texts_.empty(); }
    /// Texts queued.
    std::size_t size() const { return texts_.size(); }
    /// Bytes not yet written. One relaxed load: unlike the other members,
    /// any thread may call it without the client's mutex.
    std::size_t bytes() const { return bytes_.load(std::memory_order_relaxed); }
    /// True when the front text is partly written.
    bool frontStarted() const { return frontWritten_ > 0; }
    /// The age limit (0: none).
    std::chrono::milliseconds maxAge() const { return maxAge_; }

  private:
    struct Text
    {
      Text(std::string_view text, Clock::time_point made, bool ages, std::size_t nameLength)
          : bytes(text.data(), text.size()), made(made), ages(ages), nameLength(nameLength)
      {
      }
      /// The variable assigned, or empty: the text's first bytes.
      std::string_view name() const { return {bytes.data(), nameLength}; }

      TextBytes bytes;
      Clock::time_point made;
      bool ages;               // false for uploads
      std::size_t nameLength;  // 0 unless an assignment
    };
    // Nodes recycled: a text queued and written costs no allocation (but a
    // long one's bytes).
    using Texts = std::list<Text, PoolAllocator<Text>>;
    // Free nodes kept for reuse: a burst's worth.
    static constexpr std::size_t kKeptNodes = 1024;
    // Variables remembered; past this, those with nothing queued are forgotten.
    static constexpr std::size_t kRememberedVariables = 4096;

    void popFront();
    // Change bytes_; called under the client's mutex, so a load and a store
    // suffice.
    void addBytes(std::size_t n) { bytes_.store(bytes() + n, std::memory_order_relaxed); }
    void subBytes(std::size_t n) { bytes_.store(bytes() - n, std::memory_order_relaxed); }
    void erase(Texts::iterator text);
    void forgetIdleVariables();

    const std::chrono::milliseconds maxAge_;
    const bool latestValueWins_;
    Texts texts_;
    // The queued assignment of each variable (the last one, when the front
    // one was already partly written); texts_.end() for a variable with
    // none queued, whose entry stays so that its next value allocates no key.
    std::unordered_map<std::string, Texts::iterator> assignments_;
    // The key of a lookup, reused so that a lookup allocates nothing.
    std::string lookup_;
    std::size_t frontWritten_ = 0;
    // Unwritten bytes; written under the client's mutex, read by any thread.
    std::atomic<std::size_t> bytes_{0};
  };
}
