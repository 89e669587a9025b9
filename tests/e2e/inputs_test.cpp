// Several MIDI inputs into one notara, through the program: two JACK
// sources that both send on channel 0, one of them taken as channel 5 by
// its input line; one going away and coming back while the other floods;
// a reload that adds an input line and removes another; and a clock on an
// input other than the first, which sets no tempo. A synchronous JACK
// server of the test's own loses no event, so every count is exact.
#include <chrono>
#include <csignal>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "support/eventually.h"
#include "support/http_get.h"
#include "support/jack_midi_source.h"
#include "support/jack_test.h"
#include "support/notara_run.h"
#include "support/numbered_events.h"
#include "support/private_jack_server.h"
#include "support/test_server.h"

using namespace notara::test;

namespace
{
  [[maybe_unused]] testing::Environment* const privateJack =
    testing::AddGlobalTestEnvironment(new PrivateJackEnvironment(true));

  // The numbers k of the texts "emit NAME(9,CHANNEL,key,velocity)," in
  // `texts`, in order, for the numbered events of numbered_events.h.
  std::vector<int> numbersOf(const std::string& texts, const std::string& name, int channel)
  {
    std::vector<int> found;
    const std::regex text("emit " + name + R"(\(9,)" + std::to_string(channel) + R"(,(\d+),(\d+)\),)");
    for (auto it = std::sregex_iterator(texts.begin(), texts.end(), text); it != std::sregex_iterator(); ++it)
    {
      const int key = std::stoi((*it)[1]);
      const int velocity = std::stoi((*it)[2]);
      found.push_back((velocity - 1) * 128 + key);
    }
    return found;
  }

  std::vector<int> range(int first, int last)
  {
    std::vector<int> all;
    for (int k = first; k < last; ++k)
      all.push_back(k);
    return all;
  }

  class InputsTest : public JackTest
  {
  protected:
    // Notes of channel 0 go to midi.key, those of channel 5 to midi.pad.
    std::string conf(const std::vector<std::string>& inputLines) const
    {
      std::string text = robotLine(0, robot.port()) + "action 1 0 1 EmitMap midi.key\n" +
                         "action 20 0 1 EmitMap midi.pad\n";
      for (const std::string& line : inputLines)
        text += line + "\n";
      return text;
    }

    void rewrite(const std::string& text) const
    {
      std::ofstream(run->dir().path() / "notara.conf", std::ios::trunc) << text;
    }

    std::string texts() const { return robot.received(0).substr(run->upload().size()); }
    std::string errors() const { return run->process().errors(); }

    TestServer robot;
    std::unique_ptr<NotaraRun> run;  // declared last: stopped first
  };

  TEST_F(InputsTest, TwoSourcesOnOneChannelReachTheirOwnActionsThroughGoneBackReloadAndClock)
  {
    auto keys = std::make_unique<JackMidiSource>("keys", "e2e-keys");
    auto pads = std::make_unique<JackMidiSource>("pads", "e2e-pads");
    auto other = std::make_unique<JackMidiSource>("other", "e2e-other");
    const std::string padsName = pads->deviceName();
    run = std::make_unique<NotaraRun>(NOTARA_BINARY, conf({"input channel 5 " + padsName}));
    run->start({"--device", keys->deviceName()});
    ASSERT_TRUE(run->waitUntilIdle()) << errors();
    ASSERT_TRUE(robot.waitForBytes(0, run->upload().size())) << errors();
    ASSERT_TRUE(run->process().waitForErrors("Input 1: MIDI device \"" + padsName + "\"")) << errors();

    // Both on channel 0: the keys' notes reach channel 0's action, the
    // pads' those of channel 5.
    keys->setPace(std::chrono::milliseconds(1));
    pads->setPace(std::chrono::milliseconds(1));
    for (int k = 0; k < 100; ++k)
    {
      keys->noteOn(0, keyOf(k), velocityOf(k));
      pads->noteOn(0, keyOf(k), velocityOf(k));
    }
    ASSERT_TRUE(eventually([&] { return numbersOf(texts(), "midi.pad", 5).size() >= 100 &&
                                        numbersOf(texts(), "midi.key", 0).size() >= 100; },
                           std::chrono::seconds(10)))
        << texts().substr(0, 400);
    EXPECT_EQ(numbersOf(texts(), "midi.key", 0), range(0, 100));
    EXPECT_EQ(numbersOf(texts(), "midi.pad", 5), range(0, 100));
    EXPECT_TRUE(numbersOf(texts(), "midi.key", 5).empty() && numbersOf(texts(), "midi.pad", 0).empty());

    // The pads go away and come back while the keys flood: every key
    // arrives, in order, and the pads reach channel 5 again once back.
    constexpr int kFlood = 4000;
    std::thread flood([&] {
      for (int k = 100; k < 100 + kFlood; ++k)
        keys->noteOn(0, keyOf(k), velocityOf(k));
    });
    pads.reset();
    const std::string goneLine = "MidiIn: MIDI device \"" + padsName + "\" is gone";
    const bool gone = run->process().waitForErrors(goneLine);
    pads = std::make_unique<JackMidiSource>("pads", "e2e-pads");
    const bool back = run->process().waitForErrors("MIDI device \"" + padsName + "\" is back");
    flood.join();
    ASSERT_TRUE(gone && back) << errors();
    pads->setPace(std::chrono::milliseconds(1));
    for (int k = 100; k < 110; ++k)
      pads->noteOn(0, keyOf(k), velocityOf(k));
    ASSERT_TRUE(eventually([&] { return numbersOf(texts(), "midi.key", 0).size() >= 100 + kFlood &&
                                        numbersOf(texts(), "midi.pad", 5).size() >= 110; },
                           std::chrono::seconds(20)))
        << errors();
    EXPECT_EQ(numbersOf(texts(), "midi.key", 0), range(0, 100 + kFlood));
    EXPECT_EQ(numbersOf(texts(), "midi.pad", 5), range(0, 110));
    EXPECT_EQ(errors().find("dropped"), std::string::npos) << errors();

    // A clock on the pads, the second input: no tick, no tempo, no start.
    for (int i = 0; i < 3; ++i)
      pads->start();
    for (int i = 0; i < 72; ++i)
      pads->clock();
    pads->stop();
    pads->noteOn(0, keyOf(110), velocityOf(110));
    ASSERT_TRUE(eventually([&] { return numbersOf(texts(), "midi.pad", 5).size() >= 111; }, std::chrono::seconds(10)));
    EXPECT_EQ(texts().find("midi.start"), std::string::npos);
    EXPECT_EQ(texts().find("midi.tick"), std::string::npos);
    EXPECT_EQ(texts().find("midi.bpm"), std::string::npos);
    EXPECT_EQ(texts().find("midi.stop"), std::string::npos);
    // The first input's clock counts.
    keys->start();
    ASSERT_TRUE(robot.waitForText(0, "emit midi.start(),")) << texts().substr(texts().size() > 300 ? texts().size() - 300 : 0);

    // A reload: the pads' line goes, another source's comes (channel 5
    // too). The keys, from the command line, stay.
    rewrite(conf({"input channel 5 " + other->deviceName()}));
    ::kill(run->process().pid(), SIGHUP);
    ASSERT_TRUE(run->process().waitForErrors("notara: reload: input numbers added 1, removed 1")) << errors();
    ASSERT_TRUE(run->process().waitForErrors("notara: reloaded notara.conf")) << errors();
    other->setPace(std::chrono::milliseconds(1));
    for (int k = 200; k < 210; ++k)
    {
      pads->noteOn(0, keyOf(k), velocityOf(k));
      other->noteOn(0, keyOf(k), velocityOf(k));
      keys->noteOn(0, keyOf(k), velocityOf(k));
    }
    ASSERT_TRUE(eventually([&] { return numbersOf(texts(), "midi.key", 0).size() >= 100 + kFlood + 10 &&
                                        numbersOf(texts(), "midi.pad", 5).size() >= 121; },
                           std::chrono::seconds(10)))
        << errors();
    std::vector<int> pad = range(0, 111);
    for (int k = 200; k < 210; ++k)
      pad.push_back(k);
    EXPECT_EQ(numbersOf(texts(), "midi.pad", 5), pad) << "the removed input's notes must not arrive";
    std::vector<int> key = range(0, 100 + kFlood);
    for (int k = 200; k < 210; ++k)
      key.push_back(k);
    EXPECT_EQ(numbersOf(texts(), "midi.key", 0), key);
  }
}

namespace
{
  TEST_F(InputsTest, WithNoDeviceOnTheCommandLineTheInputLinesAreTheInputsAndTheFirstIsTheClocks)
  {
    auto keys = std::make_unique<JackMidiSource>("keys", "e2e-keys2");
    auto pads = std::make_unique<JackMidiSource>("pads", "e2e-pads2");
    // Channel 3's notes go to midi.key3 (slot 3, mask 8).
    const std::string text = conf({"input channel 3 " + keys->deviceName(), "input " + pads->deviceName()}) +
                             "action 8 0 1 EmitMap midi.key3\n";
    run = std::make_unique<NotaraRun>(NOTARA_BINARY, text);
    run->start({"--status", "127.0.0.1:0"});
    ASSERT_TRUE(run->process().waitForErrors("Input 1: MIDI device \"" + pads->deviceName() + "\"")) << errors();
    ASSERT_TRUE(robot.waitForBytes(0, run->upload().size())) << errors();
    EXPECT_EQ(errors().find("Warning, opening first available MIDI device"), std::string::npos) << errors();

    keys->setPace(std::chrono::milliseconds(1));
    pads->setPace(std::chrono::milliseconds(1));
    for (int k = 0; k < 50; ++k)
    {
      keys->noteOn(0, keyOf(k), velocityOf(k));
      pads->noteOn(0, keyOf(k), velocityOf(k));
    }
    pads->start();
    keys->start();
    ASSERT_TRUE(robot.waitForText(0, "emit midi.start(),")) << errors();
    ASSERT_TRUE(eventually([&] { return numbersOf(texts(), "midi.key3", 3).size() >= 50 &&
                                        numbersOf(texts(), "midi.key", 0).size() >= 50; },
                           std::chrono::seconds(10)))
        << texts().substr(0, 400);
    EXPECT_EQ(numbersOf(texts(), "midi.key3", 3), range(0, 50));
    EXPECT_EQ(numbersOf(texts(), "midi.key", 0), range(0, 50));
    // One start: the keys'; the pads' was not taken.
    const std::string all = texts();
    EXPECT_EQ(all.find("emit midi.start(),"), all.rfind("emit midi.start(),")) << all;

    // The status names both inputs, with their counts.
    const std::string line = "Status page: http://127.0.0.1:";
    const std::string err = errors();
    const std::size_t at = err.find(line);
    ASSERT_NE(at, std::string::npos) << err;
    const unsigned port = static_cast<unsigned>(std::stoul(err.substr(at + line.size())));
    const auto status = nlohmann::json::parse(httpGet(port, "/status.json"));
    ASSERT_EQ(status["inputs"].size(), 2u) << status.dump();
    EXPECT_EQ(status["inputs"][0]["name"], keys->deviceName());
    EXPECT_EQ(status["inputs"][0]["channel"], 3);
    EXPECT_EQ(status["inputs"][0]["events"], 51);
    EXPECT_EQ(status["inputs"][1]["input"], 1);
    EXPECT_EQ(status["inputs"][1]["channel"], nullptr);
    // Its start reached the dispatch, which ignored it and counted it.
    EXPECT_EQ(status["inputs"][1]["events"], 51);
    EXPECT_EQ(status["inputs"][1]["clocks_ignored"], 1);
    EXPECT_EQ(status["midi"]["device"], keys->deviceName());
    const std::string metrics = httpGet(port, "/metrics");
    EXPECT_EQ(metricValue(metrics, "notara_input_clocks_ignored_total{input=\"1\""), 1);
    EXPECT_EQ(metricValue(metrics, "notara_input_events_total{input=\"0\""), 51);
  }
}
