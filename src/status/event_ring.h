#pragma once
// The last MIDI events and the texts each made, in a fixed ring that one
// writer fills and any thread reads without a lock.
//
// Threading: begin, addText and end run on one thread at a time (the MIDI
// input thread) and never allocate or wait. read runs on any other thread:
// every field is a relaxed atomic and each entry carries a sequence number,
// odd while it is written, so a reader takes a copy and throws away any
// entry that changed under it.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "status/snapshot.h"

namespace status
{
  /// The last `capacity` MIDI events with the texts they made per robot.
  class EventRing
  {
  public:
    /// Events kept.
    static constexpr std::size_t capacity = 64;
    /// Texts kept per event.
    static constexpr std::size_t textsPerEvent = 8;
    /// Bytes kept per text.
    static constexpr std::size_t textLimit = 64;

    EventRing() = default;
    EventRing(const EventRing&) = delete;
    EventRing& operator=(const EventRing&) = delete;

    /// Starts the record of a new event at `timeUs` (writer thread).
    void begin(std::int64_t timeUs, int kind, int channel, int data1, int data2);
    /// Adds a text made for robot `robot` to the open record (writer thread);
    /// ignored when no record is open.
    void addText(int robot, const char* text, std::size_t size);
    /// Closes the open record, which readers then see (writer thread).
    void end();

    /// The closed records, oldest first; times are relative to `originUs`.
    std::vector<RecentEvent> read(std::int64_t originUs) const;

  private:
    static constexpr std::size_t wordsPerText = textLimit / 8;

    struct Text
    {
      std::atomic<std::uint32_t> robotAndSize{0};  // robot << 16 | full size
      std::array<std::atomic<std::uint64_t>, wordsPerText> words{};
    };

    struct Entry
    {
      std::atomic<std::uint64_t> sequence{0};  // 2 * event number, odd while written
      std::atomic<std::int64_t> timeUs{0};
      std::atomic<std::uint32_t> message{0};   // kind, channel, data1, data2
      std::atomic<std::uint32_t> textCount{0}; // texts made, kept or not
      std::array<Text, textsPerEvent> texts{};
    };

    std::array<Entry, capacity> entries_{};
    std::atomic<std::uint64_t> events_{0};  // events begun
    bool open_ = false;                     // writer thread only
  };
}
