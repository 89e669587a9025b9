// The bridge object's construction, and its mutex.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include "bridge/lockable.h"
#include "bridge/midi.h"

namespace
{
  TEST(Bridge, ConstructionGivesInitialValuesWhateverTheMemoryHeld)
  {
    // The one real instance is static and so zeroed before construction;
    // building on dirty memory shows that the constructor sets every member.
    alignas(Midi) unsigned char storage[sizeof(Midi)];
    std::memset(storage, 0xA5, sizeof storage);
    Midi* midi = new (storage) Midi;

    EXPECT_EQ(midi->debugLevel.load(), 0);
    EXPECT_EQ(midi->ticksPerBeat, 1);
    EXPECT_EQ(midi->parameter.load(), 0u);
    for (const auto& table : midi->actions)
      EXPECT_TRUE(table.empty());
    EXPECT_TRUE(midi->robotViews().empty());
    EXPECT_EQ(midi->clockCount, 0);
    EXPECT_FALSE(midi->running);
    EXPECT_EQ(midi->lastBeatTime, 0);
    EXPECT_FALSE(midi->clockView().running);
    EXPECT_FALSE(midi->clockView().bpm.has_value());
    EXPECT_EQ(midi->inputView().state, MidiInputView::State::closed);
    EXPECT_EQ(midi->inputView().eventsRead, 0u);
    EXPECT_EQ(midi->handle, nullptr);

    midi->~Midi();
  }

  TEST(Lockable, SerialisesTwoThreads)
  {
    Lockable lock;
    std::atomic<bool> inside{false};
    std::atomic<int> overlaps{0};
    long counter = 0;
    constexpr int rounds = 20000;

    auto work = [&] {
      for (int i = 0; i < rounds; ++i)
      {
        std::lock_guard<Lockable> guard(lock);
        if (inside.exchange(true))
          ++overlaps;
        // A read and a write apart: without exclusion, updates get lost.
        const long seen = counter;
        std::this_thread::yield();
        counter = seen + 1;
        inside = false;
      }
    };
    std::thread other(work);
    work();
    other.join();

    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(counter, 2L * rounds);
  }

  TEST(Lockable, ReentrantForItsOwner)
  {
    Lockable lock;
    lock.lock();
    lock.lock();
    lock.unlock();
    lock.unlock();
    // Released for real: another thread gets it.
    bool taken = false;
    std::thread other([&] {
      std::lock_guard<Lockable> guard(lock);
      taken = true;
    });
    other.join();
    EXPECT_TRUE(taken);
  }

  TEST(LockableDeathTest, ReleasingAMutexNotOwnedAbortsWithOneLine)
  {
    // The error text is whatever errno says after the failed call; the rest
    // of the line is fixed.
    EXPECT_DEATH(
        {
          Lockable lock;
          lock.unlock();
        },
        ::testing::AllOf(::testing::StartsWith("libgantry/lockable:30: abort: "),
                         ::testing::EndsWith(": ReleaseMutex\n"),
                         ::testing::Not(::testing::HasSubstr("abort: : ")),
                         ::testing::Truly([](const std::string& text) {
                           return std::count(text.begin(), text.end(), '\n') == 1;
                         })));
  }
}
