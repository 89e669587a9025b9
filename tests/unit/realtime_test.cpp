// The realtime clock: start, stop, beat ticks and the tempo values, against
// a clock the test controls.
#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bridge/midi.h"
#include "libgantry/utime.h"
#include "support/cerr_capture.h"
#include "support/memory_client.h"
#include "support/slot_clients.h"

namespace
{
  // What libgantry::utime answers in this program; set by the tests.
  std::int64_t fakeNow = 1000000;
}

// Defined here, this clock replaces the library's for this test program:
// the linker takes the library's object only for symbols still missing.
namespace libgantry
{
  std::int64_t utime()
  {
    return fakeNow;
  }
}

namespace
{
  constexpr std::uint8_t clock = 8;  // 0xF8
  constexpr std::uint8_t start = 10;  // 0xFA
  constexpr std::uint8_t stop = 12;  // 0xFC

  const std::string startText = "emit midi.start(),";
  const std::string stopText = "emit midi.stop(),";
  const std::string tickText = "emit midi.tick( 0),";

  using Texts = std::vector<std::string>;

  class Realtime : public ::testing::Test
  {
  protected:
    Realtime()
    {
      fakeNow = 1000000;
    }

    /// What arrived since the last call, after checking both robots agree.
    Texts taken()
    {
      const Texts texts = first.sends();
      EXPECT_EQ(last.sends(), texts);
      first.clear();
      last.clear();
      return texts;
    }

    void clocks(int count)
    {
      for (int i = 0; i < count; ++i)
        midi.handleRealtime(clock);
    }

    notara::test::SlotClients<> clients;
    Midi midi{clients.factory()};
    // First and last slot: the texts go to every robot.
    notara::test::MemoryClient& first = *clients.fill(midi, {0});
    notara::test::MemoryClient& last = *clients.fill(midi, {31});
  };

  TEST_F(Realtime, StartThenTwentyFiveClocks)
  {
    midi.handleRealtime(start);
    EXPECT_TRUE(midi.running);
    EXPECT_EQ(taken(), Texts{startText});

    clocks(1);
    EXPECT_EQ(taken(), Texts{tickText});
    clocks(23);
    EXPECT_EQ(taken(), Texts{});
    EXPECT_EQ(midi.clockCount, 0);

    fakeNow += 500000;
    clocks(1);
    EXPECT_EQ(taken(), (Texts{tickText, "midi.bpm=120,", "midi.period=500,"}));
  }

  TEST_F(Realtime, ClocksWithoutStartStillTickAndMeasure)
  {
    clocks(24);
    EXPECT_EQ(taken(), Texts{tickText});
    fakeNow += 480000;
    clocks(24);
    EXPECT_EQ(taken(), (Texts{tickText, "midi.bpm=125,", "midi.period=480,"}));
    EXPECT_FALSE(midi.running);
  }

  struct TempoCase
  {
    std::int64_t interval;
    std::int64_t bpm;
    std::int64_t period;
  };

  class RealtimeTempo : public Realtime, public ::testing::WithParamInterface<TempoCase>
  {
  };

  TEST_P(RealtimeTempo, IntervalGivesTruncatedBpmAndPeriod)
  {
    const TempoCase c = GetParam();
    clocks(24);
    taken();
    fakeNow += c.interval;
    clocks(1);
    EXPECT_EQ(taken(), (Texts{tickText, "midi.bpm=" + std::to_string(c.bpm) + ",",
                              "midi.period=" + std::to_string(c.period) + ","}));
  }

  INSTANTIATE_TEST_SUITE_P(Intervals, RealtimeTempo,
                           ::testing::Values(TempoCase{500000, 120, 500},
                                             TempoCase{499999, 120, 499},
                                             TempoCase{480000, 125, 480},
                                             TempoCase{3000000, 20, 3000},
                                             TempoCase{999, 60060, 0},
                                             TempoCase{1, 60000000, 0},
                                             // 100 hours: no overflow in 64 bits
                                             TempoCase{360000000000, 0, 360000000}));

  TEST_F(Realtime, EqualOrBackwardReadingsSendNoTempo)
  {
    clocks(24);
    taken();
    // d = 0: the tick, no values, and a new reference.
    clocks(24);
    EXPECT_EQ(taken(), Texts{tickText});
    // A clock that went back gives no values either.
    fakeNow -= 1000;
    clocks(24);
    EXPECT_EQ(taken(), Texts{tickText});
    // The reference taken at those beats is used for the next one.
    fakeNow += 500000;
    clocks(1);
    EXPECT_EQ(taken(), (Texts{tickText, "midi.bpm=120,", "midi.period=500,"}));
  }

  TEST_F(Realtime, SecondStartIsReportedAndChangesNothing)
  {
    midi.handleRealtime(start);
    clocks(3);
    taken();
    {
      notara::test::CerrCapture capture;
      midi.handleRealtime(start);
      EXPECT_EQ(capture.text(), "Extra start message\n");
    }
    EXPECT_EQ(taken(), Texts{});
    EXPECT_TRUE(midi.running);
    EXPECT_EQ(midi.clockCount, 3);
    // The time reference survived: the next beat measures from the first.
    clocks(21);
    fakeNow += 500000;
    clocks(1);
    EXPECT_EQ(taken(), (Texts{tickText, "midi.bpm=120,", "midi.period=500,"}));
  }

  TEST_F(Realtime, StopWhileStoppedDoesNothing)
  {
    clocks(5);
    taken();
    midi.handleRealtime(stop);
    EXPECT_EQ(taken(), Texts{});
    EXPECT_EQ(midi.clockCount, 5);
    clocks(19);
    EXPECT_EQ(taken(), Texts{});
    clocks(1);
    EXPECT_EQ(taken().front(), tickText);
  }

  TEST_F(Realtime, StopRestartsTheBeatButKeepsTheReference)
  {
    midi.handleRealtime(start);
    clocks(5);
    taken();
    midi.handleRealtime(stop);
    EXPECT_FALSE(midi.running);
    EXPECT_EQ(midi.clockCount, 0);
    EXPECT_EQ(taken(), Texts{stopText});

    fakeNow += 250000;
    clocks(1);
    EXPECT_EQ(taken(), (Texts{tickText, "midi.bpm=240,", "midi.period=250,"}));

    // Start again: a fresh reference, so the next beat sends no tempo.
    midi.handleRealtime(start);
    EXPECT_EQ(taken(), Texts{startText});
    clocks(23);
    fakeNow += 500000;
    clocks(1);
    EXPECT_EQ(taken(), Texts{tickText});
  }

  TEST_F(Realtime, StartMidBeatKeepsTheCountAndClearsTheReference)
  {
    clocks(5);  // the first beat set a reference
    taken();
    midi.handleRealtime(start);
    EXPECT_EQ(midi.clockCount, 5);
    clocks(19);
    EXPECT_EQ(taken(), Texts{startText});
    fakeNow += 500000;
    clocks(1);
    EXPECT_EQ(taken(), Texts{tickText});
  }

  TEST_F(Realtime, SystemCommonMessagesShareTheSelectors)
  {
    // Through the dispatch, as the input device delivers them.
    midi.onMessage(15, 2, 16, 0);  // 0xF2 song position: a start
    EXPECT_TRUE(midi.running);
    EXPECT_EQ(taken(), Texts{startText});
    midi.onMessage(15, 0, 0, 0);  // 0xF0: a clock
    EXPECT_EQ(taken(), Texts{tickText});
    EXPECT_EQ(midi.clockCount, 1);
    midi.onMessage(15, 4, 0, 0);  // 0xF4: a stop
    EXPECT_FALSE(midi.running);
    EXPECT_EQ(taken(), Texts{stopText});
  }

  TEST_F(Realtime, OtherSystemMessagesAreIgnored)
  {
    midi.handleRealtime(start);
    clocks(3);
    taken();
    const std::int64_t reference = midi.lastBeatTime;
    for (std::uint8_t subtype : {1, 3, 5, 6, 7, 9, 11, 13, 14, 15})
      midi.handleRealtime(subtype);
    EXPECT_EQ(taken(), Texts{});
    EXPECT_TRUE(midi.running);
    EXPECT_EQ(midi.clockCount, 3);
    EXPECT_EQ(midi.lastBeatTime, reference);
  }

  TEST_F(Realtime, TraceLineAboveOneThousand)
  {
    // The sending layer traces too at these levels; only our lines count.
    auto realtimeLines = [](const std::string& text) {
      std::istringstream in(text);
      std::string line;
      std::string kept;
      while (std::getline(in, line))
        if (line.rfind("Realtime ", 0) == 0)
          kept += line + "\n";
      return kept;
    };

    midi.debugLevel = 1000;
    {
      notara::test::CerrCapture capture;
      midi.handleRealtime(clock);
      EXPECT_EQ(realtimeLines(capture.text()), "");
    }
    midi.debugLevel = 1001;
    notara::test::CerrCapture capture;
    midi.handleRealtime(clock);
    midi.handleRealtime(start);
    midi.handleRealtime(clock);
    midi.handleRealtime(14);
    midi.handleRealtime(stop);
    EXPECT_EQ(realtimeLines(capture.text()),
              "Realtime 8 0\nRealtime 10 0\nRealtime 8 1\nRealtime 14 1\nRealtime 12 1\n");
  }

  TEST_F(Realtime, MoreTicksPerBeatTickAtTheirOwnCounts)
  {
    midi.ticksPerBeat = 2;
    clocks(13);
    EXPECT_EQ(taken(), (Texts{tickText, "emit midi.tick( 12),"}));
    // Beyond 24 per beat no step exists; only the beat's own tick remains.
    midi.ticksPerBeat = 25;
    clocks(11);
    EXPECT_EQ(taken(), Texts{});
    clocks(1);
    EXPECT_EQ(taken().front(), tickText);
  }

  TEST_F(Realtime, TheClockViewFollowsStartStopAndTheLastMeasuredTempo)
  {
    ClockView view = midi.clockView();
    EXPECT_FALSE(view.running);
    EXPECT_FALSE(view.bpm.has_value());

    midi.handleRealtime(start);
    clocks(24);
    view = midi.clockView();
    EXPECT_TRUE(view.running);
    // One beat began, none was measured yet.
    EXPECT_FALSE(view.bpm.has_value());

    fakeNow += 500000;
    clocks(24);
    EXPECT_EQ(midi.clockView().bpm, std::optional<std::int64_t>(120));

    // A stop keeps the last tempo; a start mid-beat does too until the next
    // measurement replaces it.
    midi.handleRealtime(stop);
    view = midi.clockView();
    EXPECT_FALSE(view.running);
    EXPECT_EQ(view.bpm, std::optional<std::int64_t>(120));
    midi.handleRealtime(start);
    clocks(24);
    fakeNow += 480000;
    clocks(24);
    view = midi.clockView();
    EXPECT_TRUE(view.running);
    EXPECT_EQ(view.bpm, std::optional<std::int64_t>(125));
  }

  TEST_F(Realtime, TheSettingsViewShowsTheParameterWordAndTheDebugLevel)
  {
    EXPECT_EQ(midi.settingsView().parameter, 0u);
    EXPECT_EQ(midi.settingsView().debugLevel, 0);
    {
      notara::test::CerrCapture quiet;
      midi.setParameter(-2);
    }
    midi.debugLevel = 7;
    const SettingsView view = midi.settingsView();
    EXPECT_EQ(view.parameter, 0xFFFFFFFEu);
    EXPECT_EQ(view.debugLevel, 7);
  }
}
