// Real MIDI from a JACK source through the notara program to three robots:
// what each operation kind sends, to which robots, byte for byte.
//
// Every test ends with a marker note that an action sends to all robots;
// once each robot has its marker, everything sent before it has arrived
// (one connection keeps its order), so the whole byte string is compared.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/jack_source_test.h"
#include "support/test_server.h"

using notara::test::TestServer;

namespace
{
  constexpr int robotCount = 3;
  // Note on of key 127 on channel 15, sent to every robot.
  const std::string markerAction = "action 8000 127 ffffffff EmitMap done\n";
  const std::string marker = "emit done(9,15,127,1),";

  class OperationsTest : public notara::test::JackSourceTest
  {
  protected:
    OperationsTest() : JackSourceTest("e2e-operations") {}

    // Starts notara with robots 0 to 2 and `actions`, and waits until each
    // robot has its upload.
    void start(const std::string& actions)
    {
      std::string conf = "# three robots, then the test's actions\n";
      for (int i = 0; i < robotCount; ++i)
        conf += "robot " + std::to_string(i) + " 127.0.0.1 " + std::to_string(robots[i].port()) + "\n";
      conf += actions + markerAction;
      ASSERT_NO_FATAL_FAILURE(startNotara(conf));
      for (auto& robot : robots)
      {
        ASSERT_TRUE(robot.waitForBytes(0, run->upload().size()));
        ASSERT_EQ(robot.received(0), run->upload());
      }
    }

    // Sends the marker and checks that robot i received its upload, then
    // exactly `texts[i]`, then the marker.
    void expectReceived(const std::vector<std::string>& texts)
    {
      source->noteOn(15, 127, 1);
      for (int i = 0; i < robotCount; ++i)
      {
        ASSERT_TRUE(robots[i].waitForText(0, marker)) << "robot " << i << ": " << robots[i].received(0);
        const std::string received = robots[i].received(0);
        const std::string upload = run->upload();
        ASSERT_EQ(received.substr(0, upload.size()), upload) << "robot " << i;
        EXPECT_EQ(received.substr(upload.size()), texts[i] + marker) << "robot " << i;
      }
      EXPECT_TRUE(run->process().running()) << run->process().errors();
    }

    TestServer robots[robotCount];
  };

  TEST_F(OperationsTest, EmitMapForwardsNotesAndControllersWithTheirSlot)
  {
    ASSERT_NO_FATAL_FAILURE(start("action 1 60 1 EmitMap midi.key\n"
                                  "action 1 60 1 EmitMap again\n"
                                  "action 40000 7 2 EmitMap midi.key\n"));
    source->noteOn(0, 60, 100);
    source->noteOff(0, 60, 64);
    source->noteOn(0, 61, 100);        // filtered out
    source->noteOn(0, 60, 0);          // emitted as it came, kind 9
    source->controlChange(2, 7, 0);    // slot 18
    source->controlChange(2, 8, 0);    // filtered out
    source->programChange(0, 60);      // never reaches an action
    expectReceived({"emit midi.key(9,0,60,100),emit again(9,0,60,100),"
                    "emit midi.key(8,0,60,64),emit again(8,0,60,64),"
                    "emit midi.key(9,0,60,0),emit again(9,0,60,0),",
                    "emit midi.key(11,18,7,0),", ""});
  }

  TEST_F(OperationsTest, DirectMapScalesTheSelectedByte)
  {
    ASSERT_NO_FATAL_FAILURE(start("action 1 60 1 DirectMap pos 0 2 10\n"
                                  "action 10001 7 2 DirectMap pan 1 0.5 0 0 1\n"));
    source->noteOn(0, 60, 100);
    source->noteOff(0, 60);            // off event, no off value: nothing
    source->controlChange(0, 7, 64);
    source->noteOn(0, 7, 0);           // off event: the off value 0
    source->controlChange(0, 7, 0);    // on event: 0 times 0.5 plus 0
    expectReceived({"pos=130,", "pan7=32,pan7=0,pan7=0,", ""});
  }

  TEST_F(OperationsTest, TagMapFollowsTheKeyAndTagSwitchToggles)
  {
    ASSERT_NO_FATAL_FAILURE(start("action 1 60 1 TagMap walk\n"
                                  "action 1 62 2 TagSwitch dance 0\n"
                                  "action 2 0 4 TagMap key true\n"));
    source->noteOn(0, 60, 90);
    source->noteOff(0, 60);
    source->noteOn(0, 62, 90);
    source->noteOff(0, 62);
    source->noteOn(0, 62, 90);
    source->noteOn(0, 62, 0);
    source->noteOn(1, 61, 90);
    source->noteOn(1, 61, 0);
    expectReceived({"unfreeze walk,freeze walk,", "unfreeze dance,freeze dance,", "unfreeze key61,freeze key61,"});
  }

  TEST_F(OperationsTest, RobotMasksSelectTheRobots)
  {
    ASSERT_NO_FATAL_FAILURE(start("action 1 60 5 EmitMap a\n"
                                  "action 1 61 0xffffffff EmitMap b\n"
                                  "action 1 62 0 EmitMap c\n"
                                  "action 1 63 8 EmitMap d\n"  // slot 3 holds no robot
                                  "action 1 64 6 EmitMap e\n"));
    for (int key = 60; key <= 64; ++key)
      source->noteOn(0, key, 1);
    expectReceived({"emit a(9,0,60,1),emit b(9,0,61,1),", "emit b(9,0,61,1),emit e(9,0,64,1),",
                    "emit a(9,0,60,1),emit b(9,0,61,1),emit e(9,0,64,1),"});
  }

  TEST_F(OperationsTest, ParameterSetKeySwitchesWhichGroupAnswers)
  {
    ASSERT_NO_FATAL_FAILURE(start("action 1 36 ffffffff ParameterSet 1\n"
                                  "action 1 60/127=0/1 1 EmitMap low\n"
                                  "action 1 60/127=1/1 1 EmitMap high\n"));
    source->noteOn(0, 60, 100);
    source->noteOff(0, 36);            // key up: sets bit 0
    source->noteOn(0, 60, 100);
    source->noteOn(0, 36, 100);        // key down: clears it
    source->noteOn(0, 60, 100);
    const std::string parameterTexts = "midi.parameter=1,midi.parameter=0,";
    expectReceived({"emit low(9,0,60,100),midi.parameter=1,emit high(9,0,60,100),midi.parameter=0,"
                    "emit low(9,0,60,100),",
                    parameterTexts, parameterTexts});
    const std::string errors = run->process().errors();
    const auto set = errors.find("Setting parameter to 1\n");
    ASSERT_NE(set, std::string::npos) << errors;
    EXPECT_NE(errors.find("Setting parameter to 0\n", set), std::string::npos) << errors;
  }
}
