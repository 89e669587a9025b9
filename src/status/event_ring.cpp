#include "status/event_ring.h"

#include <algorithm>
#include <cstring>

namespace status
{
  void EventRing::begin(std::int64_t timeUs, int kind, int channel, int data1, int data2)
  {
    if (open_)
      end();
    const std::uint64_t number = events_.load(std::memory_order_relaxed) + 1;
    Entry& entry = entries_[number % capacity];
    entry.sequence.store(2 * number - 1, std::memory_order_relaxed);
    // Readers that see any of the stores below also see the odd sequence.
    std::atomic_thread_fence(std::memory_order_release);
    entry.timeUs.store(timeUs, std::memory_order_relaxed);
    const auto byte = [](int value) { return static_cast<std::uint32_t>(value) & 0xFFu; };
    entry.message.store(byte(kind) << 24 | byte(channel) << 16 | byte(data1) << 8 | byte(data2),
                        std::memory_order_relaxed);
    entry.textCount.store(0, std::memory_order_relaxed);
    events_.store(number, std::memory_order_relaxed);
    open_ = true;
  }

  void EventRing::addText(int robot, const char* text, std::size_t size)
  {
    if (!open_)
      return;
    Entry& entry = entries_[events_.load(std::memory_order_relaxed) % capacity];
    const std::uint32_t count = entry.textCount.load(std::memory_order_relaxed);
    entry.textCount.store(count + 1, std::memory_order_relaxed);
    if (count >= textsPerEvent)
      return;
    Text& slot = entry.texts[count];
    const std::size_t kept = std::min(size, textLimit);
    slot.robotAndSize.store(static_cast<std::uint32_t>(robot & 0xFF) << 16 |
                                static_cast<std::uint32_t>(std::min<std::size_t>(size, 0xFFFF)),
                            std::memory_order_relaxed);
    for (std::size_t w = 0; w * 8 < kept; ++w)
    {
      std::uint64_t word = 0;
      std::memcpy(&word, text + w * 8, std::min<std::size_t>(8, kept - w * 8));
      slot.words[w].store(word, std::memory_order_relaxed);
    }
  }

  void EventRing::end()
  {
    if (!open_)
      return;
    const std::uint64_t number = events_.load(std::memory_order_relaxed);
    entries_[number % capacity].sequence.store(2 * number, std::memory_order_release);
    open_ = false;
  }

  std::vector<RecentEvent> EventRing::read(std::int64_t originUs) const
  {
    std::vector<RecentEvent> events;
    events.reserve(capacity);
    for (const Entry& entry : entries_)
    {
      const std::uint64_t before = entry.sequence.load(std::memory_order_acquire);
      if (before == 0 || before % 2 == 1)
        continue;
      RecentEvent event;
      event.sequence = before / 2;
      event.timeS = static_cast<double>(entry.timeUs.load(std::memory_order_relaxed) - originUs) / 1e6;
      const std::uint32_t message = entry.message.load(std::memory_order_relaxed);
      event.kind = static_cast<int>(message >> 24);
      event.channel = static_cast<int>(message >> 16 & 0xFF);
      event.data1 = static_cast<int>(message >> 8 & 0xFF);
      event.data2 = static_cast<int>(message & 0xFF);
      const std::uint32_t count = entry.textCount.load(std::memory_order_relaxed);
      event.textsCut = count > textsPerEvent;
      for (std::size_t i = 0; i < std::min<std::size_t>(count, textsPerEvent); ++i)
      {
        const Text& slot = entry.texts[i];
        const std::uint32_t robotAndSize = slot.robotAndSize.load(std::memory_order_relaxed);
        const std::size_t size = robotAndSize & 0xFFFF;
        const std::size_t kept = std::min(size, textLimit);
        char bytes[textLimit];
        for (std::size_t w = 0; w < wordsPerText; ++w)
        {
          const std::uint64_t word = slot.words[w].load(std::memory_order_relaxed);
          std::memcpy(bytes + w * 8, &word, 8);
        }
        event.texts.push_back({static_cast<int>(robotAndSize >> 16), std::string(bytes, kept), size > textLimit});
      }
      // Whatever was read is kept only when the writer didn't touch the
      // entry meanwhile.
      std::atomic_thread_fence(std::memory_order_acquire);
      if (entry.sequence.load(std::memory_order_relaxed) != before)
        continue;
      events.push_back(std::move(event));
    }
    std::sort(events.begin(), events.end(),
              [](const RecentEvent& a, const RecentEvent& b) { return a.sequence < b.sequence; });
    return events;
  }
}
