// notara's standard error as a pipe that nobody reads for a while (a paused
// pager, a stuck log collector): the MIDI thread must not wait on it, so
// the robots get every text at once, and the lines that could not wait are
// counted in one line once the pipe is read again. MIDI comes from a JACK
// source on a synchronous server, which loses no event.
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

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

  std::size_t count(const std::string& text, const std::string& what)
  {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
      ++n;
    return n;
  }

  // The sum of the numbers that begin the lines ending in `suffix`.
  long long sumBefore(const std::string& text, const std::string& suffix)
  {
    long long sum = 0;
    for (std::size_t at = text.find(suffix); at != std::string::npos; at = text.find(suffix, at + 1))
    {
      const std::size_t lineStart = text.rfind('\n', at);
      sum += std::stoll(text.substr(lineStart == std::string::npos ? 0 : lineStart + 1));
    }
    return sum;
  }

  class StderrWriterTest : public JackTest
  {
  protected:
    void SetUp() override
    {
      JackTest::SetUp();
      if (IsSkipped() || HasFatalFailure())
        return;
      source = std::make_unique<JackMidiSource>("e2e-stderr");
    }

    std::unique_ptr<JackMidiSource> source;
    std::unique_ptr<NotaraRun> run;  // declared last: stopped first
  };

  TEST_F(StderrWriterTest, APipeNobodyReadsDelaysNoTextAndTheLostLinesAreCounted)
  {
    TestServer robot;
    // The pedal (controller 64) sets the parameter word, with a line each
    // time; every note is emitted to the robot.
    const std::string conf = robotLine(0, robot.port()) + "action 10000 64 1 ParameterSet 1\n" +
                             "action 1 0 1 EmitMap midi.key\n";
    const int device = midiDeviceNumber(source->deviceName());
    ASSERT_GE(device, 0);
    run = std::make_unique<NotaraRun>(NOTARA_BINARY, conf);
    run->start({std::to_string(device)});
    ASSERT_TRUE(run->waitUntilIdle()) << run->process().errors();
    ASSERT_TRUE(robot.waitForBytes(0, run->upload().size())) << run->process().errors();
    const std::string before = run->process().errors();

    // 5 s of a pedal change and a note every 2 ms, 1,000 events a second,
    // while nobody reads the pipe, which holds a page.
    run->process().pauseErrors(4096);
    source->setPace(std::chrono::milliseconds(1));
    constexpr int kPairs = 2500;
    std::string expected;
    for (int k = 0; k < kPairs; ++k)
    {
      source->controlChange(0, 64, k % 2 == 0 ? 127 : 0);
      source->noteOn(0, keyOf(k), velocityOf(k));
    }
    // Still unread: every note's text is at the robot, in order, and so is
    // every pedal change's midi.parameter, within a moment of the last.
    const std::size_t uploaded = run->upload().size();
    ASSERT_TRUE(robot.waitForText(0, textOf(kPairs - 1), std::chrono::seconds(3)))
        << "the robot waited for the unread pipe";
    const std::string texts = robot.received(0).substr(uploaded);
    const std::vector<int> notes = eventsIn(
        [&] {
          std::string only;
          for (std::size_t at = 0; (at = texts.find("emit ", at)) != std::string::npos;)
          {
            const std::size_t end = texts.find(',', texts.find(')', at));
            only += texts.substr(at, end + 1 - at);
            at = end + 1;
          }
          return only;
        }());
    ASSERT_EQ(notes.size(), std::size_t{kPairs});
    for (int k = 0; k < kPairs; ++k)
      ASSERT_EQ(notes[static_cast<std::size_t>(k)], k);
    EXPECT_EQ(count(texts, "midi.parameter="), std::size_t{kPairs});

    // Read again: the lines that fit are written, and one line says how
    // many did not; together they are every pedal change's line.
    run->process().resumeErrors();
    const std::string lostLine = " lines for standard error were lost here: it was not read fast enough";
    ASSERT_TRUE(run->process().waitForErrors(lostLine)) << run->process().errors().substr(before.size(), 2000);
    // A line the writer took before it blocked may still be on its way.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::string after = run->process().errors().substr(before.size());
    const long long lost = sumBefore(after, lostLine);
    EXPECT_GT(lost, 0);
    EXPECT_EQ(static_cast<long long>(count(after, "Setting parameter to")) + lost, kPairs) << after.substr(0, 2000);
    EXPECT_EQ(count(after, lostLine), 1u) << "one line for one burst of losses";
  }
}
