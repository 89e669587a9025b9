// Midi::onControl: the "debug", "setparameter" and "register" commands that a
// server sends on the tag "midictl", and the messages it must ignore.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <boost/lexical_cast.hpp>

#include "bridge/actionowners.h"
#include "bridge/midi.h"
#include "support/cerr_capture.h"
#include "support/memory_client.h"
#include "support/slot_clients.h"

namespace
{
  // Operation kinds of this test: one that keeps the parameter list it was
  // given, and one whose setup fails to convert a number.
  std::vector<std::string> recordedParams;

  class RecordingOperation : public Midi::Operation
  {
  public:
    static int live;
    RecordingOperation() { ++live; }
    ~RecordingOperation() override { --live; }
    bool setup(const std::vector<std::string>& params) override
    {
      recordedParams = params;
      return true;
    }
    void execute(int, int, int, int, int) override {}
  };

  int RecordingOperation::live = 0;

  class ThrowingOperation : public Midi::Operation
  {
  public:
    bool setup(const std::vector<std::string>& params) override
    {
      return boost::lexical_cast<int>(params.at(0)) >= 0;
    }
    void execute(int, int, int, int, int) override {}
  };

  const Midi::OperationRegistration recordingRegistration(
      "ControlTestRecorder", []() -> Midi::Operation* { return new RecordingOperation; });
  const Midi::OperationRegistration throwingRegistration(
      "ControlTestThrower", []() -> Midi::Operation* { return new ThrowingOperation; });

  VValue number(double n)
  {
    VValue v;
    v.kind = VValueKind::Number;
    v.number = n;
    return v;
  }

  VValue text(const std::string& s)
  {
    VValue v;
    v.kind = VValueKind::String;
    v.string = s;
    return v;
  }

  VValue list(std::initializer_list<VValue> elements)
  {
    VValue v;
    v.kind = VValueKind::List;
    v.list.elements = elements;
    return v;
  }

  VValue other()
  {
    return VValue{};
  }

  VMessage data(const VValue& value)
  {
    VMessage msg;
    msg.type = VMessageType::Data;
    msg.tag = "midictl";
    msg.value = value;
    return msg;
  }

  /// A "register" list with the operation that records its parameters.
  VMessage registerMessage(double channelMask, const VValue& filter, const VValue& params,
                           double robotMask = 1, const std::string& name = "ControlTestRecorder")
  {
    return data(list({text("register"), number(channelMask), filter, text(name), params,
                      number(robotMask)}));
  }

  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();

  class ControlTest : public ::testing::Test
  {
  protected:
    /// Runs onControl, checks it keeps the callback, returns its stderr.
    std::string control(const VMessage& msg)
    {
      notara::test::CerrCapture capture;
      EXPECT_EQ(midi.onControl(msg, ActionOwners::unknownRobot), V_CONTINUE);
      return capture.text();
    }

    /// The same for a message on robot slot `robotSlot`'s connection.
    std::string control(const VMessage& msg, int robotSlot)
    {
      notara::test::CerrCapture capture;
      EXPECT_EQ(midi.onControl(msg, robotSlot), V_CONTINUE);
      return capture.text();
    }

    std::size_t actionCount() const
    {
      std::size_t count = 0;
      for (const auto& table : midi.actions)
        count += table.size();
      return count;
    }

    /// The single action installed so far, in slot 0.
    const Midi::Action& onlyAction() const
    {
      EXPECT_EQ(actionCount(), 1u);
      EXPECT_EQ(midi.actions[0].size(), 1u);
      return midi.actions[0].front();
    }

    notara::test::SlotClients<> clients;
    Midi midi{clients.factory()};
  };

  TEST_F(ControlTest, DebugSetsTheTruncatedLevelAndAlwaysReportsIt)
  {
    EXPECT_EQ(control(data(list({text("debug"), number(12.9)}))), "Set debug to 12\n");
    EXPECT_EQ(midi.debugLevel, 12);

    // Wrong shapes leave the level alone but still report it.
    EXPECT_EQ(control(data(list({text("debug")}))), "Set debug to 12\n");
    EXPECT_EQ(control(data(list({text("debug"), text("3")}))), "Set debug to 12\n");
    EXPECT_EQ(control(data(list({text("debug"), number(3), number(4)}))), "Set debug to 12\n");
    EXPECT_EQ(midi.debugLevel, 12);

    EXPECT_EQ(control(data(list({text("debug"), number(-2.7)}))), "Set debug to -2\n");
    EXPECT_EQ(midi.debugLevel, -2);
  }

  TEST_F(ControlTest, DebugTreatsNumbersBeyondSixtyFourBitsAsNoNumber)
  {
    midi.debugLevel = 5;
    for (double huge : {1e300, -1e300, inf, -inf, nan, 9223372036854775808.0})
    {
      EXPECT_EQ(control(data(list({text("debug"), number(huge)}))), "Set debug to 5\n") << huge;
      EXPECT_EQ(midi.debugLevel, 5) << huge;
    }
    // The low 32 bits of a number that does fit in 64 bits.
    EXPECT_EQ(control(data(list({text("debug"), number(4294967297.0)}))), "Set debug to 1\n");
  }

  TEST_F(ControlTest, SetParameterStoresLogsAndPublishes)
  {
    notara::test::MemoryClient& first = *clients.fill(midi, {0});
    notara::test::MemoryClient& last = *clients.fill(midi, {31});

    EXPECT_EQ(control(data(list({text("setparameter"), number(5)}))),
              "Setting parameter to 5\n");
    EXPECT_EQ(midi.parameter, 5u);
    EXPECT_EQ(first.sends(), std::vector<std::string>{"midi.parameter=5,"});
    EXPECT_EQ(last.sends(), std::vector<std::string>{"midi.parameter=5,"});

    first.clear();
    EXPECT_EQ(control(data(list({text("setparameter"), number(-1), text("ignored")}))),
              "Setting parameter to 4294967295\n");
    EXPECT_EQ(midi.parameter, 0xFFFFFFFFu);
    EXPECT_EQ(first.sends(), std::vector<std::string>{"midi.parameter=4294967295,"});

    first.clear();
    EXPECT_EQ(control(data(list({text("setparameter"), number(4294967295.0)}))),
              "Setting parameter to 4294967295\n");
    EXPECT_EQ(first.sends(), std::vector<std::string>{"midi.parameter=4294967295,"});
  }

  TEST_F(ControlTest, SetParameterWithoutAUsableNumberDoesNothing)
  {
    notara::test::MemoryClient& robot = *clients.fill(midi, {0});
    midi.parameter = 9;

    for (const VMessage& msg : {data(list({text("setparameter")})),
                                data(list({text("setparameter"), text("5")})),
                                data(list({text("setparameter"), list({number(5)})})),
                                data(list({text("setparameter"), number(1e300)})),
                                data(list({text("setparameter"), number(nan)}))})
      EXPECT_EQ(control(msg), "");
    EXPECT_EQ(midi.parameter, 9u);
    EXPECT_TRUE(robot.sends().empty());
  }

  TEST_F(ControlTest, MessagesThatAreNoCommandAreIgnoredSilently)
  {
    VMessage error = data(list({text("debug"), number(50)}));
    error.type = VMessageType::Error;
    VMessage system = error;
    system.type = VMessageType::System;

    for (const VMessage& msg :
         {data(text("debug")), data(number(3)), data(other()), data(list({})),
          data(list({number(1), number(2)})), data(list({list({text("debug")}), number(2)})),
          data(list({text("Debug"), number(50)})), data(list({text("debug "), number(50)})),
          data(list({text("unregister"), number(1)})), error, system})
      EXPECT_EQ(control(msg), "");
    EXPECT_EQ(midi.debugLevel, 0);
    EXPECT_EQ(actionCount(), 0u);
  }

  TEST_F(ControlTest, RegisterOfTheWrongShapeInstallsNothing)
  {
    const VValue filter = list({number(60)});
    const VValue params = list({text("x")});
    const VValue op = text("ControlTestRecorder");
    const VValue reg = text("register");
    const VMessage shapes[] = {
        data(list({reg, number(1), filter, op, params})),                  // five elements
        data(list({reg, text("1"), filter, op, params, number(1)})),       // channel mask
        data(list({reg, number(1), number(60), op, params, number(1)})),   // filter
        data(list({reg, number(1), filter, number(3), params, number(1)})),// name
        data(list({reg, number(1), filter, op, text("x"), number(1)})),    // parameters
        data(list({reg, number(1), filter, op, params, list({})})),        // robot mask
        data(list({reg, number(1e300), filter, op, params, number(1)})),   // huge mask
        data(list({reg, number(1), filter, op, params, number(nan)})),
        data(list({reg, number(-inf), filter, op, params, number(1)})),
    };
    for (const VMessage& msg : shapes)
      EXPECT_EQ(control(msg), " parameter extraction failed\n");
    EXPECT_EQ(actionCount(), 0u);
  }

  TEST_F(ControlTest, RegisterInstallsAndReportsTheOperation)
  {
    const std::string log = control(data(list({text("register"), number(1), list({number(60)}),
                                               text("ControlTestRecorder"), list({text("a")}),
                                               number(1), text("extra")})));
    const Midi::Action& action = onlyAction();
    EXPECT_EQ(log, "Registering action: " +
                       std::to_string(reinterpret_cast<std::intptr_t>(action.operation.get())) + "\n");
    EXPECT_NE(action.operation, nullptr);
    EXPECT_EQ(action.robotMask, 1);
    EXPECT_EQ(recordedParams, std::vector<std::string>{"a"});
  }

  TEST_F(ControlTest, RegisterConvertsTheMasksToTheirLowThirtyTwoBits)
  {
    // Slots 0 and 17; robot mask with all bits set.
    control(registerMessage(131073, list({number(60)}), list({}), 4294967295.0));
    ASSERT_EQ(midi.actions[0].size(), 1u);
    ASSERT_EQ(midi.actions[17].size(), 1u);
    EXPECT_EQ(actionCount(), 2u);
    EXPECT_EQ(midi.actions[0][0].operation, midi.actions[17][0].operation);
    EXPECT_EQ(midi.actions[17][0].robotMask, -1);

    // -1 selects every slot; 2^32 + 2 keeps only bit 1 of the robot mask.
    control(registerMessage(-1, list({number(60)}), list({}), 4294967298.0));
    for (const auto& table : midi.actions)
      EXPECT_EQ(table.back().robotMask, 2);
    EXPECT_EQ(actionCount(), 34u);
  }

  TEST_F(ControlTest, RegisterReadsTheFilterByPosition)
  {
    struct Case
    {
      VValue filter;
      unsigned value, mask;
      std::uint32_t parameterValue, parameterMask;
    };
    const Case cases[] = {
        {list({number(60), number(300)}), 60, 255, 0, 0},
        {list({number(60)}), 60, 255, 0, 0},
        {list({number(0)}), 0, 0, 0, 0},
        {list({}), 0, 0, 0, 0},
        {list({number(0), number(300)}), 0, 0, 0, 0},
        {list({number(60), number(15), number(7), number(12)}), 60, 15, 7, 12},
        {list({number(60), number(15), number(7), number(12), text("more")}), 60, 15, 7, 12},
        // Reading stops at the first element that is no number.
        {list({number(60), text("x"), number(2), number(3)}), 60, 255, 0, 0},
        {list({number(60), number(15), text("x"), number(3)}), 60, 15, 0, 0},
        {list({number(60), number(15), number(7), other()}), 60, 15, 7, 0},
        {list({text("x"), number(15), number(7), number(3)}), 0, 0, 0, 0},
        {list({number(60), number(1e300), number(2), number(3)}), 60, 255, 0, 0},
        // Low 8 bits of the byte fields, low 32 of the parameter fields.
        {list({number(316), number(-1), number(-1), number(4294967297.0)}), 60, 255,
         0xFFFFFFFFu, 1},
        {list({number(256)}), 0, 0, 0, 0},
    };
    for (const Case& c : cases)
    {
      // Each case on tables of its own.
      for (auto& table : midi.actions)
        table.clear();

      control(registerMessage(1, c.filter, list({})));
      ASSERT_EQ(midi.actions[0].size(), 1u);
      const Midi::Action& action = midi.actions[0].front();
      const auto where = ::testing::Message() << "filter case " << (&c - cases);
      EXPECT_EQ(action.filterValue, c.value) << where;
      EXPECT_EQ(action.filterMask, c.mask) << where;
      EXPECT_EQ(action.parameterValue, c.parameterValue) << where;
      EXPECT_EQ(action.parameterMask, c.parameterMask) << where;
    }
  }

  TEST_F(ControlTest, RegisterTurnsParametersIntoWords)
  {
    control(registerMessage(1, list({}), list({text("pos"), number(7), number(0.5),
                                               number(-3), number(1e21), text("")})));
    EXPECT_EQ(recordedParams,
              (std::vector<std::string>{"pos", "7", "0.5", "-3", "1e+21", ""}));
    EXPECT_EQ(actionCount(), 1u);
  }

  TEST_F(ControlTest, RegisterKeepsTheWordsBeforeAnUnconvertibleParameter)
  {
    const std::string log = control(
        registerMessage(1, list({}), list({text("first"), list({text("nested")}), text("last")})));
    EXPECT_EQ(log.rfind("params extraction failure\nRegistering action: ", 0), 0u) << log;
    EXPECT_EQ(recordedParams, std::vector<std::string>{"first"});
    EXPECT_EQ(actionCount(), 1u);

    control(registerMessage(1, list({}), list({other(), text("after")})));
    EXPECT_TRUE(recordedParams.empty());
    EXPECT_EQ(actionCount(), 2u);
  }

  TEST_F(ControlTest, RegisterOfAnUnknownOperationReportsZero)
  {
    EXPECT_EQ(control(registerMessage(1, list({number(60)}), list({}), 1, "NoSuchOperation")),
              "Registering action: 0\n");
    EXPECT_EQ(control(registerMessage(1, list({number(60)}), list({}), 1, "controltestrecorder")),
              "Registering action: 0\n");
    EXPECT_EQ(actionCount(), 0u);
  }

  TEST_F(ControlTest, RegisterWhoseSetupThrowsIsReportedAndTheChannelServesOn)
  {
    const std::string log =
        control(registerMessage(1, list({number(60)}), list({text("seven")}), 1,
                                "ControlTestThrower"));
    EXPECT_EQ(log.rfind("Registering action failed: ControlTestThrower: ", 0), 0u) << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    EXPECT_EQ(log.find("Registering action: "), std::string::npos) << log;
    EXPECT_EQ(actionCount(), 0u);

    // The same callback goes on serving.
    EXPECT_EQ(control(data(list({text("debug"), number(4)}))), "Set debug to 4\n");
    control(registerMessage(1, list({number(60)}), list({text("7")}), 1, "ControlTestThrower"));
    EXPECT_EQ(actionCount(), 1u);
  }

  TEST_F(ControlTest, RegisterOfABuiltInKindWithABadNumberInstallsNothing)
  {
    // DirectMap reads its source byte, scale and offset as numbers.
    for (const VMessage& msg :
         {registerMessage(1, list({number(60)}),
                          list({text("pos"), text("x"), text("2"), text("10")}), 1, "DirectMap"),
          registerMessage(1, list({number(60)}),
                          list({text("pos"), number(0), text("two"), number(10)}), 1,
                          "DirectMap")})
    {
      const std::string log = control(msg);
      EXPECT_EQ(log.rfind("Registering action failed: DirectMap: ", 0), 0u) << log;
      EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    }
    EXPECT_EQ(actionCount(), 0u);

    const std::string log = control(registerMessage(
        1, list({number(60)}), list({text("pos"), number(0), number(2), number(10)}), 1,
        "DirectMap"));
    EXPECT_EQ(log.rfind("Registering action: ", 0), 0u) << log;
    EXPECT_NE(log, "Registering action: 0\n");
    EXPECT_EQ(actionCount(), 1u);
  }

  TEST_F(ControlTest, RegisterOnNoChannelSlotLeavesNoOperationAndReportsZero)
  {
    const int live = RecordingOperation::live;
    for (int slot : {0, 31})
      EXPECT_EQ(control(registerMessage(0, list({number(60)}), list({text("a")})), slot),
                "Registering action: 0\n");
    EXPECT_EQ(control(registerMessage(4294967296.0, list({}), list({}))),
              "Registering action: 0\n");
    EXPECT_EQ(RecordingOperation::live, live);
    EXPECT_EQ(actionCount(), 0u);
  }

  TEST_F(ControlTest, ActionsBelongToTheRobotWhoseConnectionRegisteredThem)
  {
    control(registerMessage(1, list({}), list({})), 4);
    control(registerMessage(3, list({}), list({})), 9);
    control(registerMessage(1, list({}), list({})));      // on no robot's connection
    control(registerMessage(1, list({}), list({})), 32);  // no robot slot either
    ASSERT_EQ(midi.actions[0].size(), 4u);
    EXPECT_EQ(midi.actions[0][0].owner, 4);
    EXPECT_EQ(midi.actions[0][1].owner, 9);
    EXPECT_EQ(midi.actions[1][0].owner, 9);
    EXPECT_EQ(midi.actions[0][2].owner, ActionOwners::unknownRobot);
    EXPECT_EQ(midi.actions[0][3].owner, ActionOwners::unknownRobot);

    const int live = RecordingOperation::live;
    EXPECT_EQ(midi.withdrawActions(9), 1u);
    EXPECT_EQ(RecordingOperation::live, live - 1);
    EXPECT_TRUE(midi.actions[1].empty());
    ASSERT_EQ(midi.actions[0].size(), 3u);
    EXPECT_EQ(midi.actions[0][0].owner, 4);
  }

  TEST_F(ControlTest, RegisterOverTheBoundIsRefusedWithOneLine)
  {
    for (int i = 0; i < 32; ++i)
    {
      const std::string log = control(registerMessage(-1, list({}), list({})), 12);
      ASSERT_EQ(log.rfind("Registering action: ", 0), 0u) << log;
    }
    ASSERT_EQ(actionCount(), ActionOwners::recordLimit);
    const int live = RecordingOperation::live;

    EXPECT_EQ(control(registerMessage(1, list({}), list({})), 12),
              "Midi::installAction: robot 12 holds 1024 registered action records and may hold "
              "at most 1024: ControlTestRecorder on 1 channel slot refused; later refusals show "
              "only as \"Registering action: 0\" until its actions are withdrawn\n"
              "Registering action: 0\n");
    EXPECT_EQ(control(registerMessage(1, list({}), list({})), 12), "Registering action: 0\n");
    EXPECT_EQ(RecordingOperation::live, live);
    EXPECT_EQ(actionCount(), ActionOwners::recordLimit);

    // Messages on no robot's connection have a bound of their own.
    for (int i = 0; i < 32; ++i)
      control(registerMessage(-1, list({}), list({})));
    EXPECT_EQ(control(registerMessage(1, list({}), list({}))),
              "Midi::installAction: the control channel without a robot slot holds 1024 "
              "registered action records and may hold at most 1024: ControlTestRecorder on 1 "
              "channel slot refused; later refusals show only as \"Registering action: 0\"\n"
              "Registering action: 0\n");
  }
}
