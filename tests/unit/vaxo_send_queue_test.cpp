// The outgoing queue of the client library: what counts as an assignment,
// latest value wins without reordering anything else, the age limit, the
// bound, partly written texts, and the latency histogram's buckets.
#include <chrono>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../../lib/vaxo/src/send_queue.h"
#include "vaxo/latency_histogram.h"

using vaxo::detail::SendQueue;
using namespace std::chrono_literals;

namespace
{
  // Allocations made on this thread while counting.
  thread_local bool counting = false;
  thread_local std::size_t allocations = 0;
}

// Every allocation of this test program passes here, so that a test can
// count those its code makes. GCC, inlining the pair, takes the free of a
// block from operator new for a mismatch: these two are the pair.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t size)
{
  if (counting)
    ++allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size))
    return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept
{
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
  std::free(p);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace
{
  constexpr std::size_t kRoomy = 1 << 20;

  // The texts queued, front first (the unwritten part of a started one).
  std::vector<std::string> texts(const SendQueue& queue)
  {
    std::vector<std::string> out(queue.size() + 1);
    const std::size_t count = queue.gather(out.data(), out.size(), [](const char* bytes, std::size_t size) {
      return std::string(bytes, size);
    });
    out.resize(count);
    return out;
  }

  SendQueue::Pushed push(SendQueue& queue, const std::string& text, SendQueue::Clock::time_point made,
                         std::size_t limit = kRoomy, bool whole = false)
  {
    return queue.push(text.data(), text.size(), made, limit, whole);
  }

  TEST(SendQueueTest, OnlyAPlainAssignmentNamesAVariable)
  {
    EXPECT_EQ(SendQueue::assignedName("head.tilt=-31.5,"), "head.tilt");
    EXPECT_EQ(SendQueue::assignedName("midi.bpm=120,"), "midi.bpm");
    EXPECT_EQ(SendQueue::assignedName("x_2=1e+06,"), "x_2");
    for (const char* other : {"emit midi.key(9,0,60,100),", "freeze t,", "unfreeze t3,", "x=1", "x=,", "=1,",
                              "2x=1,", "x=1,y=2,", "x=f(),", "x=\"a\",", "x==1,", "x=1;", "x = 1,", "x=1, ", ""})
      EXPECT_EQ(SendQueue::assignedName(other), "") << other;
  }

  TEST(SendQueueTest, ALaterAssignmentReplacesTheQueuedOneAndNothingElseMoves)
  {
    SendQueue queue(0ms, true);
    const auto t = SendQueue::Clock::now();
    EXPECT_EQ(push(queue, "a=1,", t), SendQueue::Pushed::Queued);
    EXPECT_EQ(push(queue, "emit e(1),", t), SendQueue::Pushed::Queued);
    EXPECT_EQ(push(queue, "b=1,", t), SendQueue::Pushed::Queued);
    EXPECT_EQ(push(queue, "freeze t,", t), SendQueue::Pushed::Queued);
    EXPECT_EQ(push(queue, "a=2,", t), SendQueue::Pushed::Replaced);
    EXPECT_EQ(push(queue, "emit e(1),", t), SendQueue::Pushed::Queued);
    EXPECT_EQ(push(queue, "unfreeze t,", t), SendQueue::Pushed::Queued);
    EXPECT_EQ(push(queue, "a=3,", t), SendQueue::Pushed::Replaced);
    EXPECT_EQ(push(queue, "ab=3,", t), SendQueue::Pushed::Queued);
    EXPECT_EQ(texts(queue), (std::vector<std::string>{"emit e(1),", "b=1,", "freeze t,", "emit e(1),", "unfreeze t,",
                                                      "a=3,", "ab=3,"}));
    EXPECT_EQ(queue.bytes(), std::string("emit e(1),b=1,freeze t,emit e(1),unfreeze t,a=3,ab=3,").size());

    // A text that may not replace is still the one a later one replaces.
    EXPECT_EQ(queue.push("b=2,", 4, t, kRoomy, false, false), SendQueue::Pushed::Queued);
    EXPECT_EQ(push(queue, "b=3,", t), SendQueue::Pushed::Replaced);
    EXPECT_EQ(texts(queue), (std::vector<std::string>{"emit e(1),", "b=1,", "freeze t,", "emit e(1),", "unfreeze t,",
                                                      "a=3,", "ab=3,", "b=3,"}));

    // Without the rule, every text stays.
    SendQueue plain(0ms, false);
    EXPECT_EQ(push(plain, "a=1,", t), SendQueue::Pushed::Queued);
    EXPECT_EQ(push(plain, "a=2,", t), SendQueue::Pushed::Queued);
    EXPECT_EQ(texts(plain), (std::vector<std::string>{"a=1,", "a=2,"}));
  }

  TEST(SendQueueTest, AStartedAssignmentIsFinishedAndTheNewOneQueuedBehindIt)
  {
    SendQueue queue(0ms, true);
    const auto t = SendQueue::Clock::now();
    push(queue, "a=100,", t);
    int done = 0;
    queue.consume(2, [&](SendQueue::Clock::time_point) { ++done; });
    EXPECT_EQ(done, 0);
    EXPECT_EQ(push(queue, "a=2,", t), SendQueue::Pushed::Queued);
    EXPECT_EQ(push(queue, "a=3,", t), SendQueue::Pushed::Replaced);
    EXPECT_EQ(texts(queue), (std::vector<std::string>{"100,", "a=3,"}));
    queue.consume(8, [&](SendQueue::Clock::time_point) { ++done; });
    EXPECT_EQ(done, 2);
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(queue.bytes(), 0u);
    // The map of assignments forgot the written ones.
    EXPECT_EQ(push(queue, "a=4,", t), SendQueue::Pushed::Queued);
  }

  TEST(SendQueueTest, HeldValuesLeftBehindGiveWayToTheirLatestButAStartedOneIsFinished)
  {
    SendQueue queue(0ms, true);
    const auto t = SendQueue::Clock::now();
    // A burst held on the way out: nothing replaced while it is held.
    for (const char* text : {"a=1,", "emit e(1),", "b=1,", "a=2,", "a=3,", "b=2,"})
      EXPECT_EQ(queue.push(text, std::string(text).size(), t, kRoomy, false, false), SendQueue::Pushed::Queued);
    queue.consume(2, [](SendQueue::Clock::time_point) {});
    // What the socket left: each variable's latest; the event stays in its place.
    EXPECT_EQ(queue.replaceEarlierAssignments(), 2u);
    EXPECT_EQ(texts(queue), (std::vector<std::string>{"1,", "emit e(1),", "a=3,", "b=2,"}));
    EXPECT_EQ(queue.bytes(), std::string("1,emit e(1),a=3,b=2,").size());
    EXPECT_EQ(queue.replaceEarlierAssignments(), 0u);
    EXPECT_EQ(push(queue, "a=4,", t), SendQueue::Pushed::Replaced);
    EXPECT_EQ(texts(queue), (std::vector<std::string>{"1,", "emit e(1),", "b=2,", "a=4,"}));

    // Without latest value wins every value stays.
    SendQueue keeping(0ms, false);
    push(keeping, "a=1,", t);
    push(keeping, "a=2,", t);
    EXPECT_EQ(keeping.replaceEarlierAssignments(), 0u);
    EXPECT_EQ(keeping.size(), 2u);
  }

  TEST(SendQueueTest, TextsOlderThanTheLimitAreDroppedButNotUploadsAStartedTextOrAVariablesLatestValue)
  {
    SendQueue queue(1000ms, true);
    const auto t0 = SendQueue::Clock::now();
    push(queue, "emit e(0),", t0);
    push(queue, "upload;", t0, kRoomy, true);
    push(queue, "emit e(1),", t0 + 100ms);
    push(queue, "a=1,", t0 + 500ms);
    push(queue, "emit e(2),", t0 + 900ms);
    queue.consume(3, [](SendQueue::Clock::time_point) {});

    EXPECT_EQ(queue.dropExpired(t0 + 1000ms), 0u);
    // e(0) is started: it goes out whole. The upload never ages.
    EXPECT_EQ(queue.dropExpired(t0 + 1200ms), 1u);
    EXPECT_EQ(texts(queue), (std::vector<std::string>{"t e(0),", "upload;", "a=1,", "emit e(2),"}));
    // The assignment is a's latest value, the robot's current one: it stays.
    EXPECT_EQ(queue.dropExpired(t0 + 5000ms), 1u);
    EXPECT_EQ(texts(queue), (std::vector<std::string>{"t e(0),", "upload;", "a=1,"}));
    EXPECT_EQ(queue.bytes(), 18u);
    EXPECT_EQ(push(queue, "a=2,", t0 + 5000ms), SendQueue::Pushed::Replaced);

    // Without latest value wins an assignment is a text like any other.
    SendQueue keeping(1000ms, false);
    push(keeping, "a=1,", t0);
    EXPECT_EQ(keeping.dropExpired(t0 + 5000ms), 1u);

    SendQueue unlimited(0ms, true);
    push(unlimited, "emit e(0),", t0);
    EXPECT_EQ(unlimited.dropExpired(t0 + 24h), 0u);
  }

  TEST(SendQueueTest, TheBoundCountsTheReplacedBytesAndEmptyTextsAreNotQueued)
  {
    SendQueue queue(0ms, true);
    const auto t = SendQueue::Clock::now();
    EXPECT_EQ(push(queue, "a=1,", t, 8), SendQueue::Pushed::Queued);
    EXPECT_EQ(push(queue, "b=1,", t, 8), SendQueue::Pushed::Queued);
    EXPECT_EQ(push(queue, "c=1,", t, 8), SendQueue::Pushed::Full);
    EXPECT_EQ(push(queue, "a=22,", t, 8), SendQueue::Pushed::Full);
    EXPECT_EQ(push(queue, "a=2,", t, 8), SendQueue::Pushed::Replaced);
    EXPECT_EQ(push(queue, "upload;", t, 8, true), SendQueue::Pushed::Queued);
    EXPECT_EQ(queue.push("", 0, t, 8, false), SendQueue::Pushed::Empty);
    EXPECT_EQ(queue.push("", 0, t, 8, true), SendQueue::Pushed::Empty);
    EXPECT_EQ(texts(queue), (std::vector<std::string>{"b=1,", "a=2,", "upload;"}));
    EXPECT_EQ(queue.clear(), 3u);
    EXPECT_EQ(queue.bytes(), 0u);
  }

  TEST(SendQueueTest, ATextQueuedAndWrittenCostsNoAllocationOnceTheQueueHasRun)
  {
    SendQueue queue(1000ms, true);
    const auto t = SendQueue::Clock::now();
    // A burst of events and values, queued and then written.
    auto burst = [&] {
      for (int i = 0; i < 200; ++i)
      {
        push(queue, "emit midi.key(9,0,60,100),", t);
        push(queue, "head.tilt=" + std::to_string(i % 10) + ",", t);
      }
      queue.consume(queue.bytes(), [](SendQueue::Clock::time_point) {});
    };
    burst();
    const std::string event = "emit midi.key(9,0,60,100),";
    const std::string value = "head.tilt=3,";
    counting = true;
    allocations = 0;
    for (int i = 0; i < 200; ++i)
    {
      queue.push(event.data(), event.size(), t, kRoomy, false);
      queue.push(value.data(), value.size(), t, kRoomy, false);
    }
    queue.consume(queue.bytes(), [](SendQueue::Clock::time_point) {});
    counting = false;
    EXPECT_EQ(allocations, 0u);
    EXPECT_TRUE(queue.empty());
  }

  TEST(SendQueueTest, LongTextsAndManyVariablesAreKeptWholeAndStillReplaced)
  {
    SendQueue queue(0ms, true);
    const auto t = SendQueue::Clock::now();
    // Past what a text keeps inside itself, and past the variables remembered.
    const std::string longValue = "a.rather.long.variable.name=" + std::string(60, '7') + ",";
    push(queue, longValue, t);
    for (int i = 0; i < 5000; ++i)
    {
      push(queue, "v" + std::to_string(i) + "=1,", t);
      if (i % 2 == 0)
        queue.consume(queue.bytes(), [](SendQueue::Clock::time_point) {});
    }
    push(queue, "v4999=2,", t);
    EXPECT_EQ(texts(queue), (std::vector<std::string>{"v4999=2,"}));
    push(queue, longValue, t);
    EXPECT_EQ(push(queue, "a.rather.long.variable.name=8,", t), SendQueue::Pushed::Replaced);
    EXPECT_EQ(texts(queue), (std::vector<std::string>{"v4999=2,", "a.rather.long.variable.name=8,"}));
    EXPECT_EQ(queue.bytes(), 8u + 30u);
  }

  TEST(LatencyHistogramTest, EachLatencyFallsInTheBucketOfItsUpperBound)
  {
    VLatencyHistogram histogram;
    histogram.record(std::chrono::nanoseconds(-5));
    histogram.record(50us);
    histogram.record(51us);
    histogram.record(1ms);
    histogram.record(2s);
    histogram.record(3s);
    const VLatencyHistogram::Counts counts = histogram.read();
    VLatencyHistogram::Counts expected{};
    expected[0] = 2;   // up to 50 us
    expected[1] = 1;   // up to 100 us
    expected[4] = 1;   // up to 1 ms
    expected[14] = 1;  // up to 2 s
    expected[15] = 1;  // beyond
    EXPECT_EQ(counts, expected);
  }
}
