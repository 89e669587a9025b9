// Midi::parseConfig through the real installAction: line kinds, the robot
// and action grammars, the error messages and where reading stops.
#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bridge/midi.h"
#include "support/cerr_capture.h"
#include "support/test_server.h"
#include "vaxo/client.h"

namespace
{
  // Accepts any parameter list and keeps it, so that tests can see what the
  // parser handed over.
  class RecorderOperation : public Midi::Operation
  {
  public:
    std::vector<std::string> params;

    bool setup(const std::vector<std::string>& given) override
    {
      params = given;
      return true;
    }
    void execute(int, int, int, int, int) override {}
  };

  const Midi::OperationRegistration recorderRegistration(
      "test.Recorder", [] { return static_cast<Midi::Operation*>(new RecorderOperation); });

  // A bridge that releases what parsing left in it: the operations (the
  // robots are the bridge's own).
  struct Bridge
  {
    Midi midi;

    bool parse(const std::string& text)
    {
      std::istringstream in(text);
      return midi.parseConfig(in);
    }

    std::size_t actionCount() const
    {
      std::size_t count = 0;
      for (const auto& table : midi.actions)
        count += table.size();
      return count;
    }
  };

  // The message of the std::runtime_error that parsing `text` raises.
  std::string errorOf(const std::string& text)
  {
    Bridge bridge;
    try
    {
      bridge.parse(text);
    }
    catch (const std::runtime_error& e)
    {
      return e.what();
    }
    return "(no error)";
  }

  TEST(Config, EmptyFileAndIgnoredLinesChangeNothing)
  {
    Bridge bridge;
    EXPECT_TRUE(bridge.parse(""));
    EXPECT_TRUE(bridge.parse("\n\n   \n\t\n"));
    EXPECT_TRUE(bridge.parse("# action 1 60 1 EmitMap pad\n"
                             "  # action 1 60 1 EmitMap pad\n"
                             "Action 1 60 1 EmitMap pad\n"
                             "actions 1 60 1 EmitMap pad\n"
                             "#robot 40 host\n"));
    EXPECT_EQ(bridge.actionCount(), 0u);
    EXPECT_TRUE(bridge.midi.robotViews().empty());
  }

  TEST(Config, StreamUnusableFromTheStartGivesFalse)
  {
    Bridge bridge;
    std::istringstream failed("action 1 60 1 EmitMap pad\n");
    failed.setstate(std::ios::failbit);
    EXPECT_FALSE(bridge.midi.parseConfig(failed));

    std::ifstream missing("/nonexistent/notara.conf");
    EXPECT_FALSE(bridge.midi.parseConfig(missing));
    EXPECT_EQ(bridge.actionCount(), 0u);
  }

  TEST(Config, FilterForms)
  {
    struct Case
    {
      const char* filter;
      int value, mask;
      unsigned parameterValue, parameterMask;
    };
    const Case cases[] = {
        {"60", 60, 255, 0, 0},          {"0", 0, 0, 0, 0},
        {"60/240", 60, 240, 0, 0},      {"60/127=2/6", 60, 127, 2, 6},
        {"60/127=2", 60, 127, 2, 0},    {"60/ 127=  2/ 6", 60, 127, 2, 6},
        {"316/300", 60, 44, 0, 0},      {"0/0=4294967295/4294967295", 0, 0, 4294967295u, 4294967295u},
        // The default mask follows the value as written, not its low 8 bits.
        {"256", 0, 255, 0, 0},
    };
    for (const Case& c : cases)
    {
      Bridge bridge;
      ASSERT_TRUE(bridge.parse(std::string("action 1 ") + c.filter + " 1 test.Recorder \n"))
          << c.filter;
      ASSERT_EQ(bridge.midi.actions[0].size(), 1u) << c.filter;
      const Midi::Action& action = bridge.midi.actions[0][0];
      EXPECT_EQ(action.filterValue, c.value) << c.filter;
      EXPECT_EQ(action.filterMask, c.mask) << c.filter;
      EXPECT_EQ(action.parameterValue, c.parameterValue) << c.filter;
      EXPECT_EQ(action.parameterMask, c.parameterMask) << c.filter;
    }
  }

  TEST(Config, BlankBeforeASeparatorLeavesItUnread)
  {
    EXPECT_EQ(errorOf("action 1 60 /127 1 EmitMap pad\n"),
              "malformed stuffs: action 1 60 /127 1 EmitMap pad");
  }

  TEST(Config, ChannelAndRobotMasksAreHexadecimal)
  {
    {
      Bridge bridge;
      ASSERT_TRUE(bridge.parse("action 10000 7 0x80000001 test.Recorder \n"));
      for (int slot = 0; slot < Midi::slotCount; ++slot)
        EXPECT_EQ(bridge.midi.actions[slot].size(), slot == 16 ? 1u : 0u) << slot;
      EXPECT_EQ(static_cast<std::uint32_t>(bridge.midi.actions[16][0].robotMask), 0x80000001u);
    }
    for (const char* mask : {"0x3", "3", "0X3"})
    {
      Bridge bridge;
      ASSERT_TRUE(bridge.parse(std::string("action ") + mask + " 7 ff test.Recorder \n"));
      EXPECT_EQ(bridge.midi.actions[0].size(), 1u) << mask;
      EXPECT_EQ(bridge.midi.actions[1].size(), 1u) << mask;
      EXPECT_EQ(bridge.actionCount(), 2u) << mask;
      EXPECT_EQ(bridge.midi.actions[0][0].robotMask, 255);
    }
  }

  TEST(Config, ParameterListIsEveryWordAfterTheName)
  {
    Bridge bridge;
    ASSERT_TRUE(bridge.parse("action 1 60 1 test.Recorder a  #\tb #c\n"
                             "action 1 61 1 test.Recorder \n"));
    ASSERT_EQ(bridge.midi.actions[0].size(), 2u);
    auto* first = dynamic_cast<RecorderOperation*>(bridge.midi.actions[0][0].operation.get());
    auto* second = dynamic_cast<RecorderOperation*>(bridge.midi.actions[0][1].operation.get());
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(first->params, (std::vector<std::string>{"a", "#", "b", "#c"}));
    EXPECT_TRUE(second->params.empty());
  }

  TEST(Config, NameAtTheEndOfTheLineIsMalformed)
  {
    EXPECT_EQ(errorOf("action 1 60 1 test.Recorder\n"), "malformed stuffs: action 1 60 1 test.Recorder");
    // The same without a newline, as the file's last line.
    EXPECT_EQ(errorOf("action 1 60 1 test.Recorder"), "malformed stuffs: action 1 60 1 test.Recorder");
  }

  TEST(Config, EachErrorNamesTheWholeLine)
  {
    const std::pair<const char*, const char*> cases[] = {
        {"robot 32 host 1", "malformed line: robot 32 host 1"},
        {"robot -1 host 1", "malformed line: robot -1 host 1"},
        {"robot x host", "malformed line: robot x host"},
        {"robot", "malformed line: robot"},
        {"robot 99999999999 host", "malformed line: robot 99999999999 host"},
        {"action", "malformed mask: action"},
        {"action zz 60 1 EmitMap pad", "malformed mask: action zz 60 1 EmitMap pad"},
        {"action 1", "malformed mask: action 1"},
        {"action 1FFFFFFFF 60 1 EmitMap pad", "malformed mask: action 1FFFFFFFF 60 1 EmitMap pad"},
        {"action 1 ", "malformed filter: action 1 "},
        {"action 1 x 1 EmitMap pad", "malformed filter: action 1 x 1 EmitMap pad"},
        {"action 1 60", "malformed filter: action 1 60"},
        {"action 1 60/127", "malformed filter: action 1 60/127"},
        {"action 1 60/x 1 EmitMap pad", "malformed filter: action 1 60/x 1 EmitMap pad"},
        {"action 1 60 ", "malformed stuffs: action 1 60 "},
        {"action 1 60 zz EmitMap pad", "malformed stuffs: action 1 60 zz EmitMap pad"},
        {"action 1 60 1 NoSuchKind pad", "Failed to register action from action 1 60 1 NoSuchKind pad: unknown "
                                         "operation NoSuchKind; the operations are DirectMap, EmitMap, ParameterSet, "
                                         "TagMap, TagSwitch, test.Recorder (case counts)"},
        {"action 1 60 1 emitmap pad", "Failed to register action from action 1 60 1 emitmap pad: unknown operation "
                                      "emitmap; the operations are DirectMap, EmitMap, ParameterSet, TagMap, "
                                      "TagSwitch, test.Recorder (case counts)"},
        {"action 1 60 1 EmitMap pad more",
         "Failed to register action from action 1 60 1 EmitMap pad more: EmitMap: needs EVENTNAME, got 2 parameters"},
    };
    for (const auto& [line, message] : cases)
    {
      EXPECT_EQ(errorOf(std::string(line) + "\n"), message) << line;
    }
  }

  TEST(Config, AnActionRefusedSaysWhyWithNoTraceOn)
  {
    // Each kind's parameter counts, as the kind's refusal after the line;
    // the debug level is 0, as while a file is read at start-up.
    const std::pair<const char*, const char*> cases[] = {
        {"action 1 60 1 DirectMap ",
         "DirectMap: needs VARIABLE SOURCEBYTE SCALE OFFSET [OFFVALUE [APPENDNOTE]], got 0 parameters"},
        {"action 1 60 1 DirectMap arm.pos 0 2",
         "DirectMap: needs VARIABLE SOURCEBYTE SCALE OFFSET [OFFVALUE [APPENDNOTE]], got 3 parameters"},
        {"action 1 60 1 DirectMap arm.pos 0 2 10 -1 0 7",
         "DirectMap: needs VARIABLE SOURCEBYTE SCALE OFFSET [OFFVALUE [APPENDNOTE]], got 7 parameters"},
        {"action 1 60 1 EmitMap ", "EmitMap: needs EVENTNAME, got 0 parameters"},
        {"action 1 60 1 TagMap ", "TagMap: needs TAG [APPENDNOTE], got 0 parameters"},
        {"action 1 60 1 TagMap walk 1 2", "TagMap: needs TAG [APPENDNOTE], got 3 parameters"},
        {"action 1 60 1 TagSwitch ", "TagSwitch: needs TAG INITIALSTATE, got 0 parameters"},
        {"action 1 60 1 TagSwitch dance", "TagSwitch: needs TAG INITIALSTATE, got 1 parameter"},
        {"action 1 60 1 TagSwitch dance 0 1", "TagSwitch: needs TAG INITIALSTATE, got 3 parameters"},
        {"action 1 60 1 ParameterSet ", "ParameterSet: needs MASK, got 0 parameters"},
        {"action 1 60 1 ParameterSet 4 8", "ParameterSet: needs MASK, got 2 parameters"},
    };
    for (const auto& [line, why] : cases)
    {
      notara::test::CerrCapture capture;
      EXPECT_EQ(errorOf(std::string(line) + "\n"), "Failed to register action from " + std::string(line) + ": " + why)
        << line;
      EXPECT_EQ(capture.text(), "") << line;
    }
  }

  TEST(Config, AnErrorStopsReadingAndKeepsWhatCameBefore)
  {
    Bridge bridge;
    EXPECT_THROW(bridge.parse("action 1 60 1 EmitMap first\n"
                              "action 1 61 1 NoSuchKind x\n"
                              "action 1 62 1 EmitMap third\n"),
                 std::runtime_error);
    ASSERT_EQ(bridge.midi.actions[0].size(), 1u);
    EXPECT_EQ(bridge.midi.actions[0][0].filterValue, 60);
  }

  TEST(Config, LastLineWithoutNewlineIsProcessed)
  {
    Bridge bridge;
    EXPECT_TRUE(bridge.parse("action 1 60 1 EmitMap a\naction 1 61 1 EmitMap b"));
    ASSERT_EQ(bridge.midi.actions[0].size(), 2u);
    EXPECT_EQ(bridge.midi.actions[0][1].filterValue, 61);
  }

  TEST(Config, LinesOfUpTo1023CharactersAreRead)
  {
    // Padded with parameters to exactly 1023 characters.
    std::string line = "action 1 60 1 test.Recorder ";
    while (line.size() < 1023)
      line += 'p';
    ASSERT_EQ(line.size(), 1023u);
    for (const std::string& text : {line + "\n", line})
    {
      Bridge bridge;
      EXPECT_TRUE(bridge.parse(text));
      ASSERT_EQ(bridge.midi.actions[0].size(), 1u);
      auto* recorder = dynamic_cast<RecorderOperation*>(bridge.midi.actions[0][0].operation.get());
      ASSERT_NE(recorder, nullptr);
      ASSERT_EQ(recorder->params.size(), 1u);
      EXPECT_EQ(recorder->params[0].size(), 1023u - 28u);
    }
  }

  TEST(Config, LineOf1024CharactersIsAnErrorAndNothingAfterItTakesEffect)
  {
    std::string longLine = "action 1 61 1 test.Recorder ";
    while (longLine.size() < 1024)
      longLine += 'p';
    // A very long comment is no exception: it can't be told from a line
    // whose rest would be read as the next one.
    const std::string longComment = "#" + std::string(2000, 'c');
    for (const std::string& bad : {longLine, longComment})
    {
      Bridge bridge;
      try
      {
        bridge.parse("action 1 60 1 EmitMap first\n" + bad + "\naction 1 62 1 EmitMap third\n");
        ADD_FAILURE() << "no error for a line of " << bad.size() << " characters";
      }
      catch (const std::runtime_error& e)
      {
        EXPECT_EQ(std::string(e.what()),
                  "Midi::parseConfig: line too long (over 1023 characters): line 2");
      }
      ASSERT_EQ(bridge.midi.actions[0].size(), 1u);
      EXPECT_EQ(bridge.midi.actions[0][0].filterValue, 60);
    }
  }

  TEST(Config, BadNumberInASetupNamesTheLine)
  {
    for (const std::string line : {"action 1 60 1 DirectMap pos x 2 10",
                                   "action 1 60 1 DirectMap pos 0 2 10 -1 true",
                                   "action 1 60 1 TagSwitch dance true",
                                   "action 1 60 1 ParameterSet 4294967296"})
    {
      Bridge bridge;
      try
      {
        bridge.parse("action 1 59 1 EmitMap first\n" + line + "\naction 1 61 1 EmitMap third\n");
        ADD_FAILURE() << "no error for " << line;
      }
      catch (const std::runtime_error& e)
      {
        const std::string message = e.what();
        EXPECT_EQ(message.rfind("Midi::parseConfig: bad number (", 0), 0u) << message;
        EXPECT_NE(message.find(") in line: " + line), std::string::npos) << message;
        EXPECT_EQ(message.substr(message.size() - line.size()), line);
      }
      ASSERT_EQ(bridge.midi.actions[0].size(), 1u) << line;
      EXPECT_EQ(bridge.midi.actions[0][0].filterValue, 59);
    }
  }

  TEST(Config, RobotLineOpensTheSlot)
  {
    notara::test::TestServer server;
    // Declared before the bridge, so that the robot's link (whose thread
    // writes to standard error) has stopped before the capture goes.
    notara::test::CerrCapture capture;
    Bridge bridge;
    const std::string port = std::to_string(server.port());
    EXPECT_TRUE(bridge.parse("robot 31 127.0.0.1 " + port + " extra words\n"));
    EXPECT_EQ(capture.text().rfind("Registering robot 127.0.0.1 " + port + "\n", 0), 0u)
        << capture.text();
    const std::vector<RobotLinkView> views = bridge.midi.robotViews();
    ASSERT_EQ(views.size(), 1u);
    EXPECT_EQ(views[0].slot, 31);
    EXPECT_EQ(views[0].address, "127.0.0.1:" + port);
    EXPECT_TRUE(server.waitForConnections(1));
  }

  TEST(Config, MissingPortIs54000)
  {
    for (const char* line : {"robot 3 127.0.0.1\n", "robot 3 127.0.0.1 \t\n"})
    {
      // The robot's thread may report the port as lost: the capture is read
      // once the bridge, and so that thread, is gone.
      notara::test::CerrCapture capture;
      {
        Bridge bridge;
        EXPECT_TRUE(bridge.parse(line));
        const std::vector<RobotLinkView> views = bridge.midi.robotViews();
        ASSERT_EQ(views.size(), 1u);
        EXPECT_EQ(views[0].slot, 3);
        EXPECT_EQ(views[0].address, "127.0.0.1:54000");
      }
      EXPECT_EQ(capture.text().rfind("Registering robot 127.0.0.1 54000\n", 0), 0u)
          << capture.text();
    }
  }

  TEST(Config, APortWordThatIsNotAPortNumberIsRejected)
  {
    // Too large for an int or a long, not a number, a number and more, a sign.
    for (const char* port : {"70000", "0", "-1", "99999999999", "18446744073709551617", "port",
                             "80x", "0x50", "+80", "8O"})
    {
      Bridge bridge;
      notara::test::CerrCapture capture;
      const std::string line = std::string("robot 1 127.0.0.1 ") + port;
      try
      {
        bridge.parse(line + "\n");
        ADD_FAILURE() << "no error for " << line;
      }
      catch (const std::runtime_error& e)
      {
        EXPECT_EQ(std::string(e.what()), std::string("Midi::parseConfig: port ") + port +
                                             " is not a number from 1 to 65535: " + line);
      }
      EXPECT_EQ(capture.text(), "");
      EXPECT_TRUE(bridge.midi.robotViews().empty());
    }
  }

  TEST(Config, ASecondRobotLineForATakenSlotIsAnErrorNamingTheLine)
  {
    notara::test::CerrCapture capture;
    Bridge bridge;
    try
    {
      bridge.parse("robot 2 127.0.0.1 1\n# again\nrobot 2 127.0.0.1 2\nrobot 3 127.0.0.1 3\n");
      ADD_FAILURE() << "no error";
    }
    catch (const std::runtime_error& e)
    {
      EXPECT_STREQ(e.what(), "Midi::parseConfig: robot slot 2 is already taken: line 3: robot 2 127.0.0.1 2");
    }
    // The first link keeps the slot, and reading stopped at the error.
    const std::vector<RobotLinkView> views = bridge.midi.robotViews();
    ASSERT_EQ(views.size(), 1u);
    EXPECT_EQ(views[0].slot, 2);
    EXPECT_EQ(views[0].address, "127.0.0.1:1");
  }

  TEST(Config, AMaxageLineSetsTheAgeLimitOfTheRobotsAfterIt)
  {
    notara::test::CerrCapture capture;
    Bridge bridge;
    EXPECT_TRUE(bridge.parse("robot 0 127.0.0.1 1\nmaxage 250\nrobot 1 127.0.0.1 1\nmaxage 0\nrobot 2 127.0.0.1 1\n"));
    const std::vector<RobotLinkView> views = bridge.midi.robotViews();
    ASSERT_EQ(views.size(), 3u);
    EXPECT_EQ(views[0].maxAge, std::chrono::milliseconds(1000));
    EXPECT_EQ(views[1].maxAge, std::chrono::milliseconds(250));
    EXPECT_EQ(views[2].maxAge, std::chrono::milliseconds(0));

    for (const char* bad : {"maxage", "maxage x", "maxage -1", "maxage 10ms", "maxage 86400001"})
    {
      const std::string word = std::string(bad).size() > 7 ? std::string(bad).substr(7) : std::string();
      EXPECT_EQ(errorOf(std::string(bad) + "\n"), "Midi::parseConfig: maxage " + word +
                                                       " is not a number of milliseconds from 0 to 86400000: line 1: " +
                                                       bad);
    }
  }
}

TEST(ConfigInputLines, NameIsTheRestOfTheLineAndChannelIsOptional)
{
  Bridge bridge;
  ASSERT_TRUE(bridge.parse("input Keyboard MIDI 1\n"
                           "input channel 5 Pad Controller  \n"
                           "input\tchannel 15\tx:y 20:0\n"
                           "input channelled name\n"));
  const std::vector<InputLine> expected{
    {"Keyboard MIDI 1", -1}, {"Pad Controller", 5}, {"x:y 20:0", 15}, {"channelled name", -1}};
  EXPECT_EQ(bridge.midi.inputLines, expected);
}

TEST(ConfigInputLines, ABadChannelAMissingNameOrANinthLineIsAnErrorNamingTheLine)
{
  std::string nineLines;
  for (int i = 0; i < 9; ++i)
    nineLines += "input d" + std::to_string(i) + "\n";
  const struct
  {
    std::string text;
    std::string message;
  } cases[] = {
    {"input channel 16 Pads\n", "Midi::parseConfig: input channel 16 is not a channel from 0 to 15: line 1: input channel 16 Pads"},
    {"input channel x Pads\n", "Midi::parseConfig: input channel x is not a channel from 0 to 15: line 1: input channel x Pads"},
    {"input channel 3\n", "Midi::parseConfig: input names no MIDI device: line 1: input channel 3"},
    {"\ninput   \n", "Midi::parseConfig: input names no MIDI device: line 2: input   "},
    {nineLines, "Midi::parseConfig: more than 8 input lines: line 9: input d8"},
  };
  for (const auto& c : cases)
  {
    SCOPED_TRACE(c.text);
    Bridge bridge;
    try
    {
      bridge.parse(c.text);
      ADD_FAILURE() << "no error";
    }
    catch (const std::runtime_error& e)
    {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
}
