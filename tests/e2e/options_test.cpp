// notara's options from the outside: --help, -h, --version, --list and
// --check, what each writes on which stream and its exit status; that all
// but --list end while the JACK server hangs; that the
// configuration check connects no robot and says what a start would say;
// and that any other argument keeps its meaning as a device number.
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include <boost/asio.hpp>
#include <gtest/gtest.h>

#include "support/jack_midi_source.h"
#include "support/jack_test.h"
#include "support/notara_run.h"
#include "support/private_jack_server.h"
#include "support/test_server.h"

using namespace notara::test;

namespace
{
  const std::string usage = notara::test::usageText(NOTARA_BINARY);

  void expectExited(const ExitStatus& status, int value)
  {
    EXPECT_FALSE(status.signalled);
    EXPECT_EQ(status.value, value);
  }

  // Connects to `server` and writes "probe". Connections are accepted in
  // the order they were made, so the probe is the first one only when no
  // one connected before it.
  void expectNoEarlierConnection(const TestServer& server)
  {
    boost::asio::io_context io;
    boost::asio::ip::tcp::socket socket(io);
    socket.connect({boost::asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(server.port())});
    boost::asio::write(socket, boost::asio::buffer(std::string("probe")));
    EXPECT_TRUE(server.waitForText(0, "probe")) << "the server's first connection received: " << server.received(0);
  }

  TEST(HelpOption, PrintsUsageOptionsAndDocumentationOnStandardOutput)
  {
    std::string first;
    for (const char* option : {"--help", "-h"})
    {
      SCOPED_TRACE(option);
      NotaraRun run(NOTARA_BINARY, "");
      expectExited(runToExit(run, {option}), 0);
      const std::string out = run.process().output();
      EXPECT_EQ(run.process().errors(), "");
      EXPECT_EQ(out.rfind(usage, 0), 0u) << out;
      for (const char* word : {"-h, --help", "--version", "--list", "--check [conffile]", "\nDocumentation: "})
        EXPECT_NE(out.find(word), std::string::npos) << word << " is missing from:\n" << out;
      if (first.empty())
        first = out;
      else
        EXPECT_EQ(out, first) << "-h and --help differ";
    }
  }

  TEST(VersionOption, PrintsTheProjectVersionAndTheCheckoutsDescription)
  {
    NotaraRun run(NOTARA_BINARY, "");
    expectExited(runToExit(run, {"--version"}), 0);
    EXPECT_EQ(run.process().errors(), "");
    const std::string out = run.process().output();
    std::smatch match;
    ASSERT_TRUE(std::regex_match(out, match, std::regex("notara ([0-9.]+)( \\((.+)\\))?\n"))) << out;
    EXPECT_EQ(match[1].str(), NOTARA_PROJECT_VERSION);
    // Built from a checkout here, so the description must be there.
    if (std::filesystem::exists(std::filesystem::path(NOTARA_SOURCE_DIR) / ".git"))
    {
      EXPECT_TRUE(match[3].matched) << out;
    }
  }

  TEST(OptionsWithoutMidi, HelpVersionAndCheckEndWhileTheJackServerHangs)
  {
    std::unique_ptr<PrivateJackServer> jack;
    try
    {
      jack = std::make_unique<PrivateJackServer>();
    }
    catch (const std::exception& e)
    {
      const char* require = std::getenv("NOTARA_REQUIRE_JACK");
      if (require != nullptr && std::string(require) == "1")
        FAIL() << e.what() << ", and NOTARA_REQUIRE_JACK is 1";
      GTEST_SKIP() << e.what();
    }
    // The default server of notara's, frozen: a program that asks it
    // anything (the device list, too) never ends.
    jack->freeze();
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--help"}, {"-h"}, {"--version"}, {"--check"}, {"--check", "notara.conf"}})
    {
      SCOPED_TRACE(testing::PrintToString(args));
      NotaraRun run(NOTARA_BINARY, "");
      expectExited(runToExit(run, args), 0);
    }
    jack->thaw();
  }

  class ListOption : public notara::test::JackTest
  {
  };

  TEST_F(ListOption, PrintsTheDevicesNumberedAsAStartDoesOnStandardOutput)
  {
    notara::test::JackMidiSource source("e2e-options-list");
    const auto devices = notara::test::midiInputDevices();
    ASSERT_GE(notara::test::midiDeviceNumber(source.deviceName()), 0);
    NotaraRun run(NOTARA_BINARY, "");
    expectExited(runToExit(run, {"--list"}), 0);
    EXPECT_EQ(run.process().output(), notara::test::deviceListText(devices));
    EXPECT_EQ(run.process().errors(), "");
  }

  // Robots in slots 0 and 5 (the one in slot 5 could not be reached), one
  // action line on the notes of channels 0 and 1, two on controllers of
  // channel 3.
  std::string checkedConfiguration(const TestServer& server)
  {
    return "# a show\n" + robotLine(0, server.port()) +
           "robot 5 127.0.0.1 1\n"
           "action 3 60 1 EmitMap midi.key\n"
           "action 80000 7 21 DirectMap head.tilt 1 0.5 -32\n"
           "action 80000 64 1 ParameterSet 1\n";
  }

  TEST(CheckOption, ReportsRobotsActionsPerSlotAndTheScriptWithoutConnecting)
  {
    TestServer server;
    NotaraRun run(NOTARA_BINARY, checkedConfiguration(server));
    expectExited(runToExit(run, {"--check"}), 0);
    EXPECT_EQ(run.process().errors(),
              "parsing notara.conf\n" + registeringLine(server.port()) + "Registering robot 127.0.0.1 1\n");
    EXPECT_EQ(run.process().output(), robotLine(0, server.port()) +
                                        "robot 5 127.0.0.1 1\n"
                                        "slot 0 (notes of channel 0): 1 action\n"
                                        "slot 1 (notes of channel 1): 1 action\n"
                                        "slot 19 (controllers of channel 3): 2 actions\n"
                                        "notara.conf: 2 robots, 4 actions in 3 slots\n"
                                        "notara.vx: found in the working directory\n");
    expectNoEarlierConnection(server);
  }

  TEST(CheckOption, ReadsTheFileNamedAndSaysWhenNotaraVxIsMissing)
  {
    TestServer server;
    NotaraRun run(NOTARA_BINARY, "");
    run.dir().write("show.conf", checkedConfiguration(server));
    std::filesystem::remove(run.dir().path() / "notara.vx");
    expectExited(runToExit(run, {"--check", "show.conf"}), 0);
    const std::string out = run.process().output();
    EXPECT_NE(out.find("show.conf: 2 robots, 4 actions in 3 slots\n"), std::string::npos) << out;
    EXPECT_NE(out.find("notara.vx: missing from the working directory"), std::string::npos) << out;
    EXPECT_EQ(out.find("found"), std::string::npos) << out;
    expectNoEarlierConnection(server);
  }

  // Each kind of configuration error, as a start reports it; the robot
  // line before the bad one is read, the one after it is not.
  struct BadConfiguration
  {
    const char* name;
    std::string line;
    std::string message;  // after "notara: configuration error in notara.conf: "
  };

  const std::vector<BadConfiguration> badConfigurations = {
    {"RobotSlotOutOfRange", "robot 32 127.0.0.1 54000\n", "malformed line: robot 32 127.0.0.1 54000"},
    {"PortOutOfRange", "robot 1 127.0.0.1 65536\n",
     "Midi::parseConfig: port 65536 is not a number from 1 to 65535: robot 1 127.0.0.1 65536"},
    {"MalformedMask", "action x\n", "malformed mask: action x"},
    {"FilterAtEndOfLine", "action 1 60\n", "malformed filter: action 1 60"},
    {"NameAtEndOfLine", "action 1 60 1 EmitMap\n", "malformed stuffs: action 1 60 1 EmitMap"},
    {"UnknownOperation", "action 1 60 1 Nope x\n",
     "Failed to register action from action 1 60 1 Nope x: unknown operation Nope; the operations are DirectMap, "
     "EmitMap, ParameterSet, TagMap, TagSwitch (case counts)"},
    {"ParametersRefused", "action 1 60 1 TagSwitch dance\n",
     "Failed to register action from action 1 60 1 TagSwitch dance: TagSwitch: needs TAG INITIALSTATE, got 1 "
     "parameter"},
    {"BadNumberInParameters", "action 1 60 1 TagSwitch t true\n",
     "Midi::parseConfig: bad number (bad lexical cast: source type value could not be "
     "interpreted as target) in line: action 1 60 1 TagSwitch t true"},
    {"LineOf1024Characters", "#" + std::string(1023, 'x') + "\n",
     "Midi::parseConfig: line too long (over 1023 characters): line 2"}};

  TEST(CheckOption, ReportsEachConfigurationErrorLikeAStartAndExitsWithTwo)
  {
    for (const BadConfiguration& bad : badConfigurations)
    {
      SCOPED_TRACE(bad.name);
      TestServer before;
      TestServer after;
      NotaraRun run(NOTARA_BINARY, robotLine(0, before.port()) + bad.line + robotLine(1, after.port()));
      expectExited(runToExit(run, {"--check"}), 2);
      EXPECT_EQ(run.process().output(), "");
      EXPECT_EQ(run.process().errors(), "parsing notara.conf\n" + registeringLine(before.port()) +
                                          "notara: configuration error in notara.conf: " + bad.message + "\n");
      expectNoEarlierConnection(before);
      expectNoEarlierConnection(after);
    }

    NotaraRun run(NOTARA_BINARY, "");
    expectExited(runToExit(run, {"--check", "missing.conf"}), 2);
    EXPECT_EQ(run.process().output(), "");
    EXPECT_EQ(run.process().errors(), "parsing missing.conf\n parsing missing.conf failed\n" + usage);
  }

  class CheckAgainstStart : public notara::test::JackTest
  {
  };

  // A real start (on a JACK MIDI device) and a check of the same directory
  // write the same lines after the start's device list, and end alike.
  TEST_F(CheckAgainstStart, BothSayTheSameAboutABadConfiguration)
  {
    notara::test::JackMidiSource source("e2e-options-check");
    const int device = notara::test::midiDeviceNumber(source.deviceName());
    ASSERT_GE(device, 0);
    const auto devices = notara::test::midiInputDevices();

    struct Case
    {
      std::string name;
      std::string conf;
      std::string file;
    };
    TestServer server;
    std::vector<Case> cases;
    for (const BadConfiguration& bad : badConfigurations)
      cases.push_back({bad.name, robotLine(0, server.port()) + bad.line, "notara.conf"});
    cases.push_back({"MissingFile", "", "missing.conf"});

    for (const Case& c : cases)
    {
      SCOPED_TRACE(c.name);
      NotaraRun start(NOTARA_BINARY, c.conf);
      expectExited(runToExit(start, {std::to_string(device), c.file}), 2);
      const std::string startErrors = start.process().errors();
      const std::string list = notara::test::deviceListText(devices);
      ASSERT_EQ(startErrors.compare(0, list.size(), list), 0) << startErrors;

      NotaraRun check(NOTARA_BINARY, c.conf);
      expectExited(runToExit(check, {"--check", c.file}), 2);
      EXPECT_EQ(check.process().errors(), startErrors.substr(list.size()));
    }
  }

  // Only the exact words are options; anything else that starts with '-'
  // is read as a device number, as it always was.
  TEST(DashArguments, NegativeNumberIsADeviceThatCantBeOpened)
  {
    NotaraRun run(NOTARA_BINARY, "");
    expectExited(runToExit(run, {"-1"}), 1);
    EXPECT_EQ(run.process().output(), "");
    const std::string errors = run.process().errors();
    EXPECT_EQ(errors.rfind("Midi device list:\n", 0), 0u) << errors;
    EXPECT_NE(errors.find("midi open: "), std::string::npos) << errors;
    EXPECT_EQ(errors.find("parsing "), std::string::npos) << errors;
  }

  class DashArgumentsWithDevice : public notara::test::JackTest
  {
  };

  TEST_F(DashArgumentsWithDevice, OptionWordsWithMoreArgumentsAreDeviceZero)
  {
    notara::test::JackMidiSource source("e2e-options-dash");
    const auto devices = notara::test::midiInputDevices();
    ASSERT_FALSE(devices.empty());
    const std::vector<std::vector<std::string>> commandLines = {
      {"--help", "missing.conf"}, {"--list", "missing.conf"}, {"--check", "missing.conf", "0"}, {"--verbose", "missing.conf"}};
    for (const auto& args : commandLines)
    {
      SCOPED_TRACE(args[0]);
      NotaraRun run(NOTARA_BINARY, "");
      expectExited(runToExit(run, args), 2);
      EXPECT_EQ(run.process().output(), "");
      EXPECT_EQ(run.process().errors(), notara::test::deviceListText(devices) +
                                          "parsing missing.conf\n parsing missing.conf failed\n" + usage);
    }
  }
}
