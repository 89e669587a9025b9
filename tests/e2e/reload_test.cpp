// Reloading the configuration of a running notara: while numbered events
// flow at about 1,000 a second, a reload removes robot 1, adds robot 2 and
// moves the note to another action. The robot kept sees no new connection
// and no second upload, and each event goes out once, mapped the old way
// before the reload and the new way after it. A file with an error is
// refused with one line, and the old mapping goes on serving.
#include <atomic>
#include <chrono>
#include <csignal>
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
    EXPECT_NE(errors().find("notara: reloaded notara.conf: robots kept 0, added 2, removed 1, connected afresh none; "
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
    ASSERT_TRUE(run->process().waitForErrors("notara: reloaded notara.conf: robots kept 0, added none")) << errors();
    source->noteOn(0, keyOf(8), velocityOf(8));
    ASSERT_TRUE(robot.waitForText(0, textOf(8, "new.key"))) << errors();
    EXPECT_EQ(robot.received(0), run->upload() + textOf(7, "old.key") + textOf(8, "new.key"));
    EXPECT_EQ(robot.connectionCount(), 1u);
  }
}
