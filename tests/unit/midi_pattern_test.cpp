// The pattern format and the command line of midi-pattern: timing of notes,
// sweeps and the clock, ordering, and the messages for bad lines.
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "midi-pattern/pattern.h"
#include "midi-pattern/pattern_options.h"
#include "midi-pattern/pattern_parser.h"

namespace
{
  using midipattern::Pattern;
  using midipattern::PatternEvent;
  using midipattern::PatternParser;

  struct Parsed
  {
    Pattern pattern;
    std::vector<std::string> errors;
  };

  Parsed parse(const std::string& text, std::optional<double> tempo = std::nullopt)
  {
    std::istringstream in(text);
    Parsed parsed;
    parsed.pattern = PatternParser::parse(in, parsed.errors, tempo);
    return parsed;
  }

  // The events whose status byte is `status` (captions have none).
  std::vector<PatternEvent> withStatus(const Pattern& pattern, std::uint8_t status)
  {
    std::vector<PatternEvent> found;
    for (const PatternEvent& e : pattern.events())
      if (e.size > 0 && e.bytes[0] == status)
        found.push_back(e);
    return found;
  }

  std::string joined(const std::vector<std::string>& lines)
  {
    std::string all;
    for (const std::string& line : lines)
      all += line + "\n";
    return all;
  }
}

TEST(MidiPatternParser, NotesTakeTheirTimeFromWaitsAtTheCurrentTempo)
{
  const Parsed p = parse("note 0 60 100 0.5\n"
                         "wait 1\n"
                         "tempo 60\n"
                         "note 3 64 90 1\n"
                         "wait 2\n");
  ASSERT_TRUE(p.errors.empty()) << joined(p.errors);
  const auto& e = p.pattern.events();
  ASSERT_EQ(e.size(), 4u);
  // 120 BPM: half a beat is 250 ms; the second note starts after one beat.
  EXPECT_EQ(e[0].micros, 0);
  EXPECT_EQ(e[0].bytes, (std::array<std::uint8_t, 3>{0x90, 60, 100}));
  EXPECT_EQ(e[1].micros, 250000);
  EXPECT_EQ(e[1].bytes, (std::array<std::uint8_t, 3>{0x80, 60, 0}));
  EXPECT_EQ(e[2].micros, 500000);
  EXPECT_EQ(e[2].bytes, (std::array<std::uint8_t, 3>{0x93, 64, 90}));
  // 60 BPM: one beat is a second.
  EXPECT_EQ(e[3].micros, 1500000);
  EXPECT_EQ(e[3].bytes, (std::array<std::uint8_t, 3>{0x83, 64, 0}));
  EXPECT_EQ(p.pattern.lengthMicros(), 2500000);
  EXPECT_EQ(e[2].line, 4);
}

TEST(MidiPatternParser, OnOffAndControlChangeSendExactlyTheirBytes)
{
  const Parsed p = parse("on 15 127 0\noff 2 61\noff 2 61 64\ncc 1 7 127\n");
  ASSERT_TRUE(p.errors.empty()) << joined(p.errors);
  const auto& e = p.pattern.events();
  ASSERT_EQ(e.size(), 4u);
  EXPECT_EQ(e[0].bytes, (std::array<std::uint8_t, 3>{0x9F, 127, 0}));
  EXPECT_EQ(e[1].bytes, (std::array<std::uint8_t, 3>{0x82, 61, 0}));
  EXPECT_EQ(e[2].bytes, (std::array<std::uint8_t, 3>{0x82, 61, 64}));
  EXPECT_EQ(e[3].bytes, (std::array<std::uint8_t, 3>{0xB1, 7, 127}));
  for (const PatternEvent& event : e)
  {
    EXPECT_EQ(event.size, 3);
    EXPECT_EQ(event.micros, 0);
  }
}

TEST(MidiPatternParser, MessagesOfOneMomentKeepTheirLineOrder)
{
  // The first note's release and the second note's press fall on the same
  // moment; the release was written first (by the earlier line).
  const Parsed p = parse("note 0 60 100 1\nwait 1\nnote 0 60 100 1\nwait 1\n");
  ASSERT_TRUE(p.errors.empty()) << joined(p.errors);
  const auto& e = p.pattern.events();
  ASSERT_EQ(e.size(), 4u);
  EXPECT_EQ(e[1].micros, 500000);
  EXPECT_EQ(e[1].bytes[0], 0x80);
  EXPECT_EQ(e[2].micros, 500000);
  EXPECT_EQ(e[2].bytes[0], 0x90);
  // A long note's release is sorted among what follows it.
  const Parsed q = parse("note 0 60 100 4\ncc 0 1 1\nwait 1\ncc 0 1 2\nwait 4\n");
  ASSERT_EQ(q.pattern.events().size(), 4u);
  EXPECT_EQ(q.pattern.events().back().bytes[0], 0x80);
}

TEST(MidiPatternParser, StartRunsTwentyFourClocksPerBeatUntilStop)
{
  const Parsed p = parse("start\nwait 2\nstop\nwait 1\n");
  ASSERT_TRUE(p.errors.empty()) << joined(p.errors);
  const auto& e = p.pattern.events();
  ASSERT_EQ(e.size(), 1u + 48u + 1u);
  EXPECT_EQ(e.front().bytes[0], 0xFA);
  EXPECT_EQ(e.front().size, 1);
  const auto clocks = withStatus(p.pattern, 0xF8);
  ASSERT_EQ(clocks.size(), 48u);
  // The first clock comes right after the start, the 25th one beat later.
  EXPECT_EQ(clocks[0].micros, 0);
  EXPECT_EQ(e[1].bytes[0], 0xF8);
  EXPECT_EQ(clocks[1].micros, 20833);
  EXPECT_EQ(clocks[24].micros, 500000);
  EXPECT_EQ(clocks[47].micros, 979167);
  // The stop ends the second beat; no clock goes with it or after it.
  EXPECT_EQ(e.back().bytes[0], 0xFC);
  EXPECT_EQ(e.back().micros, 1000000);
  EXPECT_EQ(p.pattern.lengthMicros(), 1500000);
}

TEST(MidiPatternParser, ClockFollowsATempoChangeAndRunsWithoutStartWhenAskedTo)
{
  const Parsed p = parse("clock on\nwait 1\ntempo 60\nwait 1\nclock off\nwait 1\n");
  ASSERT_TRUE(p.errors.empty()) << joined(p.errors);
  EXPECT_TRUE(withStatus(p.pattern, 0xFA).empty());
  EXPECT_TRUE(withStatus(p.pattern, 0xFC).empty());
  const auto clocks = withStatus(p.pattern, 0xF8);
  ASSERT_EQ(clocks.size(), 48u);
  EXPECT_EQ(clocks[24].micros, 500000);
  // At 60 BPM a clock lasts 1/24 s.
  EXPECT_EQ(clocks[25].micros, 541667);
  EXPECT_EQ(clocks[47].micros, 1458333);

  // A second "clock on" or a start while it runs does not restart its phase.
  const Parsed q = parse("clock on\nwait 0.5\nclock on\nstart\nwait 0.5\n");
  ASSERT_TRUE(q.errors.empty()) << joined(q.errors);
  EXPECT_EQ(withStatus(q.pattern, 0xF8).size(), 24u);
  EXPECT_EQ(withStatus(q.pattern, 0xFA).size(), 1u);
}

TEST(MidiPatternParser, SweepSpreadsItsStepsAndAlwaysEndsOnItsEndValue)
{
  const Parsed up = parse("sweep 0 7 0 127 3 8\n");
  ASSERT_TRUE(up.errors.empty()) << joined(up.errors);
  const auto& e = up.pattern.events();
  ASSERT_EQ(e.size(), 17u);
  for (std::size_t i = 0; i < 16; ++i)
    EXPECT_EQ(e[i].bytes[2], 8 * i);
  EXPECT_EQ(e[16].bytes[2], 127);
  EXPECT_EQ(e[0].bytes[0], 0xB0);
  EXPECT_EQ(e[0].bytes[1], 7);
  EXPECT_EQ(e[0].micros, 0);
  EXPECT_EQ(e[1].micros, 93750);  // 1.5 s over 16 intervals
  EXPECT_EQ(e[16].micros, 1500000);
  // A sweep does not let time pass.
  EXPECT_EQ(up.pattern.lengthMicros(), 1500000);

  const Parsed down = parse("sweep 2 1 10 0 1 4\n");
  ASSERT_TRUE(down.errors.empty()) << joined(down.errors);
  std::vector<int> values;
  for (const PatternEvent& event : down.pattern.events())
    values.push_back(event.bytes[2]);
  EXPECT_EQ(values, (std::vector<int>{10, 6, 2, 0}));
  EXPECT_EQ(down.pattern.events()[0].bytes[0], 0xB2);

  const Parsed single = parse("sweep 0 1 5 5 2\n");
  ASSERT_EQ(single.pattern.events().size(), 1u);
  EXPECT_EQ(single.pattern.events()[0].bytes[2], 5);
}

TEST(MidiPatternParser, CommentsBlanksAndCaptions)
{
  const Parsed p = parse("# a comment line\n"
                         "\n"
                         "   \t\n"
                         "say   two   words # not part of the caption\r\n"
                         "wait 1 # half a second\r\n"
                         "say a#b\n");
  ASSERT_TRUE(p.errors.empty()) << joined(p.errors);
  const auto& e = p.pattern.events();
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0].size, 0);
  EXPECT_EQ(e[0].caption, "two words");
  EXPECT_EQ(e[0].line, 4);
  // A '#' inside a word is no comment.
  EXPECT_EQ(e[1].caption, "a#b");
  EXPECT_EQ(e[1].micros, 500000);
  EXPECT_EQ(p.pattern.messageCount(), 0u);
}

TEST(MidiPatternParser, BadLinesAreReportedWithTheirNumberAndTheRestStays)
{
  const Parsed p = parse("note 16 60 100 1\n"   // 1: channel
                         "note 0 128 100 1\n"   // 2: note
                         "note 0 60 0 1\n"      // 3: velocity 0 would be a release
                         "note 0 60 100 0\n"    // 4: no length
                         "wait -1\n"            // 5
                         "tempo 0\n"            // 6
                         "clock maybe\n"        // 7
                         "cc 0 7\n"             // 8: too few
                         "start now\n"          // 9: too many
                         "nots 0 60\n"          // 10: unknown
                         "wait 1x\n"            // 11
                         "say\n"                // 12
                         "sweep 0 7 0 127 1 0\n"  // 13: step
                         "cc 0 7 64\n");        // 14: good
  ASSERT_EQ(p.errors.size(), 13u) << joined(p.errors);
  for (std::size_t i = 0; i < p.errors.size(); ++i)
    EXPECT_NE(p.errors[i].find("PatternParser::parseLine: line " + std::to_string(i + 1) + ": "),
              std::string::npos)
      << p.errors[i];
  EXPECT_NE(p.errors[0].find("bad channel '16' (a whole number from 0 to 15)"), std::string::npos);
  EXPECT_NE(p.errors[0].find(": note 16 60 100 1"), std::string::npos) << "the line itself is shown";
  EXPECT_NE(p.errors[2].find("bad velocity '0'"), std::string::npos);
  EXPECT_NE(p.errors[7].find("expected 'cc CHANNEL CONTROLLER VALUE', got 2 arguments"), std::string::npos);
  EXPECT_NE(p.errors[9].find("unknown command 'nots'"), std::string::npos);
  EXPECT_NE(p.errors[10].find("bad number of beats '1x' (a number 0 or more)"), std::string::npos);
  EXPECT_NE(p.errors[3].find("bad length in beats '0' (a number above 0)"), std::string::npos);
  // The good line is kept, and the bad ones added nothing.
  ASSERT_EQ(p.pattern.events().size(), 1u);
  EXPECT_EQ(p.pattern.events()[0].bytes, (std::array<std::uint8_t, 3>{0xB0, 7, 64}));
  EXPECT_EQ(p.pattern.lengthMicros(), 0);
}

TEST(MidiPatternParser, APatternLongerThanAnHourIsRefused)
{
  const Parsed p = parse("tempo 1\nwait 59\nwait 1\nwait 1\nnote 0 60 100 100\nwait 1e300\nwait 5000000\n");
  ASSERT_EQ(p.errors.size(), 4u) << joined(p.errors);
  // Too big a number of beats is refused as such, not as a bad number.
  EXPECT_NE(p.errors[3].find("line 7: the pattern would last longer"), std::string::npos) << p.errors[3];
  EXPECT_NE(p.errors[0].find("line 4: the pattern would last longer than 3600 seconds"), std::string::npos);
  EXPECT_NE(p.errors[1].find("line 5: "), std::string::npos);
  EXPECT_EQ(p.pattern.lengthMicros(), 3600LL * 1000 * 1000);
}

TEST(MidiPatternParser, AFixedTempoOverridesTempoLinesButTheyAreStillChecked)
{
  const Parsed p = parse("tempo 120\nwait 1\ntempo 2000\n", 60.0);
  ASSERT_EQ(p.errors.size(), 1u);
  EXPECT_NE(p.errors[0].find("line 3: bad tempo '2000'"), std::string::npos);
  EXPECT_EQ(p.pattern.lengthMicros(), 1000000);
}

TEST(MidiPatternMessages, DescriptionsNameKindChannelAndData)
{
  PatternEvent e;
  e.size = 3;
  e.bytes = {0x93, 60, 100};
  EXPECT_EQ(midipattern::describeMessage(e), "note on ch 3 60 100");
  e.bytes = {0xB1, 7, 0};
  EXPECT_EQ(midipattern::describeMessage(e), "control ch 1 7 0");
  e.size = 1;
  e.bytes = {0xF8, 0, 0};
  EXPECT_EQ(midipattern::describeMessage(e), "clock");
  e.bytes = {0xFC, 0, 0};
  EXPECT_EQ(midipattern::describeMessage(e), "stop");
}

TEST(MidiPatternOptions, DefaultsAndEveryOption)
{
  using midipattern::MidiApi;
  using midipattern::parseCommandLine;
  const auto defaults = parseCommandLine({}, "/x/pattern.txt");
  EXPECT_EQ(defaults.portName, "notara-pattern");
  EXPECT_EQ(defaults.api, MidiApi::automatic);
  EXPECT_EQ(defaults.patternFile, "/x/pattern.txt");
  EXPECT_FALSE(defaults.tempo);

  const auto o = parseCommandLine({"--port", "src", "--api=jack", "--wait", "5", "--lead-in=0.5", "--gap", "3",
                                   "--tempo", "90", "-v", "--print", "mine.txt"},
                                  "/x/pattern.txt");
  EXPECT_EQ(o.portName, "src");
  EXPECT_EQ(o.api, MidiApi::jack);
  EXPECT_EQ(o.waitSeconds, 5);
  EXPECT_EQ(o.leadInSeconds, 0.5);
  EXPECT_EQ(o.gapMillis, 3);
  ASSERT_TRUE(o.tempo);
  EXPECT_EQ(*o.tempo, 90);
  EXPECT_TRUE(o.verbose);
  EXPECT_TRUE(o.printOnly);
  EXPECT_EQ(o.patternFile, "mine.txt");
  EXPECT_EQ(parseCommandLine({"--api", "alsa"}, "").api, MidiApi::alsa);
  EXPECT_FALSE(defaults.clock);
  EXPECT_EQ(defaults.fromSeconds, 0);

  const auto song = parseCommandLine({"--clock", "--from=12.5", "show.mid"}, "");
  EXPECT_TRUE(song.clock);
  EXPECT_EQ(song.fromSeconds, 12.5);
  EXPECT_EQ(song.patternFile, "show.mid");
}

TEST(MidiPatternOptions, BadArgumentsAreNamed)
{
  using midipattern::parseCommandLine;
  auto message = [](const std::vector<std::string>& args) -> std::string {
    try
    {
      parseCommandLine(args, "p.txt");
    }
    catch (const std::invalid_argument& e)
    {
      return e.what();
    }
    return "accepted";
  };
  EXPECT_EQ(message({"--port", "a:b"}), "parseCommandLine: bad port name 'a:b' (1 to 64 characters, no ':')");
  EXPECT_EQ(message({"--port", ""}), "parseCommandLine: bad port name '' (1 to 64 characters, no ':')");
  EXPECT_EQ(message({"--api", "oss"}), "parseCommandLine: bad value 'oss' for --api (auto, alsa or jack)");
  EXPECT_EQ(message({"--tempo", "0"}), "parseCommandLine: bad value '0' for --tempo (a number from 1 to 1000)");
  EXPECT_EQ(message({"--wait", "soon"}),
            "parseCommandLine: bad value 'soon' for --wait (a number from 0 to 86400)");
  EXPECT_EQ(message({"--gap"}), "parseCommandLine: --gap needs a value");
  EXPECT_EQ(message({"--print=yes"}), "parseCommandLine: --print takes no value");
  EXPECT_EQ(message({"--clock=on"}), "parseCommandLine: --clock takes no value");
  EXPECT_EQ(message({"--from", "-1"}), "parseCommandLine: bad value '-1' for --from (a number from 0 to 86400)");
  EXPECT_EQ(message({"--loud"}), "parseCommandLine: unknown option '--loud' (see --help)");
  EXPECT_EQ(message({"a.txt", "b.txt"}), "parseCommandLine: more than one pattern file: 'a.txt' and 'b.txt'");
}
