// Event dispatch: slots, filters, order, the kinds that reach no action, and
// the trace lines by debug level.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "bridge/midi.h"
#include "support/cerr_capture.h"

namespace
{
  /// One call of execute, with the id of the operation that got it.
  struct Call
  {
    int id;
    int robotMask;
    int kind;
    int slot;
    int data1;
    int data2;
    bool operator==(const Call& other) const
    {
      return id == other.id && robotMask == other.robotMask && kind == other.kind &&
             slot == other.slot && data1 == other.data1 && data2 == other.data2;
    }
  };

  std::ostream& operator<<(std::ostream& out, const Call& c)
  {
    return out << "{id " << c.id << " mask " << c.robotMask << " kind " << c.kind << " slot "
               << c.slot << " " << c.data1 << " " << c.data2 << "}";
  }

  /// Appends every call it gets to a shared list.
  class RecordingOperation : public Midi::Operation
  {
  public:
    RecordingOperation(int id, std::vector<Call>& calls) : id_(id), calls_(calls) {}
    void execute(int robotMask, int kind, int slot, int data1, int data2) override
    {
      calls_.push_back({id_, robotMask, kind, slot, data1, data2});
    }

  private:
    int id_;
    std::vector<Call>& calls_;
  };

  /// Sets bits of the bridge's parameter word when executed.
  class ParameterBitsOperation : public Midi::Operation
  {
  public:
    explicit ParameterBitsOperation(std::uint32_t bits) : bits_(bits) {}
    void execute(int, int, int, int, int) override { midi->parameter |= bits_; }

  private:
    std::uint32_t bits_;
  };

  /// Raises an error when executed.
  class FailingOperation : public Midi::Operation
  {
  public:
    void execute(int, int, int, int, int) override { throw std::runtime_error("execute failed"); }
  };

  /// Checks that the bridge's lock is held while it executes: releasing a
  /// mutex the thread doesn't own aborts the process.
  class LockCheckingOperation : public Midi::Operation
  {
  public:
    void execute(int, int, int, int, int) override
    {
      midi->lock.unlock();
      midi->lock.lock();
      ++executed;
    }
    int executed = 0;
  };

  /// Stays inside execute until released, holding whatever the walk holds.
  class BlockingOperation : public Midi::Operation
  {
  public:
    void execute(int, int, int, int, int) override
    {
      std::unique_lock<std::mutex> guard(mutex_);
      ++executed;
      changed_.notify_all();
      changed_.wait(guard, [this] { return released_; });
    }

    /// Waits until a walk is inside execute.
    void waitUntilEntered()
    {
      std::unique_lock<std::mutex> guard(mutex_);
      changed_.wait(guard, [this] { return executed > 0; });
    }

    /// Lets execute return.
    void release()
    {
      std::lock_guard<std::mutex> guard(mutex_);
      released_ = true;
      changed_.notify_all();
    }

    int executed = 0;  // guarded by mutex_ until the walk ends

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool released_ = false;
  };

  class Dispatch : public ::testing::Test
  {
  protected:
    /// A recording operation with id `id`, owned by the fixture.
    std::shared_ptr<Midi::Operation> recorder(int id)
    {
      return keep(std::make_shared<RecordingOperation>(id, calls));
    }

    std::shared_ptr<Midi::Operation> keep(std::shared_ptr<Midi::Operation> operation)
    {
      operation->midi = &midi;
      return operation;
    }

    // A record of `op` in `slot`; the tables share the operation.
    void add(int slot, std::uint8_t filterValue, std::uint8_t filterMask, std::shared_ptr<Midi::Operation> op,
             int robotMask = -1, std::uint32_t parameterValue = 0, std::uint32_t parameterMask = 0)
    {
      midi.actions[slot].push_back(
          Midi::Action{filterValue, filterMask, parameterValue, parameterMask, std::move(op), robotMask});
    }

    std::vector<Call> calls;
    Midi midi;
  };

  TEST_F(Dispatch, NotesGoToTheChannelSlotAndControlChangesToChannelPlus16)
  {
    add(3, 0, 0, recorder(3), 0x5);
    add(19, 0, 0, recorder(19), 0x6);

    midi.onMessage(9, 3, 60, 100);
    midi.onMessage(8, 3, 61, 0);
    midi.onMessage(11, 3, 7, 127);
    // Other channels reach neither table.
    midi.onMessage(9, 4, 60, 100);
    midi.onMessage(11, 2, 7, 127);

    const std::vector<Call> expected = {
        {3, 0x5, 9, 3, 60, 100},
        {3, 0x5, 8, 3, 61, 0},
        {19, 0x6, 11, 19, 7, 127},
    };
    EXPECT_EQ(calls, expected);
  }

  TEST_F(Dispatch, EveryMatchExecutesInInstallationOrder)
  {
    add(0, 60, 0x7F, recorder(1));
    add(0, 61, 0x7F, recorder(2));  // doesn't match 60
    add(0, 0, 0, recorder(3));
    add(0, 60, 0xFF, recorder(4));

    midi.onMessage(9, 0, 60, 1);

    const std::vector<Call> expected = {
        {1, -1, 9, 0, 60, 1}, {3, -1, 9, 0, 60, 1}, {4, -1, 9, 0, 60, 1}};
    EXPECT_EQ(calls, expected);
  }

  struct MaskCase
  {
    std::uint8_t value;
    std::uint8_t mask;
    int firstMatch;  // -1: none
    int lastMatch;
  };

  class DispatchMask : public Dispatch, public ::testing::WithParamInterface<MaskCase>
  {
  };

  TEST_P(DispatchMask, MatchesExactlyTheData1ValuesOfTheFilter)
  {
    const MaskCase c = GetParam();
    add(0, c.value, c.mask, recorder(0));
    for (int data1 = 0; data1 < 128; ++data1)
      midi.onMessage(9, 0, static_cast<std::uint8_t>(data1), 100);

    std::vector<int> matched;
    for (const Call& call : calls)
      matched.push_back(call.data1);
    std::vector<int> expected;
    if (c.firstMatch >= 0)
      for (int d = c.firstMatch; d <= c.lastMatch; ++d)
        expected.push_back(d);
    EXPECT_EQ(matched, expected);
  }

  INSTANTIATE_TEST_SUITE_P(Filters, DispatchMask,
                           ::testing::Values(MaskCase{60, 0x7F, 60, 60},
                                             MaskCase{0x30, 0x70, 0x30, 0x3F},
                                             MaskCase{0x31, 0x70, -1, -1},
                                             MaskCase{0, 0, 0, 127}));

  TEST_F(Dispatch, ParameterFilterSeesChangesMadeEarlierInTheSameEvent)
  {
    add(0, 0, 0, recorder(1), -1, 0x1, 0x1);  // before the setter: not revisited
    add(0, 0, 0, keep(std::make_unique<ParameterBitsOperation>(0x1)));
    add(0, 0, 0, recorder(2), -1, 0x1, 0x1);
    add(0, 0, 0, recorder(3), -1, 0x0, 0x1);  // wants bit 0 clear

    midi.onMessage(9, 0, 60, 100);
    const std::vector<Call> first = {{2, -1, 9, 0, 60, 100}};
    EXPECT_EQ(calls, first);

    calls.clear();
    midi.onMessage(9, 0, 60, 100);
    const std::vector<Call> second = {{1, -1, 9, 0, 60, 100}, {2, -1, 9, 0, 60, 100}};
    EXPECT_EQ(calls, second);
  }

  TEST_F(Dispatch, ParameterFilterComparesTheWholeWord)
  {
    add(0, 0, 0, recorder(1), -1, 0x80000000u, 0xFFFFFFFFu);
    midi.parameter = 0x80000001u;
    midi.onMessage(9, 0, 1, 1);
    EXPECT_TRUE(calls.empty());
    midi.parameter = 0x80000000u;
    midi.onMessage(9, 0, 1, 1);
    EXPECT_EQ(calls.size(), 1u);
  }

  TEST_F(Dispatch, OtherKindsReachNoAction)
  {
    for (int slot = 0; slot < Midi::slotCount; ++slot)
      add(slot, 0, 0, recorder(slot));
    for (std::uint8_t kind : {10, 12, 13, 14, 15})
      for (std::uint8_t channel = 0; channel < 16; ++channel)
        midi.onMessage(kind, channel, 60, 100);
    EXPECT_TRUE(calls.empty());
  }

  TEST_F(Dispatch, SystemMessagesGoToTheRealtimeClock)
  {
    midi.onMessage(15, 10, 0, 0);  // start
    EXPECT_TRUE(midi.running);
    midi.onMessage(15, 8, 0, 0);  // clock
    EXPECT_EQ(midi.clockCount, 1);
    midi.onMessage(15, 12, 0, 0);  // stop
    EXPECT_FALSE(midi.running);
  }

  TEST_F(Dispatch, AnErrorInAnOperationEndsTheWalkAndReleasesTheLock)
  {
    add(0, 0, 0, recorder(1));
    add(0, 0, 0, keep(std::make_unique<FailingOperation>()));
    add(0, 0, 0, recorder(2));

    EXPECT_THROW(midi.onMessage(9, 0, 60, 100), std::runtime_error);
    const std::vector<Call> expected = {{1, -1, 9, 0, 60, 100}};
    EXPECT_EQ(calls, expected);

    // Another thread can take the lock, so the guard released it.
    bool taken = false;
    std::thread other([&] {
      std::lock_guard<Lockable> guard(midi.lock);
      taken = true;
    });
    other.join();
    EXPECT_TRUE(taken);
  }

  using DispatchDeathTest = Dispatch;

  TEST_F(DispatchDeathTest, OperationsRunWithTheLockHeld)
  {
    auto checking = std::make_unique<LockCheckingOperation>();
    LockCheckingOperation* op = checking.get();
    add(16, 0, 0, keep(std::move(checking)));
    EXPECT_EXIT(
        {
          midi.onMessage(11, 0, 1, 2);
          std::exit(op->executed == 1 ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
  }

  TEST_F(Dispatch, AnInstallationWaitsForTheWalkOfItsSlot)
  {
    // The walk stays inside an operation while another thread installs on
    // the same slot. The installation can only end after the walk: were
    // either side without the lock, the table would grow under the walk.
    auto blocking = std::make_unique<BlockingOperation>();
    BlockingOperation* op = blocking.get();
    add(0, 0, 0, keep(std::move(blocking)));

    std::thread walker([&] { midi.onMessage(9, 0, 60, 100); });
    op->waitUntilEntered();

    std::mutex mutex;
    std::condition_variable changed;
    Midi::Operation* installed = nullptr;
    bool done = false;
    std::thread installer([&] {
      Midi::Operation* result = midi.installAction(1, 0, 0, 0, 0, "EmitMap", {"x"}, -1);
      std::lock_guard<std::mutex> guard(mutex);
      installed = result;
      done = true;
      changed.notify_all();
    });
    {
      // A moment in which an installation that ignores the lock ends.
      std::unique_lock<std::mutex> guard(mutex);
      EXPECT_FALSE(changed.wait_for(guard, std::chrono::milliseconds(200), [&] { return done; }));
    }

    op->release();
    walker.join();
    installer.join();
    ASSERT_NE(installed, nullptr);
    ASSERT_EQ(midi.actions[0].size(), 2u);
    EXPECT_EQ(midi.actions[0][1].operation.get(), installed);
    EXPECT_EQ(op->executed, 1);
  }

  // --- traces -------------------------------------------------------------

  class DispatchTrace : public Dispatch
  {
  protected:
    std::string traceOf(int level, std::uint8_t kind, std::uint8_t channel, std::uint8_t data1,
                        std::uint8_t data2)
    {
      midi.debugLevel = level;
      notara::test::CerrCapture capture;
      midi.onMessage(kind, channel, data1, data2);
      midi.debugLevel = 0;
      return capture.text();
    }

    static std::string address(const Midi::Operation* op)
    {
      return std::to_string(reinterpret_cast<std::intptr_t>(op));
    }
  };

  TEST_F(DispatchTrace, MessageLineOnlyAtLevelsSixToNineAndAboveTen)
  {
    const std::string line = "9 Note on 0 60 100\n";
    EXPECT_EQ(traceOf(0, 9, 0, 60, 100), "");
    EXPECT_EQ(traceOf(5, 9, 0, 60, 100), "");
    EXPECT_EQ(traceOf(6, 9, 0, 60, 100), line);
    EXPECT_EQ(traceOf(7, 9, 0, 60, 100), line);
    EXPECT_EQ(traceOf(9, 9, 0, 60, 100), line);
    EXPECT_EQ(traceOf(10, 9, 0, 60, 100), "");
    // 6 to 9 trace only the kinds that can match; above 10 every channel kind.
    EXPECT_EQ(traceOf(7, 11, 1, 7, 127), "11 parameter 1 7 127\n");
    EXPECT_EQ(traceOf(7, 12, 0, 5, 0), "");
    EXPECT_EQ(traceOf(11, 12, 0, 5, 0), "12 program 0 5 0\n");
    EXPECT_EQ(traceOf(11, 14, 0, 0, 64), "14 pitch wheel 0 0 64\n");
  }

  TEST_F(DispatchTrace, CountMatchAndTryingLinesByLevel)
  {
    const std::shared_ptr<Midi::Operation> shared = recorder(1);
    Midi::Operation* matching = shared.get();
    add(0, 60, 0x7F, shared);
    add(0, 61, 0x7F, recorder(2), -1, 0x80000000u, 0xFFFFFFFFu);

    const std::string message = "9 Note on 0 60 100\n";
    const std::string count = "2 actions on channel 0\n";
    const std::string match = address(matching) + " has a matching filter, execing..\n";

    EXPECT_EQ(traceOf(11, 9, 0, 60, 100), message + count);
    EXPECT_EQ(traceOf(20, 9, 0, 60, 100), message + count);
    EXPECT_EQ(traceOf(21, 9, 0, 60, 100), message + count + match);
    EXPECT_EQ(traceOf(50, 9, 0, 60, 100), message + count + match);
    EXPECT_EQ(traceOf(51, 9, 0, 60, 100),
              message + count + "trying 60 on filter 60/127=0/0\n" + match +
                  "trying 60 on filter 61/127=2147483648/4294967295\n");
  }

  TEST_F(DispatchTrace, EmptyTableStillGivesTheCountLineWithTheSlot)
  {
    EXPECT_EQ(traceOf(11, 9, 5, 60, 100), "9 Note on 5 60 100\n0 actions on channel 5\n");
    EXPECT_EQ(traceOf(11, 11, 2, 7, 1), "11 parameter 2 7 1\n0 actions on channel 18\n");
  }

  TEST_F(DispatchTrace, SystemMessagesAreTracedOnlyAboveTenThousand)
  {
    // Active sensing: the realtime clock ignores it apart from its own line.
    EXPECT_EQ(traceOf(11, 15, 14, 0, 0), "");
    EXPECT_EQ(traceOf(10000, 15, 14, 0, 0), "Realtime 14 0\n");
    EXPECT_EQ(traceOf(10001, 15, 14, 0, 0), "15 realtime sensing 0 0\nRealtime 14 0\n");
  }
}
