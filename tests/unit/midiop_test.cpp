// The five operation kinds, set up through installAction and executed as the
// dispatch executes them; their texts arrive through Midi::send in memory
// clients placed in the robot slots.
#include <algorithm>
#include <array>
#include <memory>
#include <string>
#include <vector>

#include <boost/lexical_cast.hpp>
#include <gtest/gtest.h>

#include "bridge/midi.h"
#include "support/cerr_capture.h"
#include "support/memory_client.h"
#include "support/slot_clients.h"

namespace
{
  constexpr int noteOff = 8;
  constexpr int noteOn = 9;
  constexpr int controlChange = 11;

  using Texts = std::vector<std::string>;

  class Operations : public ::testing::Test
  {
  protected:
    notara::test::SlotClients<> clients;
    Midi midi{clients.factory()};
    notara::test::MemoryClient& robot0 = *clients.fill(midi, {0});
    notara::test::MemoryClient& robot1 = *clients.fill(midi, {1});

    // The operation of kind `name` set up from `params`, in no slot; null
    // when its setup rejects the list.
    Midi::Operation* make(const std::string& name, const std::vector<std::string>& params)
    {
      // The bridge keeps an operation installed on no slot and frees it.
      return midi.installAction(0, 0, 0, 0, 0, name, params, 1);
    }

    // What one event sends to robot 0, with robot mask 1.
    Texts run(Midi::Operation& operation, int kind, int slot, int data1, int data2)
    {
      robot0.clear();
      operation.execute(1, kind, slot, data1, data2);
      return robot0.sends();
    }
  };

  // --- DirectMap ---------------------------------------------------------

  TEST_F(Operations, DirectMapScalesTheSelectedByte)
  {
    Midi::Operation* pos = make("DirectMap", {"pos", "0", "2", "10"});
    ASSERT_NE(pos, nullptr);
    EXPECT_EQ(run(*pos, noteOn, 0, 60, 100), Texts{"pos=130,"});
    EXPECT_EQ(run(*pos, controlChange, 16, 7, 0), Texts{"pos=24,"});
    // Off events send nothing without a fifth parameter.
    EXPECT_EQ(run(*pos, noteOff, 0, 60, 64), Texts{});
    EXPECT_EQ(run(*pos, noteOn, 0, 60, 0), Texts{});

    Midi::Operation* vel = make("DirectMap", {"vel", "1", "-0.5", "2.5e-3"});
    ASSERT_NE(vel, nullptr);
    EXPECT_EQ(run(*vel, noteOn, 3, 60, 100), Texts{"vel=-49.9975,"});
    // A Control change 0 is an on event: it sends the offset.
    EXPECT_EQ(run(*vel, controlChange, 19, 7, 0), Texts{"vel=0.0025,"});
  }

  TEST_F(Operations, DirectMapOffValueAndAppendedData1)
  {
    Midi::Operation* pan = make("DirectMap", {"pan", "1", "0.5", "0", "0", "1"});
    ASSERT_NE(pan, nullptr);
    EXPECT_EQ(run(*pan, controlChange, 16, 7, 64), Texts{"pan7=32,"});
    EXPECT_EQ(run(*pan, noteOn, 0, 7, 0), Texts{"pan7=0,"});
    EXPECT_EQ(run(*pan, noteOff, 0, 0, 64), Texts{"pan0=0,"});
    EXPECT_EQ(run(*pan, noteOn, 0, 127, 127), Texts{"pan127=63.5,"});

    Midi::Operation* plain = make("DirectMap", {"v", "0", "1", "0", "2.5", "0"});
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(run(*plain, noteOff, 0, 9, 0), Texts{"v=2.5,"});
    EXPECT_EQ(run(*plain, noteOn, 0, 9, 1), Texts{"v=9,"});

    // -1 as the fifth parameter is the same as none.
    Midi::Operation* silent = make("DirectMap", {"v", "0", "1", "0", "-1", "1"});
    ASSERT_NE(silent, nullptr);
    EXPECT_EQ(run(*silent, noteOff, 0, 9, 0), Texts{});
    EXPECT_EQ(run(*silent, noteOn, 0, 9, 0), Texts{});
    EXPECT_EQ(run(*silent, noteOn, 0, 9, 5), Texts{"v9=9,"});
  }

  TEST_F(Operations, DirectMapWritesValuesAsAStreamDoes)
  {
    Midi::Operation* third = make("DirectMap", {"v", "0", "0.333333333", "0"});
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(run(*third, noteOn, 0, 1, 1), Texts{"v=0.333333,"});
    Midi::Operation* big = make("DirectMap", {"v", "0", "10000", "0"});
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(run(*big, noteOn, 0, 100, 1), Texts{"v=1e+06,"});
    EXPECT_EQ(run(*big, noteOn, 0, 12, 1), Texts{"v=120000,"});
    Midi::Operation* tiny = make("DirectMap", {"v", "0", "1e-7", "0"});
    ASSERT_NE(tiny, nullptr);
    EXPECT_EQ(run(*tiny, noteOn, 0, 5, 1), Texts{"v=5e-07,"});
  }

  TEST_F(Operations, DirectMapParameterCountsAndConversions)
  {
    EXPECT_EQ(make("DirectMap", {}), nullptr);
    EXPECT_EQ(make("DirectMap", {"v", "0", "1"}), nullptr);
    EXPECT_NE(make("DirectMap", {"v", "0", "1", "0"}), nullptr);
    EXPECT_NE(make("DirectMap", {"v", "0", "1", "0", "3"}), nullptr);
    EXPECT_NE(make("DirectMap", {"v", "0", "1", "0", "3", "0"}), nullptr);
    EXPECT_EQ(make("DirectMap", {"v", "0", "1", "0", "3", "0", "7"}), nullptr);

    EXPECT_THROW(make("DirectMap", {"v", "0", "1", "0", "3", "true"}), boost::bad_lexical_cast);
    EXPECT_THROW(make("DirectMap", {"v", "0", "1", "0", "3", "2"}), boost::bad_lexical_cast);
    EXPECT_THROW(make("DirectMap", {"v", "one", "1", "0"}), boost::bad_lexical_cast);
    EXPECT_THROW(make("DirectMap", {"v", "0", " 1", "0"}), boost::bad_lexical_cast);
    EXPECT_THROW(make("DirectMap", {"v", "0", "1", "0x"}), boost::bad_lexical_cast);
    // Conversions come before the count verdict.
    EXPECT_THROW(make("DirectMap", {"v", "0", "x"}), boost::bad_lexical_cast);
  }

  // --- ParameterSet ------------------------------------------------------

  TEST_F(Operations, ParameterSetFollowsItsOwnOnOffTable)
  {
    Midi::Operation* bit0 = make("ParameterSet", {"1"});
    ASSERT_NE(bit0, nullptr);
    midi.parameter = 6;
    const struct
    {
      int kind, data2;
      std::uint32_t word;
    } steps[] = {
        {noteOff, 64, 7},  {noteOn, 100, 6},      {noteOn, 0, 7},
        {noteOn, 1, 6},    {controlChange, 5, 7}, {controlChange, 0, 6},
        {controlChange, 127, 7},
    };
    notara::test::CerrCapture capture;
    for (const auto& step : steps)
    {
      const Texts texts = run(*bit0, step.kind, 0, 60, step.data2);
      EXPECT_EQ(midi.parameter.load(), step.word) << step.kind << "/" << step.data2;
      EXPECT_EQ(texts, Texts{"midi.parameter=" + std::to_string(step.word) + ","});
    }
  }

  TEST_F(Operations, ParameterSetRepublishesAnUnchangedWordAndSetsWideMasks)
  {
    Midi::Operation* none = make("ParameterSet", {"0"});
    ASSERT_NE(none, nullptr);
    midi.parameter = 5;
    notara::test::CerrCapture capture;
    EXPECT_EQ(run(*none, noteOn, 0, 60, 100), Texts{"midi.parameter=5,"});
    EXPECT_EQ(run(*none, noteOff, 0, 60, 0), Texts{"midi.parameter=5,"});

    Midi::Operation* high = make("ParameterSet", {"4294967295"});
    ASSERT_NE(high, nullptr);
    EXPECT_EQ(run(*high, noteOff, 0, 60, 0), Texts{"midi.parameter=4294967295,"});
    EXPECT_EQ(midi.parameter.load(), 4294967295u);
    // It publishes to every robot, whatever the action's mask.
    EXPECT_EQ(robot1.sends().back(), "midi.parameter=4294967295,");
  }

  TEST_F(Operations, ParameterSetTakesExactlyOneWordThatFitsTheParameter)
  {
    EXPECT_EQ(make("ParameterSet", {}), nullptr);
    EXPECT_EQ(make("ParameterSet", {"1", "2"}), nullptr);
    EXPECT_THROW(make("ParameterSet", {"bits"}), boost::bad_lexical_cast);
    EXPECT_THROW(make("ParameterSet", {"4294967296"}), boost::bad_lexical_cast);
    EXPECT_THROW(make("ParameterSet", {"x", "2"}), boost::bad_lexical_cast);
  }

  // --- EmitMap -----------------------------------------------------------

  TEST_F(Operations, EmitMapForwardsEveryEventUnchanged)
  {
    Midi::Operation* key = make("EmitMap", {"midi.key"});
    ASSERT_NE(key, nullptr);
    // {kind, slot, data1, data2} and the text: the kind's number, the slot
    // and both data bytes as they came, velocity 0 included.
    const std::vector<std::pair<std::array<int, 4>, std::string>> events{
      {{noteOn, 0, 60, 100}, "emit midi.key(9,0,60,100),"},
      {{noteOff, 0, 60, 64}, "emit midi.key(8,0,60,64),"},
      {{controlChange, 18, 7, 0}, "emit midi.key(11,18,7,0),"},
      {{noteOn, 15, 127, 0}, "emit midi.key(9,15,127,0),"}};
    for (const auto& [event, text] : events)
      EXPECT_EQ(run(*key, event[0], event[1], event[2], event[3]), Texts{text});

    EXPECT_EQ(make("EmitMap", {}), nullptr);
    EXPECT_EQ(make("EmitMap", {"a", "b"}), nullptr);
  }

  // --- TagMap ------------------------------------------------------------

  TEST_F(Operations, TagMapFollowsTheKey)
  {
    Midi::Operation* walk = make("TagMap", {"walk"});
    ASSERT_NE(walk, nullptr);
    EXPECT_EQ(run(*walk, noteOn, 0, 60, 90), Texts{"unfreeze walk,"});
    EXPECT_EQ(run(*walk, noteOff, 0, 60, 0), Texts{"freeze walk,"});
    EXPECT_EQ(run(*walk, noteOn, 0, 60, 0), Texts{"freeze walk,"});
    EXPECT_EQ(run(*walk, controlChange, 16, 60, 0), Texts{"unfreeze walk,"});

    Midi::Operation* keys = make("TagMap", {"key", "true"});
    ASSERT_NE(keys, nullptr);
    EXPECT_EQ(run(*keys, noteOn, 0, 61, 90), Texts{"unfreeze key61,"});
    EXPECT_EQ(run(*keys, noteOff, 0, 61, 30), Texts{"freeze key61,"});
    Midi::Operation* ones = make("TagMap", {"key", "1"});
    ASSERT_NE(ones, nullptr);
    EXPECT_EQ(run(*ones, noteOn, 0, 61, 0), Texts{"freeze key61,"});
    EXPECT_EQ(run(*ones, noteOn, 0, 0, 1), Texts{"unfreeze key0,"});
  }

  TEST_F(Operations, TagMapReadsItsBooleanAsText)
  {
    for (const char* word : {"True", "yes", "0", "2", ""})
    {
      Midi::Operation* tag = make("TagMap", {"key", word});
      ASSERT_NE(tag, nullptr) << word;
      EXPECT_EQ(run(*tag, noteOn, 0, 61, 90), Texts{"unfreeze key,"}) << word;
    }
    EXPECT_EQ(make("TagMap", {}), nullptr);
    EXPECT_EQ(make("TagMap", {"key", "1", "x"}), nullptr);
  }

  TEST_F(Operations, TagMapTracesEachEventAbove10)
  {
    Midi::Operation* walk = make("TagMap", {"walk"});
    ASSERT_NE(walk, nullptr);
    notara::test::CerrCapture capture;
    midi.debugLevel = 9;  // below Midi::send's own trace too
    run(*walk, noteOn, 0, 60, 90);
    EXPECT_EQ(capture.text(), "");
    midi.debugLevel = 11;
    run(*walk, noteOff, 0, 60, 0);
    EXPECT_EQ(capture.text().rfind("TagMap midiData\n", 0), 0u) << capture.text();
  }

  // --- TagSwitch ---------------------------------------------------------

  TEST_F(Operations, TagSwitchTogglesOnOnEvents)
  {
    Midi::Operation* dance = make("TagSwitch", {"dance", "0"});
    ASSERT_NE(dance, nullptr);
    EXPECT_EQ(run(*dance, noteOn, 0, 60, 90), Texts{"unfreeze dance,"});
    EXPECT_EQ(run(*dance, noteOff, 0, 60, 0), Texts{});
    EXPECT_EQ(run(*dance, noteOn, 0, 60, 0), Texts{});
    EXPECT_EQ(run(*dance, noteOn, 0, 61, 90), Texts{"freeze dance,"});
    EXPECT_EQ(run(*dance, controlChange, 16, 1, 0), Texts{"unfreeze dance,"});

    Midi::Operation* started = make("TagSwitch", {"dance", "1"});
    ASSERT_NE(started, nullptr);
    EXPECT_EQ(run(*started, noteOn, 0, 60, 90), Texts{"freeze dance,"});
    EXPECT_EQ(run(*started, noteOn, 0, 60, 90), Texts{"unfreeze dance,"});

    // No trace of its own.
    notara::test::CerrCapture capture;
    midi.debugLevel = 11;
    run(*started, noteOn, 0, 60, 90);
    EXPECT_EQ(capture.text().find("TagMap midiData"), std::string::npos);
  }

  TEST_F(Operations, TagSwitchNeedsTwoParametersAndANumericState)
  {
    EXPECT_EQ(make("TagSwitch", {}), nullptr);
    EXPECT_EQ(make("TagSwitch", {"dance"}), nullptr);
    EXPECT_EQ(make("TagSwitch", {"dance", "0", "x"}), nullptr);
    EXPECT_THROW(make("TagSwitch", {"dance", "true"}), boost::bad_lexical_cast);
    EXPECT_THROW(make("TagSwitch", {"dance", "2"}), boost::bad_lexical_cast);
    EXPECT_THROW(make("TagSwitch", {"dance", "yes", "x"}), boost::bad_lexical_cast);
  }

  TEST_F(Operations, OneTagSwitchIsSharedByTheSlotsOfItsInstallation)
  {
    ASSERT_NE(midi.installAction(0x10003, 0, 0, 0, 0, "TagSwitch", {"dance", "0"}, 1), nullptr);
    midi.onMessage(noteOn, 0, 60, 90);
    midi.onMessage(noteOn, 1, 61, 90);
    midi.onMessage(noteOff, 1, 61, 0);
    midi.onMessage(controlChange, 0, 7, 3);
    EXPECT_EQ(robot0.sends(), (Texts{"unfreeze dance,", "freeze dance,", "unfreeze dance,"}));
  }

  // --- all kinds ---------------------------------------------------------

  TEST_F(Operations, TextsGoToTheRobotsOfTheActionsMask)
  {
    const std::vector<std::pair<std::string, std::vector<std::string>>> kinds = {
        {"DirectMap", {"v", "0", "1", "0"}},
        {"EmitMap", {"e"}},
        {"TagMap", {"t"}},
        {"TagSwitch", {"s", "0"}},
    };
    for (const auto& [name, params] : kinds)
    {
      Midi::Operation* operation = make(name, params);
      ASSERT_NE(operation, nullptr) << name;
      robot0.clear();
      robot1.clear();
      operation->execute(2, noteOn, 0, 60, 90);
      EXPECT_TRUE(robot0.sends().empty()) << name;
      EXPECT_EQ(robot1.sends().size(), 1u) << name;
    }
  }
}
