// The operation registry and Midi::installAction: lookup by name, the
// installation traces, the records appended and the release of operations
// that are not installed.
#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bridge/midi.h"
#include "midiop/emitmap.h"
#include "midiop/tagmap.h"
#include "support/cerr_capture.h"

namespace
{
  // An operation whose setup does what its first parameter says ("accept",
  // "reject", "refuse" with a reason, or "throw") and which counts the live
  // instances of its kind.
  class CountedOperation : public Midi::Operation
  {
  public:
    static int live;
    Midi* midiDuringSetup = nullptr;

    CountedOperation() { ++live; }
    ~CountedOperation() override { --live; }

    bool setup(const std::vector<std::string>& params) override
    {
      midiDuringSetup = midi;
      if (!params.empty() && params[0] == "throw")
        throw std::invalid_argument("CountedOperation::setup: throw");
      if (!params.empty() && params[0] == "refuse")
        return refuse("test.Counted: told to refuse");
      return params.empty() || params[0] != "reject";
    }
    void execute(int, int, int, int, int) override {}
  };
  int CountedOperation::live = 0;

  const Midi::OperationRegistration countedRegistration(
      "test.Counted", [] { return static_cast<Midi::Operation*>(new CountedOperation); });
  const Midi::OperationRegistration nullRegistration(
      "test.NullCreator", []() -> Midi::Operation* { return nullptr; });

  // A bridge that releases the operations installed in it, so that the
  // leak checker sees only real leaks.
  struct Bridge
  {
    Midi midi;


    Midi::Operation* install(std::uint32_t channelMask, const std::string& name,
                             const std::vector<std::string>& params)
    {
      return midi.installAction(channelMask, 60, 255, 0, 0, name, params, 1);
    }
  };

  std::vector<std::string> registeredNames()
  {
    std::vector<std::string> names;
    if (Midi::operationRegistry != nullptr)
      for (const Midi::OperationRegistration* registration : *Midi::operationRegistry)
        names.push_back(registration->name);
    return names;
  }

  TEST(Registry, HoldsEachOperationKindOnceUnderItsName)
  {
    const std::vector<std::string> names = registeredNames();
    for (const char* kind : {"DirectMap", "ParameterSet", "EmitMap", "TagMap", "TagSwitch"})
      EXPECT_EQ(std::count(names.begin(), names.end(), kind), 1) << kind;
  }

  TEST(Registry, CreatesTheKindNamedExactly)
  {
    Bridge bridge;
    Midi::Operation* emit = bridge.install(1, "EmitMap", {"pad"});
    ASSERT_NE(emit, nullptr);
    EXPECT_NE(dynamic_cast<midiop::EmitMap*>(emit), nullptr);
    EXPECT_EQ(emit->midi, &bridge.midi);

    Midi::Operation* tag = bridge.install(1, "TagMap", {"walk"});
    ASSERT_NE(tag, nullptr);
    EXPECT_NE(dynamic_cast<midiop::TagMap*>(tag), nullptr);
  }

  TEST(Registry, SetupSeesTheBridgeAlreadySet)
  {
    Bridge bridge;
    auto* operation = static_cast<CountedOperation*>(bridge.install(1, "test.Counted", {}));
    ASSERT_NE(operation, nullptr);
    EXPECT_EQ(operation->midiDuringSetup, &bridge.midi);
  }

  TEST(Registry, UnknownNameWrongCaseOrNullCreatorFindsNothing)
  {
    for (const std::string name : {"directmap", "DirectMap ", "NoSuchKind", "", "test.NullCreator"})
    {
      Bridge bridge;
      bridge.midi.debugLevel = 2;
      notara::test::CerrCapture capture;
      EXPECT_EQ(bridge.install(1, name, {"pos", "0", "2", "10"}), nullptr) << name;
      EXPECT_EQ(capture.text(), "Factory creation failed for " + name + "\n");
      EXPECT_TRUE(bridge.midi.actions[0].empty());
    }

    Bridge quiet;
    quiet.midi.debugLevel = 1;
    notara::test::CerrCapture capture;
    EXPECT_EQ(quiet.install(1, "directmap", {}), nullptr);
    EXPECT_EQ(capture.text(), "");
  }

  TEST(Registry, ASetupThatRejectsOrThrowsReleasesTheOperation)
  {
    // A refusal is traced above level 2, and a throw passes on untraced;
    // either way the operation is freed, no record stays and the lock is
    // not left held: the next installation goes through.
    for (const bool throws : {false, true})
    {
      CountedOperation::live = 0;
      Bridge bridge;
      bridge.midi.debugLevel = throws ? 100 : 3;
      notara::test::CerrCapture capture;
      if (throws)
        EXPECT_THROW(bridge.install(3, "test.Counted", {"throw"}), std::invalid_argument);
      else
        EXPECT_EQ(bridge.install(3, "test.Counted", {"reject"}), nullptr);
      EXPECT_EQ(capture.text(), throws ? "" : "Setup failed for test.Counted\n");
      EXPECT_EQ(CountedOperation::live, 0);
      EXPECT_TRUE(bridge.midi.actions[0].empty());
      EXPECT_TRUE(bridge.midi.actions[1].empty());
      EXPECT_NE(bridge.install(1, "test.Counted", {}), nullptr);
      EXPECT_EQ(bridge.midi.actions[0].size(), 1u);
    }
    // A kind of the program rejected the same way, below the trace threshold.
    Bridge bridge;
    bridge.midi.debugLevel = 2;
    notara::test::CerrCapture capture;
    EXPECT_EQ(bridge.install(1, "ParameterSet", {"1", "2"}), nullptr);
    EXPECT_EQ(capture.text(), "");
  }

  TEST(Registry, EachFailureSaysWhyAtEveryDebugLevel)
  {
    // What the caller's line shows (the configuration's error, say), with
    // no trace on: the name, the operations there are, the kind's reason.
    const struct
    {
      std::uint32_t channelMask;
      const char* name;
      std::vector<std::string> params;
      int owner;
      std::string failure;
    } cases[] = {
      {1, "directmap", {}, Midi::configurationOwner, "unknown operation directmap; the operations are DirectMap, EmitMap, "},
      {1, "Bad\x1b[2J", {}, Midi::configurationOwner, "unknown operation Bad\\u001b[2J; "},
      {1, "test.NullCreator", {}, Midi::configurationOwner, "operation test.NullCreator could not be made"},
      {1, "test.Counted", {"reject"}, Midi::configurationOwner, "test.Counted refused its 1 parameter"},
      {1, "test.Counted", {"refuse", "x"}, Midi::configurationOwner, "test.Counted: told to refuse"},
      {1, "TagSwitch", {"dance"}, Midi::configurationOwner, "TagSwitch: needs TAG INITIALSTATE, got 1 parameter"},
      {0, "EmitMap", {"pad"}, 4, "channel mask 0 puts it on no channel slot"},
    };
    for (const auto& c : cases)
    {
      SCOPED_TRACE(c.name);
      Bridge bridge;
      notara::test::CerrCapture capture;
      std::string failure = "(not set)";
      EXPECT_EQ(bridge.midi.installAction(c.channelMask, 0, 0, 0, 0, c.name, c.params, 1, c.owner, &failure), nullptr);
      EXPECT_EQ(failure.substr(0, c.failure.size()), c.failure);
      EXPECT_EQ(capture.text(), "");
    }

    // The unknown name's list: every kind of the program, sorted, and the
    // case rule.
    Bridge bridge;
    std::string failure;
    ASSERT_EQ(bridge.midi.installAction(1, 0, 0, 0, 0, "emitmap", {"pad"}, 1, Midi::configurationOwner, &failure),
              nullptr);
    EXPECT_NE(failure.find("DirectMap, EmitMap, ParameterSet, TagMap, TagSwitch, test."), std::string::npos)
      << failure;
    const std::string end = " (case counts)";
    ASSERT_GE(failure.size(), end.size());
    EXPECT_EQ(failure.substr(failure.size() - end.size()), end) << failure;
  }

  TEST(Registry, OneOperationIsSharedByEverySlotOfOneInstallation)
  {
    Bridge bridge;
    const std::uint32_t mask = (1u << 0) | (1u << 16) | (1u << 17);
    Midi::Operation* operation =
        bridge.midi.installAction(mask, 60, 127, 2, 6, "TagMap", {"walk"}, 5);
    ASSERT_NE(operation, nullptr);

    for (int slot = 0; slot < Midi::slotCount; ++slot)
    {
      const auto& table = bridge.midi.actions[slot];
      if ((mask >> slot) & 1u)
      {
        ASSERT_EQ(table.size(), 1u) << slot;
        EXPECT_EQ(table[0].operation.get(), operation);
        EXPECT_EQ(table[0].filterValue, 60);
        EXPECT_EQ(table[0].filterMask, 127);
        EXPECT_EQ(table[0].parameterValue, 2u);
        EXPECT_EQ(table[0].parameterMask, 6u);
        EXPECT_EQ(table[0].robotMask, 5);
      }
      else
        EXPECT_TRUE(table.empty()) << slot;
    }
  }

  TEST(Registry, TracesTheInstallationAndEachSlotInOrder)
  {
    const std::uint32_t mask = (1u << 31) | (1u << 17) | (1u << 16) | 1u;
    {
      Bridge bridge;
      bridge.midi.debugLevel = 3;
      notara::test::CerrCapture capture;
      ASSERT_NE(bridge.install(mask, "TagMap", {"walk"}), nullptr);
      EXPECT_EQ(capture.text(), "");
    }
    {
      Bridge bridge;
      bridge.midi.debugLevel = 4;
      notara::test::CerrCapture capture;
      ASSERT_NE(bridge.midi.installAction(mask, 7, 240, 1, 1, "TagMap", {"walk"}, 1), nullptr);
      EXPECT_EQ(capture.text(), "Installing a nnew TagMap on 2147680257 with filter 7/240\n");
    }
    {
      Bridge bridge;
      bridge.midi.debugLevel = 11;
      notara::test::CerrCapture capture;
      ASSERT_NE(bridge.install(mask, "TagMap", {"walk"}), nullptr);
      EXPECT_EQ(capture.text(),
                "Installing a nnew TagMap on 2147680257 with filter 60/255\n"
                " on channel 0\n on channel 16\n on channel 17\n on channel 31\n");
    }
  }

  TEST(Registry, LaterInstallationsFollowEarlierOnesInTheirSlot)
  {
    Bridge bridge;
    Midi::Operation* first = bridge.install(1, "EmitMap", {"a"});
    Midi::Operation* second = bridge.install(3, "EmitMap", {"b"});
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    ASSERT_EQ(bridge.midi.actions[0].size(), 2u);
    EXPECT_EQ(bridge.midi.actions[0][0].operation.get(), first);
    EXPECT_EQ(bridge.midi.actions[0][1].operation.get(), second);
    ASSERT_EQ(bridge.midi.actions[1].size(), 1u);
    EXPECT_EQ(bridge.midi.actions[1][0].operation.get(), second);
  }

  TEST(Registry, ChannelMaskZeroInstallsNothingButReturnsTheOperation)
  {
    Bridge bridge;
    bridge.midi.debugLevel = 11;
    notara::test::CerrCapture capture;
    Midi::Operation* operation = bridge.install(0, "EmitMap", {"pad"});
    ASSERT_NE(operation, nullptr);
    EXPECT_EQ(capture.text(), "Installing a nnew EmitMap on 0 with filter 60/255\n");
    for (const auto& table : bridge.midi.actions)
      EXPECT_TRUE(table.empty());
  }
}
