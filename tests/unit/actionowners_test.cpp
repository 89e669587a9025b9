// Ownership of actions: Midi::withdrawActions takes away exactly one robot's
// registered actions and frees their operations, never under a running
// walk; the bound on what one owner may register.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "bridge/actionowners.h"
#include "bridge/midi.h"
#include "support/cerr_capture.h"

namespace
{
  // Counts the live instances of its kind and the events it executes, by
  // its setup's first word.
  class CountedOperation : public Midi::Operation
  {
  public:
    static int live;
    static std::vector<std::string> executed;

    CountedOperation() { ++live; }
    ~CountedOperation() override { --live; }
    bool setup(const std::vector<std::string>& params) override
    {
      name_ = params.empty() ? "" : params[0];
      return true;
    }
    void execute(int, int, int, int, int) override { executed.push_back(name_); }

  private:
    std::string name_;
  };
  int CountedOperation::live = 0;
  std::vector<std::string> CountedOperation::executed;

  const Midi::OperationRegistration countedRegistration(
      "owners.Counted", [] { return static_cast<Midi::Operation*>(new CountedOperation); });

  class Owners : public ::testing::Test
  {
  protected:
    Owners()
    {
      CountedOperation::live = 0;
      CountedOperation::executed.clear();
    }


    Midi::Operation* install(std::uint32_t channelMask, const std::string& name, int owner)
    {
      return midi.installAction(channelMask, 0, 0, 0, 0, "owners.Counted", {name}, -1, owner);
    }

    /// The names executed by one note on channel slot `slot`.
    std::vector<std::string> play(int slot)
    {
      CountedOperation::executed.clear();
      midi.onMessage(9, static_cast<std::uint8_t>(slot), 60, 100);
      return CountedOperation::executed;
    }

    Midi midi;
  };

  using Names = std::vector<std::string>;

  TEST_F(Owners, WithdrawTakesOnlyThatRobotsActionsAndFreesEachOperationOnce)
  {
    ASSERT_NE(install(0b11, "conf1", Midi::configurationOwner), nullptr);
    ASSERT_NE(install(0b11, "robot3a", 3), nullptr);
    ASSERT_NE(install(0b01, "robot4", 4), nullptr);
    // One operation in three slots, as a TagSwitch shared by several slots.
    ASSERT_NE(install(0b111, "robot3b", 3), nullptr);
    ASSERT_NE(install(0b01, "conf2", Midi::configurationOwner), nullptr);
    ASSERT_EQ(CountedOperation::live, 5);
    ASSERT_EQ(play(0), (Names{"conf1", "robot3a", "robot4", "robot3b", "conf2"}));

    EXPECT_EQ(midi.withdrawActions(3), 2u);
    EXPECT_EQ(CountedOperation::live, 3);
    // The others keep their order; slot 2 held robot 3's action alone.
    EXPECT_EQ(play(0), (Names{"conf1", "robot4", "conf2"}));
    EXPECT_EQ(play(1), (Names{"conf1"}));
    EXPECT_TRUE(midi.actions[2].empty());

    // Nothing left to withdraw; the configuration has no robot slot to
    // withdraw by, and slots beyond the robots' withdraw nothing.
    EXPECT_EQ(midi.withdrawActions(3), 0u);
    for (int slot : {Midi::configurationOwner, Midi::slotCount, ActionOwners::unknownRobot, -7})
      EXPECT_EQ(midi.withdrawActions(slot), 0u) << slot;
    EXPECT_EQ(CountedOperation::live, 3);
    EXPECT_EQ(play(0), (Names{"conf1", "robot4", "conf2"}));

    EXPECT_EQ(midi.withdrawActions(4), 1u);
    EXPECT_EQ(CountedOperation::live, 2);
    EXPECT_EQ(play(0), (Names{"conf1", "conf2"}));
  }

  TEST_F(Owners, ARobotThatRegistersOnEveryConnectionKeepsOneCopy)
  {
    for (int connection = 0; connection < 4; ++connection)
    {
      midi.withdrawActions(6);
      ASSERT_NE(install(0b1, "drum", 6), nullptr);
    }
    EXPECT_EQ(play(0), Names{"drum"});
    EXPECT_EQ(CountedOperation::live, 1);
    EXPECT_EQ(midi.owners->held(6), 1u);
  }

  TEST_F(Owners, EachRobotMayRegisterUpToTheBoundAndIsToldOnceWhenRefused)
  {
    static_assert(ActionOwners::recordLimit % 32 == 0, "the test fills the bound with all slots");
    const int fills = static_cast<int>(ActionOwners::recordLimit / 32) - 1;
    for (int i = 0; i < fills; ++i)
      ASSERT_NE(install(0xFFFFFFFFu, "fill", 2), nullptr) << i;
    // 992 held: 32 more fit exactly, 33 don't.
    {
      notara::test::CerrCapture capture;
      EXPECT_NE(install(0xFFFFFFFFu, "over", 2), nullptr);
      EXPECT_EQ(capture.text(), "");
    }
    const int liveAtTheBound = CountedOperation::live;
    {
      notara::test::CerrCapture capture;
      EXPECT_EQ(install(0b1, "refused", 2), nullptr);
      EXPECT_EQ(install(0b11, "refusedAgain", 2), nullptr);
      // One line, for the first refusal only.
      const std::string log = capture.text();
      EXPECT_EQ(log.rfind("Midi::installAction: robot 2 holds 1024 ", 0), 0u) << log;
      EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    }
    // Refused operations are released, and nothing was appended.
    EXPECT_EQ(CountedOperation::live, liveAtTheBound);
    EXPECT_EQ(midi.actions[0].size(), ActionOwners::recordLimit / 32);

    // Another robot is not held up by it, and the configuration has no bound.
    EXPECT_NE(install(0b1, "other", 3), nullptr);
    for (int i = 0; i <= fills + 1; ++i)
      ASSERT_NE(install(0xFFFFFFFFu, "conf", Midi::configurationOwner), nullptr) << i;

    // Withdrawn, the robot starts afresh, and a new refusal is told again.
    midi.withdrawActions(2);
    for (int i = 0; i <= fills; ++i)
      ASSERT_NE(install(0xFFFFFFFFu, "fill", 2), nullptr) << i;
    notara::test::CerrCapture capture;
    EXPECT_EQ(install(0b1, "refused", 2), nullptr);
    EXPECT_NE(capture.text().find("robot 2 holds 1024"), std::string::npos) << capture.text();
  }

  // An operation that holds its walk inside execute until released, and
  // tells whether it was freed while executing.
  class BlockingOperation : public Midi::Operation
  {
  public:
    std::promise<void> entered;
    std::promise<void> release;
    std::atomic<bool> executing{false};
    static std::atomic<int> freed;
    static std::atomic<bool> freedWhileExecuting;

    ~BlockingOperation() override
    {
      freedWhileExecuting = freedWhileExecuting || executing;
      ++freed;
    }
    void execute(int, int, int, int, int) override
    {
      executing = true;
      entered.set_value();
      release.get_future().wait();
      executing = false;
    }
  };
  std::atomic<int> BlockingOperation::freed{0};
  std::atomic<bool> BlockingOperation::freedWhileExecuting{false};

  TEST_F(Owners, AWithdrawalWaitsForTheWalkThatExecutesTheOperation)
  {
    BlockingOperation::freed = 0;
    BlockingOperation::freedWhileExecuting = false;
    auto owned = std::make_shared<BlockingOperation>();
    BlockingOperation* blocking = owned.get();
    blocking->midi = &midi;
    midi.actions[16].push_back(Midi::Action{0, 0, 0, 0, std::move(owned), -1, 5});
    ASSERT_NE(install(1u << 16, "after", 5), nullptr);
    std::future<void> entered = blocking->entered.get_future();

    std::thread midiThread([&] { midi.onMessage(11, 0, 7, 1); });
    entered.wait();
    std::future<std::size_t> withdrawn =
        std::async(std::launch::async, [&] { return midi.withdrawActions(5); });
    // While execute runs, the walk holds the lock, so the withdrawal can't
    // finish (this wait only gives a wrong one the chance to).
    EXPECT_EQ(withdrawn.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    EXPECT_EQ(BlockingOperation::freed, 0);

    blocking->release.set_value();
    midiThread.join();
    EXPECT_EQ(withdrawn.get(), 2u);
    EXPECT_EQ(BlockingOperation::freed, 1);
    EXPECT_FALSE(BlockingOperation::freedWhileExecuting);
    // The walk went on to the record after the blocking one.
    EXPECT_EQ(CountedOperation::executed, Names{"after"});
    EXPECT_EQ(CountedOperation::live, 0);
    EXPECT_TRUE(midi.actions[16].empty());
  }

  // Withdraws its own robot's actions from inside execute, as a robot
  // connecting again on the MIDI thread would.
  class SelfWithdrawingOperation : public Midi::Operation
  {
  public:
    static std::size_t withdrawn;
    static int liveAfterWithdrawal;
    void execute(int, int, int, int, int) override
    {
      withdrawn = midi->withdrawActions(7);
      // Freed by the call above, this read of a member would be a use
      // after free (the sanitizer build reports it).
      if (midi != nullptr)
        liveAfterWithdrawal = CountedOperation::live;
    }
  };
  std::size_t SelfWithdrawingOperation::withdrawn = 0;
  int SelfWithdrawingOperation::liveAfterWithdrawal = -1;

  TEST_F(Owners, AWithdrawalInsideAWalkFreesItsOperationsWhenTheWalkEnds)
  {
    ASSERT_NE(install(0b1, "before", 7), nullptr);
    auto self = std::make_shared<SelfWithdrawingOperation>();
    self->midi = &midi;
    midi.actions[0].push_back(Midi::Action{0, 0, 0, 0, std::move(self), -1, 7});
    ASSERT_NE(install(0b1, "after", 7), nullptr);
    ASSERT_NE(install(0b1, "conf", Midi::configurationOwner), nullptr);

    // The walk goes on past the withdrawn records to the configuration's,
    // which moved to the front of the table as far as a later walk sees.
    const std::set<Midi::Operation*> remaining{midi.actions[0].back().operation.get()};
    EXPECT_EQ(play(0), (Names{"before", "conf"}));
    EXPECT_EQ(SelfWithdrawingOperation::withdrawn, 3u);
    // Within the walk, none of them was freed yet.
    EXPECT_EQ(SelfWithdrawingOperation::liveAfterWithdrawal, 3);
    EXPECT_EQ(CountedOperation::live, 1);
    ASSERT_EQ(midi.actions[0].size(), 1u);
    EXPECT_EQ(remaining.count(midi.actions[0][0].operation.get()), 1u);
    EXPECT_EQ(play(0), Names{"conf"});
  }
}
