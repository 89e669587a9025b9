// The notara program from the outside: its command line, its start-up
// lines on standard error, the configuration file and the exit statuses.
// The MIDI system is a JACK server of the test's own whose only MIDI ports
// are the test's sources, so that device 0 is the first source the test
// makes; the robots are loopback servers that record every byte they receive.
#include <csignal>
#include <exception>
#include <iostream>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/jack_source_test.h"
#include "support/notara_run.h"
#include "support/private_jack_server.h"
#include "support/test_server.h"

using namespace notara::test;

namespace
{
  // The JACK server of this test process, for all its tests.
  [[maybe_unused]] testing::Environment* const privateJack =
    testing::AddGlobalTestEnvironment(new notara::test::PrivateJackEnvironment);

  const std::string usage = notara::test::usageText(NOTARA_BINARY);

  class StartupTest : public notara::test::JackSourceTest
  {
  protected:
    StartupTest() : JackSourceTest("e2e-startup") {}

    // Runs notara with `args` in a directory whose notara.conf holds a
    // robot on `server` and an EmitMap of every note of channel 0, and
    // checks that a note from `source` (device 0) reaches the robot, byte
    // for byte, and that one from a second source (device 1), played just
    // before it, does not: notara opened device 0 and no other.
    void expectNoteFromSourceReachesRobot(const std::vector<std::string>& args, const std::string& warning)
    {
      JackMidiSource second("e2e-startup-2");
      ASSERT_EQ(deviceOf(*source), 0);
      ASSERT_EQ(deviceOf(second), 1);
      const auto devices = notara::test::midiInputDevices();
      NotaraRun run(NOTARA_BINARY, robotLine(0, server.port()) + "action 1 0 1 EmitMap midi.key\n");
      run.start(args);
      ASSERT_TRUE(run.waitUntilIdle()) << run.process().errors();
      ASSERT_TRUE(server.waitForBytes(0, run.upload().size()));
      EXPECT_EQ(run.process().errors(), notara::test::deviceListText(devices) + warning +
                                            "parsing notara.conf\n" + registeringLine(server.port()));

      second.noteOn(0, 61, 100);
      source->noteOn(0, 60, 100);
      const std::string expected = run.upload() + "emit midi.key(9,0,60,100),";
      ASSERT_TRUE(server.waitForBytes(0, expected.size())) << server.received(0);
      EXPECT_EQ(server.received(0), expected);
      EXPECT_TRUE(run.process().running());
    }

    TestServer server;
  };

  TEST_F(StartupTest, WithoutArgumentsWarnsOpensDeviceZeroAndReadsNotaraConf)
  {
    ASSERT_EQ(deviceOf(*source), 0);
    expectNoteFromSourceReachesRobot({}, "Warning, opening first available MIDI device\n");
  }

  TEST_F(StartupTest, ArgumentWithoutDigitsOpensDeviceZeroWithoutWarning)
  {
    ASSERT_EQ(deviceOf(*source), 0);
    expectNoteFromSourceReachesRobot({"abc"}, "");
  }

  TEST_F(StartupTest, HexadecimalDeviceNumberOpensThatDevice)
  {
    JackMidiSource second("e2e-startup-2");
    ASSERT_EQ(deviceOf(*source), 0);
    ASSERT_EQ(deviceOf(second), 1);
    JackMidiSource& device0 = *source;
    JackMidiSource& device1 = second;

    const auto devices = notara::test::midiInputDevices();
    NotaraRun run(NOTARA_BINARY, robotLine(0, server.port()) + "action 1 0 1 EmitMap midi.key\n");
    run.start({"0x1"});
    ASSERT_TRUE(run.waitUntilIdle()) << run.process().errors();
    EXPECT_EQ(run.process().errors(),
              notara::test::deviceListText(devices) + "parsing notara.conf\n" + registeringLine(server.port()));

    // Device 0's note is sent well before device 1's last one; had device 0
    // been opened, its note would have arrived first.
    // Robots connect in the background: play once the robot has its upload.
    ASSERT_TRUE(server.waitForBytes(0, run.upload().size())) << server.received(0);
    device0.setPace(std::chrono::milliseconds(20));
    device0.noteOn(0, 60, 100);
    device1.noteOn(0, 61, 100);
    device1.noteOn(0, 62, 100);
    const std::string expected = run.upload() + "emit midi.key(9,0,61,100),emit midi.key(9,0,62,100),";
    ASSERT_TRUE(server.waitForBytes(0, expected.size())) << server.received(0);
    EXPECT_EQ(server.received(0), expected);
  }

  TEST_F(StartupTest, MissingConfigurationFileReportsUsageAndExitsWithTwo)
  {
    const int device = deviceOf(*source);
    ASSERT_GE(device, 0);
    const auto devices = notara::test::midiInputDevices();
    NotaraRun run(NOTARA_BINARY, "");
    run.start({std::to_string(device), "missing.conf"});
    const auto status = run.process().waitForExit();
    ASSERT_TRUE(status) << run.process().errors();
    EXPECT_FALSE(status->signalled);
    EXPECT_EQ(status->value, 2);
    // The "parsing " line comes after the device was opened: no "midi open".
    EXPECT_EQ(run.process().errors(), notara::test::deviceListText(devices) +
                                          "parsing missing.conf\n parsing missing.conf failed\n" + usage);
  }

  TEST_F(StartupTest, EmptyConfigurationIdlesAndDispatchesToEmptyTables)
  {
    const int device = deviceOf(*source);
    ASSERT_GE(device, 0);
    NotaraRun run(NOTARA_BINARY, "");
    run.start({std::to_string(device), "notara.conf", "11"});
    ASSERT_TRUE(run.waitUntilIdle()) << run.process().errors();

    // Level 11 traces each event and the size of its slot's table.
    source->noteOn(3, 64, 90);
    source->controlChange(3, 7, 5);
    ASSERT_TRUE(run.process().waitForErrors("0 actions on channel 19\n")) << run.process().errors();
    const std::string errors = run.process().errors();
    EXPECT_NE(errors.find("0 actions on channel 3\n"), std::string::npos) << errors;
    EXPECT_TRUE(run.process().running());

    const auto status = run.process().stop();
    EXPECT_TRUE(status.signalled);
    EXPECT_EQ(status.value, SIGTERM);
  }

  TEST_F(StartupTest, TwoRobotsEachReceiveTheUploadAndTheirTexts)
  {
    const int device = deviceOf(*source);
    ASSERT_GE(device, 0);
    TestServer other;
    NotaraRun run(NOTARA_BINARY, robotLine(0, server.port()) + robotLine(1, other.port()) + "action 1 60 3 EmitMap midi.key\n");
    run.start({std::to_string(device)});
    ASSERT_TRUE(run.waitUntilIdle()) << run.process().errors();
    EXPECT_NE(run.process().errors().find("parsing notara.conf\n" + registeringLine(server.port()) +
                                          registeringLine(other.port())),
              std::string::npos)
      << run.process().errors();

    // Robots connect in the background: play once both have their upload.
    for (TestServer* robot : {&server, &other})
      ASSERT_TRUE(robot->waitForBytes(0, run.upload().size())) << robot->received(0);
    source->noteOn(0, 60, 100);
    const std::string expected = run.upload() + "emit midi.key(9,0,60,100),";
    for (TestServer* robot : {&server, &other})
    {
      ASSERT_TRUE(robot->waitForBytes(0, expected.size())) << robot->received(0);
      EXPECT_EQ(robot->received(0), expected);
      EXPECT_EQ(robot->connectionCount(), 1u);
    }
  }

  TEST_F(StartupTest, LongestLineAndUnterminatedLastLineAreRead)
  {
    const int device = deviceOf(*source);
    ASSERT_GE(device, 0);
    // 1023 characters fit a line; the robot line after it has no line end.
    std::string conf = "#" + std::string(1022, 'x') + "\n" + robotLine(0, server.port());
    conf.pop_back();
    NotaraRun run(NOTARA_BINARY, conf);
    run.start({std::to_string(device)});
    ASSERT_TRUE(run.waitUntilIdle()) << run.process().errors();
    ASSERT_TRUE(server.waitForBytes(0, run.upload().size()));
    EXPECT_EQ(server.received(0), run.upload());
    EXPECT_TRUE(run.process().running());
  }

  TEST_F(StartupTest, DebugLevelFromTheCommandLineAppliesAfterTheConfiguration)
  {
    const int device = deviceOf(*source);
    ASSERT_GE(device, 0);
    const auto devices = notara::test::midiInputDevices();
    NotaraRun run(NOTARA_BINARY, "action 1 60 1 EmitMap midi.key\n" + robotLine(0, server.port()));
    run.start({std::to_string(device), "notara.conf", "60"});
    ASSERT_TRUE(run.waitUntilIdle()) << run.process().errors();
    // Level 60 would trace the installation ("Installing a nnew ") had it
    // been in force while the file was read.
    EXPECT_EQ(run.process().errors(),
              notara::test::deviceListText(devices) + "parsing notara.conf\n" + registeringLine(server.port()));

    ASSERT_TRUE(server.waitForBytes(0, run.upload().size())) << server.received(0);
    source->noteOn(0, 60, 100);
    const std::string expected = run.upload() + "emit midi.key(9,0,60,100),";
    // Whether notara got the note at all shows in its trace.
    ASSERT_TRUE(server.waitForBytes(0, expected.size()))
      << server.received(0) << "\nnotara's standard error:\n" << run.process().errors();
    EXPECT_EQ(server.received(0), expected);
    ASSERT_TRUE(run.process().waitForErrors("Sending 'emit midi.key(9,0,60,100),' to 1\n"))
      << run.process().errors();

    const std::string errors = run.process().errors();
    const auto count = errors.find("1 actions on channel 0\n");
    const auto trying = errors.find("trying 60 on filter 60/255=0/0\n");
    const auto matching = errors.find(" has a matching filter, execing..\n");
    const auto sending = errors.find("Sending 'emit midi.key(9,0,60,100),' to 1\n");
    ASSERT_NE(count, std::string::npos) << errors;
    ASSERT_NE(trying, std::string::npos) << errors;
    ASSERT_NE(matching, std::string::npos) << errors;
    EXPECT_LT(count, trying);
    EXPECT_LT(trying, matching);
    EXPECT_LT(matching, sending);
    EXPECT_EQ(errors.find("Installing a nnew "), std::string::npos) << errors;
  }

  // A device number that names no device fails before anything else; no
  // MIDI system is needed for that.
  TEST(StartupWithoutDevice, DeviceBeyondTheListReportsMidiOpenAndExitsWithOne)
  {
    const auto devices = notara::test::midiInputDevices();
    NotaraRun run(NOTARA_BINARY, "");
    run.start({std::to_string(devices.size())});
    const auto status = run.process().waitForExit();
    ASSERT_TRUE(status) << run.process().errors();
    EXPECT_FALSE(status->signalled);
    EXPECT_EQ(status->value, 1);
    const std::string errors = run.process().errors();
    const std::string list = notara::test::deviceListText(devices);
    ASSERT_EQ(errors.compare(0, list.size(), list), 0) << errors;
    const std::string rest = errors.substr(list.size());
    EXPECT_EQ(rest.rfind("midi open: ", 0), 0u) << errors;
    EXPECT_EQ(rest.find('\n'), rest.size() - 1) << errors;
    EXPECT_EQ(errors.find("parsing "), std::string::npos) << errors;
  }

  // Each bad configuration stops start-up with one line and exit status 2;
  // what the lines before the bad one did stays done.
  struct BadConfiguration
  {
    const char* name;
    std::string line;
    std::string message;  // after "notara: configuration error in notara.conf: "
  };

  // Names the case in test listings instead of dumping its bytes.
  void PrintTo(const BadConfiguration& bad, std::ostream* out) { *out << bad.name; }

  class ConfigurationErrorTest : public StartupTest, public testing::WithParamInterface<BadConfiguration>
  {
  };

  TEST_P(ConfigurationErrorTest, ReportsTheErrorAndExitsWithTwo)
  {
    const int device = deviceOf(*source);
    ASSERT_GE(device, 0);
    TestServer later;
    const auto devices = notara::test::midiInputDevices();
    NotaraRun run(NOTARA_BINARY, robotLine(0, server.port()) + GetParam().line + robotLine(1, later.port()));
    run.start({std::to_string(device)});
    const auto status = run.process().waitForExit();
    ASSERT_TRUE(status) << run.process().errors();
    EXPECT_FALSE(status->signalled);
    EXPECT_EQ(status->value, 2);
    EXPECT_EQ(run.process().errors(), notara::test::deviceListText(devices) + "parsing notara.conf\n" +
                                          registeringLine(server.port()) + "notara: configuration error in notara.conf: " +
                                          GetParam().message + "\n");

    // The robot before the bad line was opened (its connection is made in
    // the background, so the exit may come first: what it sent, if
    // anything, is the start of the upload); the one after it was not.
    const std::string first = server.received(0);
    EXPECT_EQ(first, run.upload().substr(0, first.size()));
    EXPECT_EQ(later.connectionCount(), 0u);
  }

  INSTANTIATE_TEST_SUITE_P(
    Lines, ConfigurationErrorTest,
    testing::Values(
      BadConfiguration{"RobotSlotOutOfRange", "robot 32 127.0.0.1 54000\n", "malformed line: robot 32 127.0.0.1 54000"},
      BadConfiguration{"UnknownOperation", "action 1 60 1 Nope x\n",
                       "Failed to register action from action 1 60 1 Nope x: unknown operation Nope; the operations "
                       "are DirectMap, EmitMap, ParameterSet, TagMap, TagSwitch (case counts)"},
      BadConfiguration{"ParametersRefused", "action 1 60 1 DirectMap arm.pos 0 2\n",
                       "Failed to register action from action 1 60 1 DirectMap arm.pos 0 2: DirectMap: needs "
                       "VARIABLE SOURCEBYTE SCALE OFFSET [OFFVALUE [APPENDNOTE]], got 3 parameters"},
      BadConfiguration{"FilterAtEndOfLine", "action 1 60\n", "malformed filter: action 1 60"},
      BadConfiguration{"BadNumberInParameters", "action 1 60 1 TagSwitch t true\n",
                       "Midi::parseConfig: bad number (bad lexical cast: source type value could not be "
                       "interpreted as target) in line: action 1 60 1 TagSwitch t true"},
      BadConfiguration{"LineOf1024Characters", "#" + std::string(1023, 'x') + "\n",
                       "Midi::parseConfig: line too long (over 1023 characters): line 2"}),
    [](const testing::TestParamInfo<BadConfiguration>& info) { return std::string(info.param.name); });
}
