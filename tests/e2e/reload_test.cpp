// Reloading the configuration of a running notara: while numbered events
// flow at about 1,000 a second, a reload removes robot 1, adds robot 2 and
// moves the note to another action. The robot kept sees no new connection
// and no second upload, and each event goes out once, mapped the old way
// before the reload and the new way after it. A file with an error is
// refused with one line, and the old mapping goes on serving. A robot
// retired and added again, reload after reload, while events come in bursts
// leaves notara alive and the robot beside it whole.
#include <atomic>
#include <chrono>
#include <csignal>
#include <exception>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/jack_source_test.h"
#include "support/numbered_events.h"
#include "support/private_jack_server.h"
#include "support/test_server.h"

using namespace notara::test;

namespace
{
  // A synchronous JACK server loses no event on its way to notara.
  [[maybe_unused]] testing::Environment* const privateJack =
    testing::AddGlobalTestEnvironment(new PrivateJackEnvironment(true));

  class ReloadTest : public JackSourceTest
  {
  protected:
    ReloadTest() : JackSourceTest("e2e-reload") {}

    // Replaces notara.conf in notara's directory.
    void rewrite(const std::string& conf) const
    {
      std::ofstream(run->dir().path() / "notara.conf", std::ios::trunc) << conf;
    }

    std::string errors() const { return run->process().errors(); }
  };

  // Where the robot's texts switch from `before` to `after`: each of the
  // events 0 to `count` - 1 exactly once, in order, the first ones of
  // `before`, the rest of `after`. The event the switch is at, or -1.
  int switchPoint(const std::string& texts, const std::string& before, const std::string& after, int count)
  {
    const std::vector<int> old = eventsIn(texts, before);
    const int at = old.empty() || old.back() != -1 ? static_cast<int>(old.size()) : static_cast<int>(old.size()) - 1;
    std::string oldTexts;
    for (int k = 0; k < at; ++k)
      oldTexts += textOf(k, before);
    if (texts.compare(0, oldTexts.size(), oldTexts) != 0)
      return -1;
    std::string newTexts;
    for (int k = at; k < count; ++k)
      newTexts += textOf(k, after);
    return texts.substr(oldTexts.size()) == newTexts ? at : -1;
  }

  TEST_F(ReloadTest, ARobotAddedOneRemovedAndANoteMovedWhileEventsFlow)
  {
    TestServer kept;
    TestServer removed;
    TestServer added;
    startNotara(robotLine(0, kept.port()) + robotLine(1, removed.port()) + "action 1 0 3 EmitMap old.key\n");
    ASSERT_TRUE(kept.waitForBytes(0, run->upload().size())) << errors();
    ASSERT_TRUE(removed.waitForBytes(0, run->upload().size())) << errors();

    constexpr int events = 3000;
    std::atomic<int> played{0};
    source->setPace(std::chrono::milliseconds(1));
    std::thread player([&] {
      for (int k = 0; k < events; ++k)
      {
        source->noteOn(0, keyOf(k), velocityOf(k));
        played.store(k + 1);
      }
    });
    while (played.load() < events / 3)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    rewrite(robotLine(0, kept.port()) + robotLine(2, added.port()) + "action 1 0 5 EmitMap new.key\n");
    ::kill(run->process().pid(), SIGHUP);
    const bool reloaded = run->process().waitForErrors("notara: reloaded notara.conf: ");
    player.join();
    ASSERT_TRUE(reloaded) << errors();
    EXPECT_NE(errors().find("notara: reloaded notara.conf: robot slots kept 0, added 2, removed 1, connected afresh none; "
                            "1 action records in force\n"),
              std::string::npos)
      << errors();

    // The robot kept: one connection, one upload, every event once, the
    // old way up to the reload and the new way after it.
    ASSERT_TRUE(kept.waitForText(0, textOf(events - 1, "new.key"))) << errors();
    const std::string keptTexts = kept.received(0).substr(run->upload().size());
    ASSERT_EQ(kept.received(0).compare(0, run->upload().size(), run->upload()), 0);
    const int at = switchPoint(keptTexts, "old.key", "new.key", events);
    ASSERT_GT(at, 0) << keptTexts.substr(0, 2000);
    EXPECT_LT(at, events);
    EXPECT_EQ(kept.connectionCount(), 1u);

    // The robot removed got the old texts up to the same event, then its
    // connection was closed; the one added connected once and got only
    // new texts, from the reload on, every one after its connection.
    ASSERT_TRUE(removed.waitForPeerClosed(0)) << errors();
    std::string removedExpected = run->upload();
    for (int k = 0; k < at; ++k)
      removedExpected += textOf(k, "old.key");
    EXPECT_EQ(removed.received(0), removedExpected);
    ASSERT_TRUE(added.waitForText(0, textOf(events - 1, "new.key"))) << errors();
    const std::string addedTexts = added.received(0).substr(run->upload().size());
    const std::vector<int> addedEvents = eventsIn(addedTexts, "new.key");
    ASSERT_FALSE(addedEvents.empty());
    EXPECT_GE(addedEvents.front(), at);
    for (std::size_t i = 0; i < addedEvents.size(); ++i)
      ASSERT_EQ(addedEvents[i], addedEvents.front() + static_cast<int>(i)) << addedTexts.substr(0, 2000);
    EXPECT_EQ(added.connectionCount(), 1u);
    EXPECT_TRUE(run->process().running());
  }

  TEST_F(ReloadTest, AFileWithAnErrorIsRefusedAndTheOldMappingServes)
  {
    TestServer robot;
    startNotara(robotLine(0, robot.port()) + "action 1 0 1 EmitMap old.key\n");
    ASSERT_TRUE(robot.waitForBytes(0, run->upload().size())) << errors();
    rewrite(robotLine(0, robot.port()) + "action 1 0 1 NoSuchOperation x\n");
    // A word that isn't a command is named, its control bytes escaped.
    run->process().writeInput("\x1b[2Jx\n");
    ASSERT_TRUE(run->process().waitForErrors(
      "notara: unknown command on standard input: \"\\u001b[2Jx\" (the command is reload)\n"))
      << errors();
    // Typed on standard input, as on Windows.
    run->process().writeInput("reload\n");
    ASSERT_TRUE(run->process().waitForErrors("; keeping the running configuration\n")) << errors();
    EXPECT_NE(errors().find("notara: reload: configuration error in notara.conf: "), std::string::npos) << errors();
    source->noteOn(0, keyOf(7), velocityOf(7));
    ASSERT_TRUE(robot.waitForText(0, textOf(7, "old.key"))) << errors();
    EXPECT_EQ(robot.received(0), run->upload() + textOf(7, "old.key"));

    // Mended, it takes effect; the robot, unchanged, keeps its connection.
    rewrite(robotLine(0, robot.port()) + "action 1 0 1 EmitMap new.key\n");
    run->process().writeInput("reload\n");
    ASSERT_TRUE(run->process().waitForErrors("notara: reloaded notara.conf: robot slots kept 0, added none")) << errors();
    source->noteOn(0, keyOf(8), velocityOf(8));
    ASSERT_TRUE(robot.waitForText(0, textOf(8, "new.key"))) << errors();
    EXPECT_EQ(robot.received(0), run->upload() + textOf(7, "old.key") + textOf(8, "new.key"));
    EXPECT_EQ(robot.connectionCount(), 1u);
  }

  // Where the texts of `texts` first differ from the numbered events 0,
  // 1, 2 ... (whose numbers wrap after 16,255), for a failure's message.
  std::string firstDifference(const std::string& texts, int count)
  {
    const std::vector<int> found = eventsIn(texts);
    for (std::size_t i = 0; i < found.size(); ++i)
      if (found[i] != static_cast<int>(i % 16256))
        return "text " + std::to_string(i) + " is event " + std::to_string(found[i]) + " (-1: no such text)";
    return std::to_string(found.size()) + " texts of " + std::to_string(count) + " events";
  }

  // How often `line` occurs in `all`.
  std::size_t occurrences(const std::string& all, const std::string& line)
  {
    std::size_t n = 0;
    for (auto at = all.find(line); at != std::string::npos; at = all.find(line, at + 1))
      ++n;
    return n;
  }

  TEST_F(ReloadTest, ARobotRetiredAndAddedAgainDuringBurstsLeavesTheOtherWhole)
  {
    // JACK hands notara each burst in one period, and its input thread
    // holds the burst's texts for every robot until the burst's last event;
    // a reload that retires robot 1 meanwhile destroys a client that holds
    // texts, which the end of the burst must not touch. Eight more actions
    // for robot 1 make each event cost more, so a burst takes long enough
    // for a whole reload to fall inside it.
    TestServer kept;
    TestServer toggled;
    std::string actions = "action 1 0 3 EmitMap midi.key\n";
    for (int i = 0; i < 8; ++i)
      actions += "action 1 0 2 EmitMap pad.key\n";
    const std::string withBoth = robotLine(0, kept.port()) + robotLine(1, toggled.port()) + actions;
    const std::string keptOnly = robotLine(0, kept.port()) + actions;
    startNotara(withBoth);
    ASSERT_TRUE(kept.waitForBytes(0, run->upload().size())) << errors();
    ASSERT_TRUE(toggled.waitForBytes(0, run->upload().size())) << errors();

    // Bursts of 2,000 numbered events, five a second. Their numbers wrap
    // after 16,255, but robot 0's texts are compared whole, so an event
    // lost or doubled shows all the same.
    constexpr int burst = 2000;
    std::atomic<bool> flowing{true};
    std::atomic<int> played{0};
    std::atomic<int> bursts{0};
    std::string playFailure;
    source->setPace(std::chrono::milliseconds(0));
    std::thread player([&] {
      try
      {
        for (int k = 0; flowing.load();)
        {
          for (const int end = k + burst; k < end; ++k)
            source->noteOn(0, keyOf(k), velocityOf(k));
          played.store(k);
          bursts.fetch_add(1);
          std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
      }
      catch (const std::exception& e)
      {
        playFailure = e.what();
      }
    });

    // Six reloads a second apart, robot 1's line gone in every other one;
    // each signalled 5 ms after a burst was written, when notara is busy
    // with it.
    constexpr int reloads = 6;
    int reloaded = 0;
    for (int r = 1; r <= reloads && run->process().running(); ++r)
    {
      std::this_thread::sleep_for(std::chrono::milliseconds(800));
      rewrite(r % 2 == 1 ? keptOnly : withBoth);
      const int before = bursts.load();
      const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
      while (bursts.load() == before && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      ::kill(run->process().pid(), SIGHUP);
      if (!run->process().waitForErrorCount("notara: reloaded notara.conf: ", static_cast<std::size_t>(r)))
        break;
      reloaded = r;
    }
    // Robot 1, back, gets bursts too before the flood ends.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    flowing.store(false);
    player.join();
    const int events = played.load();

    ASSERT_TRUE(run->process().running()) << errors();
    ASSERT_EQ(playFailure, "");
    ASSERT_EQ(reloaded, reloads) << errors();
    const std::string records = "; 9 action records in force\n";
    EXPECT_EQ(occurrences(errors(), "notara: reloaded notara.conf: robot slots kept 0, added none, removed 1, "
                                    "connected afresh none" + records),
              std::size_t{reloads / 2})
      << errors();
    EXPECT_EQ(occurrences(errors(), "notara: reloaded notara.conf: robot slots kept 0, added 1, removed none, "
                                    "connected afresh none" + records),
              std::size_t{reloads / 2})
      << errors();

    // Robot 0, never removed: one connection, one upload, then every event
    // once and in order.
    std::string expected = run->upload();
    for (int k = 0; k < events; ++k)
      expected += textOf(k);
    kept.waitForBytes(0, expected.size());
    const std::string keptTexts = kept.received(0);
    EXPECT_TRUE(keptTexts == expected) << firstDifference(keptTexts.substr(run->upload().size()), events);
    EXPECT_EQ(kept.connectionCount(), 1u);

    // Robot 1: a connection for each time its line came in, each beginning
    // with the upload.
    ASSERT_TRUE(toggled.waitForConnections(1 + reloads / 2)) << errors();
    EXPECT_EQ(toggled.connectionCount(), std::size_t{1 + reloads / 2});
    for (std::size_t c = 0; c < toggled.connectionCount(); ++c)
    {
      ASSERT_TRUE(toggled.waitForBytes(c, run->upload().size())) << "connection " << c << "\n" << errors();
      EXPECT_EQ(toggled.received(c).compare(0, run->upload().size(), run->upload()), 0) << "connection " << c;
    }

    // Still alive, with no sanitizer's report; SIGTERM ends it.
    EXPECT_TRUE(run->process().running()) << errors();
    const ExitStatus status = run->process().stop();
    EXPECT_TRUE(status.signalled) << "exit status " << status.value << "\n" << errors();
    EXPECT_EQ(status.value, SIGTERM) << errors();
    EXPECT_EQ(errors().find("AddressSanitizer"), std::string::npos) << errors();
    EXPECT_EQ(errors().find("runtime error"), std::string::npos) << errors();
  }
}
