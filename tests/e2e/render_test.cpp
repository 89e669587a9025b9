// notara --render: the example song through the example configuration,
// against the golden output checked in beside this test; the JSON form;
// bad songs and configurations; and render equals live: the same song
// played by midi-pattern through JACK into a running notara, whose robot
// must receive exactly the texts the render printed for it, in order.
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/child_process.h"
#include "support/jack_test.h"
#include "support/notara_run.h"
#include "support/private_jack_server.h"
#include "support/temp_dir.h"
#include "support/test_server.h"

using namespace notara::test;

namespace
{
  const std::filesystem::path sourceDir = NOTARA_SOURCE_DIR;
  const std::string exampleSong = (sourceDir / "examples" / "song.mid").string();

  // The example configuration with its robot moved to 127.0.0.1:`port`.
  std::string exampleConf(unsigned port)
  {
    std::string conf = readFile(sourceDir / "examples" / "notara.conf");
    const std::string robot = "robot 0 127.0.0.1 54000\n";
    const auto at = conf.find(robot);
    EXPECT_NE(at, std::string::npos) << "examples/notara.conf lost its robot line";
    if (at != std::string::npos)
      conf.replace(at, robot.size(), robotLine(0, port));
    return conf;
  }

  TEST(Render, ExampleSongMatchesTheGoldenOutput)
  {
    NotaraRun run(NOTARA_BINARY, "");
    const ExitStatus status =
      runToExit(run, {"--render", exampleSong, (sourceDir / "examples" / "notara.conf").string()});
    EXPECT_FALSE(status.signalled);
    EXPECT_EQ(status.value, 0) << run.process().errors();
    EXPECT_EQ(run.process().output(), readFile(sourceDir / "tests" / "golden" / "song.render"));
  }

  TEST(Render, TheExampleSongIsWhatItsScriptWrites)
  {
    TempDir dir;
    const auto written = dir.path() / "song.mid";
    ChildProcess script("/usr/bin/python3", {(sourceDir / "scripts" / "make-example-song").string(), written.string()},
                        dir.path());
    const auto status = script.waitForExit();
    ASSERT_TRUE(status && !status->signalled && status->value == 0) << script.errors();
    EXPECT_EQ(readFile(written), readFile(exampleSong)) << "run scripts/make-example-song and check in examples/song.mid";
  }

  TEST(Render, JsonLinesCarryTheSameTextsAndTimes)
  {
    NotaraRun plain(NOTARA_BINARY, exampleConf(54000));
    runToExit(plain, {"--clock", "--render", exampleSong});
    NotaraRun json(NOTARA_BINARY, exampleConf(54000));
    runToExit(json, {"--clock", "--json", "--render", exampleSong});

    std::istringstream plainLines(plain.process().output());
    std::istringstream jsonLines(json.process().output());
    std::string plainLine;
    std::string jsonLine;
    ASSERT_TRUE(std::getline(plainLines, plainLine) && std::getline(jsonLines, jsonLine));
    EXPECT_EQ(plainLine.rfind("# actions that robots register while running", 0), 0u) << plainLine;
    EXPECT_EQ(nlohmann::json::parse(jsonLine).at("note"), plainLine.substr(2));
    std::size_t lines = 0;
    std::size_t ticks = 0;
    while (std::getline(plainLines, plainLine))
    {
      ASSERT_TRUE(std::getline(jsonLines, jsonLine)) << "no JSON line for " << plainLine;
      const nlohmann::json line = nlohmann::json::parse(jsonLine);
      char barBeat[48];
      std::snprintf(barBeat, sizeof barBeat, "%.3f %d:%.2f robot %d ", line.at("seconds").get<double>(),
                    line.at("bar").get<int>(), line.at("beat").get<double>(), line.at("robot").get<int>());
      EXPECT_EQ(plainLine, barBeat + line.at("text").get<std::string>());
      ticks += plainLine.find("emit midi.tick( 0),") != std::string::npos;
      ++lines;
    }
    EXPECT_FALSE(std::getline(jsonLines, jsonLine)) << "an extra JSON line: " << jsonLine;
    // The song is 12 4/4 beats at 120 and 9 3/4 beats at 100 long: a tick per beat.
    EXPECT_EQ(ticks, 16u + 9u);
    EXPECT_GT(lines, ticks * 3);
  }

  TEST(Render, BadSongsAndConfigurationsFailWithTheirMessage)
  {
    NotaraRun badSong(NOTARA_BINARY, exampleConf(54000));
    badSong.dir().write("bad.mid", std::string("MThd\0\0\0\6\0\0\0\1\0\x60MTrk\xFF\xFF\xFF\xFF", 22));
    ExitStatus status = runToExit(badSong, {"--render", "bad.mid"});
    EXPECT_EQ(status.value, 3);
    EXPECT_EQ(badSong.process().errors(),
              "notara: bad.mid: track 1, byte 14: the chunk claims 4294967295 bytes, 0 remain\n");
    EXPECT_EQ(badSong.process().output(), "");

    // A bad line fails as --check reports it.
    NotaraRun badConf(NOTARA_BINARY, "action 1 60 1 NoSuchOperation\n");
    status = runToExit(badConf, {"--render", exampleSong});
    EXPECT_EQ(status.value, 2);
    const std::string renderErrors = badConf.process().errors();
    NotaraRun check(NOTARA_BINARY, "action 1 60 1 NoSuchOperation\n");
    status = runToExit(check, {"--check"});
    EXPECT_EQ(status.value, 2);
    EXPECT_EQ(renderErrors, check.process().errors());
    EXPECT_EQ(badConf.process().output(), "");
  }

  // midi-pattern with a song, where no port is opened: its schedule, and the
  // refusals of a bad song and of options that don't fit the file.
  TEST(MidiPatternSong, PrintsTheScheduleAndRefusesWhatDoesNotFit)
  {
    TempDir dir;
    auto runPattern = [&](const std::vector<std::string>& args) {
      auto process = std::make_unique<ChildProcess>(MIDI_PATTERN_BINARY, args, dir.path());
      const auto status = process->waitForExit();
      EXPECT_TRUE(status && !status->signalled) << testing::PrintToString(args);
      return std::make_pair(status ? status->value : -1, std::move(process));
    };

    auto [status, printed] = runPattern({"--print", "--clock", "--from", "8", exampleSong});
    EXPECT_EQ(status, 0) << printed->errors();
    // From bar 5 (8 s, 100 beats a minute): start, then the clock before the note of the same moment.
    EXPECT_EQ(printed->output().rfind("0 us  start\n0 us  clock\n0 us  note on ch 0 55 100\n25000 us  clock\n", 0), 0u)
      << printed->output();

    dir.write("bad.mid", std::string("MThd\0\0\0\6\0\0\0\1\0\x60MTrk\0\0\0\3\0\x3C\x64", 25));
    auto [badStatus, bad] = runPattern({"--print", "bad.mid"});
    EXPECT_EQ(badStatus, 2);
    EXPECT_EQ(bad->errors(),
              "midi-pattern: bad.mid: track 1, byte 23: running status with no status before it (data byte 0x3C)\n");

    auto [clockStatus, clock] =
      runPattern({"--print", "--clock", (sourceDir / "examples" / "pattern.txt").string()});
    EXPECT_EQ(clockStatus, 2);
    EXPECT_NE(clock->errors().find("--clock and --from apply to song files"), std::string::npos) << clock->errors();
    auto [tempoStatus, tempo] = runPattern({"--print", "--tempo", "90", exampleSong});
    EXPECT_EQ(tempoStatus, 2);
    EXPECT_NE(tempo->errors().find("--tempo applies to pattern files"), std::string::npos) << tempo->errors();
  }

  // The texts the render prints for robot 0, in order.
  std::string renderedTexts(const std::string& conf, bool clock)
  {
    NotaraRun run(NOTARA_BINARY, conf);
    std::vector<std::string> args{"--json", "--render", exampleSong};
    if (clock)
      args.insert(args.begin(), "--clock");
    runToExit(run, args);
    std::istringstream lines(run.process().output());
    std::string line;
    std::string texts;
    std::getline(lines, line);  // what can't be known
    while (std::getline(lines, line))
    {
      const nlohmann::json object = nlohmann::json::parse(line);
      if (object.at("robot") == 0)
        texts += object.at("text").get<std::string>();
    }
    return texts;
  }

  // The tempo a robot receives live is measured from arrival times; its
  // numbers are masked, the texts themselves and their order are not.
  std::string withoutTempoNumbers(const std::string& texts)
  {
    return std::regex_replace(texts, std::regex(R"((midi\.bpm|midi\.period)=-?\d+,)"), "$1=N,");
  }

  class RenderEqualsLive : public JackTest
  {
  protected:
    // A synchronous JACK server of the test's own waits for every client in
    // each cycle, so no note or clock is lost on a busy machine; one lost
    // clock would move every later beat's tick a clock later.
    void SetUp() override
    {
      try
      {
        jack_ = std::make_unique<PrivateJackServer>(true);
      }
      catch (const std::exception& e)
      {
        FAIL() << e.what();
      }
      JackTest::SetUp();
    }

    // Plays the example song with midi-pattern (`patternOptions` added)
    // through JACK into notara with one stand-in robot; what the robot
    // received after its upload.
    // It waits for `expectedSize` bytes after the upload and for `lastText`.
    std::string playLive(const std::string& conf, const TestServer& robot, std::size_t expectedSize,
                         const std::string& lastText, const std::vector<std::string>& patternOptions)
    {
      TempDir dir;
      std::vector<std::string> args{"--api", "jack", "--port", "e2e-song", "--wait", "30", "--lead-in", "1"};
      args.insert(args.end(), patternOptions.begin(), patternOptions.end());
      args.push_back(exampleSong);
      ChildProcess pattern(MIDI_PATTERN_BINARY, args, dir.path());
      EXPECT_TRUE(pattern.waitForOutput(" open on JACK")) << pattern.errors();
      std::smatch match;
      const std::string opened = pattern.output();
      if (!std::regex_search(opened, match, std::regex("port (\\S+) open on JACK")))
      {
        ADD_FAILURE() << "no port in: " << opened;
        return "";
      }
      // notara finds the device by name: the test process lists no devices,
      // so it keeps no JACK client across the servers of its tests.
      NotaraRun run(NOTARA_BINARY, conf);
      run.start({"--device", match[1].str().substr(0, 31)});
      EXPECT_TRUE(run.waitUntilIdle()) << run.process().errors();
      EXPECT_TRUE(robot.waitForBytes(0, run.upload().size()));

      const auto ended = pattern.waitForExit(std::chrono::seconds(60));
      EXPECT_TRUE(ended && ended->value == 0) << pattern.output() << pattern.errors();
      EXPECT_TRUE(robot.waitForBytes(0, run.upload().size() + expectedSize) && robot.waitForText(0, lastText))
        << robot.received(0).substr(run.upload().size());
      // A moment for anything extra to arrive, then the whole of it.
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      const std::string received = robot.received(0);
      EXPECT_EQ(received.substr(0, run.upload().size()), run.upload());
      EXPECT_TRUE(run.process().running()) << run.process().errors();
      return received.substr(std::min(received.size(), run.upload().size()));
    }

  private:
    std::unique_ptr<PrivateJackServer> jack_;
  };

  TEST_F(RenderEqualsLive, ARobotReceivesWhatTheRenderPrinted)
  {
    TestServer robot;
    const std::string conf = exampleConf(robot.port());
    const std::string expected = renderedTexts(conf, false);
    ASSERT_GT(expected.size(), 500u);
    EXPECT_EQ(playLive(conf, robot, expected.size(), "grip41=0,", {}), expected);
  }

  TEST_F(RenderEqualsLive, WithTheClockTooTheTempoNumbersAside)
  {
    TestServer robot;
    const std::string conf = exampleConf(robot.port());
    const std::string expected = renderedTexts(conf, true);
    ASSERT_NE(expected.find("emit midi.start(),"), std::string::npos);
    // The live tempo texts may be a digit shorter or longer: wait for the stop.
    const std::string live = playLive(conf, robot, 0, "emit midi.stop(),", {"--clock"});
    EXPECT_EQ(withoutTempoNumbers(live), withoutTempoNumbers(expected));
  }
}
