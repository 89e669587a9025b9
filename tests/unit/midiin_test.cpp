// MidiIn: the split of the packed message word, the trace line with its two
// name tables, the input view's counts, the callbacks that are not short messages, and
// the guard that keeps a handler's exception out of the MIDI system.
#include <gtest/gtest.h>

#include "log/stderr_line.h"

#include <array>
#include <cstdint>
#include <initializer_list>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "midi/mididevicequery.h"
#include "midi/midiin.h"

namespace
{
  // Starts capturing standard error once the lines queued before are written.
  void CaptureStderr()
  {
    notara::flushStderr();
    testing::internal::CaptureStderr();
  }
  // What reached standard error, once the line writer has written what was queued.
  std::string GetCapturedStderr()
  {
    notara::flushStderr();
    return testing::internal::GetCapturedStderr();
  }
}

namespace
{
  struct Event
  {
    unsigned kind, channel, data1, data2;
    bool operator==(const Event& other) const
    {
      return kind == other.kind && channel == other.channel && data1 == other.data1 &&
             data2 == other.data2;
    }
  };

  std::ostream& operator<<(std::ostream& out, const Event& e)
  {
    return out << '(' << e.kind << ',' << e.channel << ',' << e.data1 << ',' << e.data2 << ')';
  }

  // Records the events instead of tracing them.
  class RecordingMidiIn : public MidiIn
  {
  public:
    std::vector<Event> events;
    // The calls in order: 'm' onMoreInput, 'e' onMessage, 'x' onInputEnd.
    std::string calls;
    void onMessage(std::uint8_t kind, std::uint8_t channel, std::uint8_t data1,
                   std::uint8_t data2) override
    {
      events.push_back({kind, channel, data1, data2});
      calls += 'e';
    }
    void onMoreInput() override { calls += 'm'; }
    void onInputEnd() override { calls += 'x'; }
  };

  // A MIDI system whose list changes at every look: each count is a new
  // look, and the names answered are those of the last look, as the MIDI
  // layer answers them.
  class ChangingDevices final : public MidiDeviceQuery
  {
  public:
    std::vector<std::vector<std::string>> looks;
    std::size_t counts = 0;
    unsigned int count() override
    {
      current_ = looks[counts % looks.size()];
      ++counts;
      return static_cast<unsigned int>(current_.size());
    }
    bool name(unsigned int device, std::string& name) override
    {
      if (device >= current_.size() || current_[device] == "gone")
        return false;
      name = current_[device];
      return true;
    }

  private:
    std::vector<std::string> current_;
  };

  // Lists through a stand-in MIDI system.
  class ListingMidiIn : public MidiIn
  {
  public:
    explicit ListingMidiIn(MidiDeviceQuery& devices) : MidiIn(devices) {}
  };

  // Keeps the default onMessage, which traces.
  class TracingMidiIn : public MidiIn
  {
  };

  // Fails on every note on, records everything else.
  class FailingMidiIn : public RecordingMidiIn
  {
  public:
    bool throwStd = true;
    void onMessage(std::uint8_t kind, std::uint8_t channel, std::uint8_t data1,
                   std::uint8_t data2) override
    {
      if (kind == 9)
      {
        if (throwStd)
          throw std::runtime_error("no robot for note");
        throw 42;
      }
      RecordingMidiIn::onMessage(kind, channel, data1, data2);
    }
  };

  std::string trace(unsigned kind, unsigned channel, unsigned data1, unsigned data2)
  {
    std::ostringstream out;
    MidiIn::printMessage(out, static_cast<std::uint8_t>(kind), static_cast<std::uint8_t>(channel),
                         static_cast<std::uint8_t>(data1), static_cast<std::uint8_t>(data2));
    return out.str() + "\n";
  }

  constexpr std::uint32_t noteOnWord = 0x00643C90u;  // 6569104

  // One call of MidiIn::handleInput: the code and its two parameters.
  struct Callback
  {
    std::uint32_t msg, param1, param2;
  };

  // What `calls`, handed to a recording MidiIn, write to standard error;
  // the test fails when any of them reached the handler.
  std::string unhandledOutput(std::initializer_list<Callback> calls)
  {
    RecordingMidiIn in;
    CaptureStderr();
    for (const Callback& call : calls)
      in.handleInput(call.msg, call.param1, call.param2);
    const std::string text = GetCapturedStderr();
    EXPECT_TRUE(in.events.empty()) << text;
    return text;
  }
}

TEST(MidiInDecode, SplitsThePackedWordAndIgnoresTheHighByte)
{
  RecordingMidiIn in;
  in.handleInput(MIM_DATA, noteOnWord, 0);
  in.handleInput(MIM_DATA, 0xFF000000u | noteOnWord, 1234);
  in.handleInput(MIM_DATA, 0x007F07B1u, 0);  // control change, second channel
  in.handleInput(MIM_DATA, 0x0000408Fu, 0);  // note off, last channel
  in.handleInput(MIM_DATA, 0xF8u, 0);        // timing clock without data bytes
  in.handleInput(MIM_DATA, 0x004000E0u, 0);  // pitch wheel centre
  const std::vector<Event> expected{{9, 0, 60, 100}, {9, 0, 60, 100}, {11, 1, 7, 127},
                                    {8, 15, 64, 0},  {15, 8, 0, 0},   {14, 0, 0, 64}};
  EXPECT_EQ(in.events, expected);
}

TEST(MidiInDecode, OtherCallbacksCallNoHandlerAndAreSilent)
{
  EXPECT_EQ(unhandledOutput({{MIM_OPEN, 0, 0}, {MIM_CLOSE, 0, 0}, {MIM_LONGERROR, 0, 0}}), "");
}

TEST(MidiInDecode, MoreDataIsAnEventThatMoreFollowAndDataEndsTheBurst)
{
  RecordingMidiIn in;
  in.handleInput(MIM_MOREDATA, noteOnWord, 0);
  in.handleInput(MIM_MOREDATA, noteOnWord, 0);
  in.handleInput(MIM_DATA, noteOnWord, 0);
  in.handleInput(MIM_DATA, noteOnWord, 0);
  EXPECT_EQ(in.calls, "memeexex");
  ASSERT_EQ(in.events.size(), 4u);
  EXPECT_EQ(in.events[0].kind, in.events[3].kind);
  EXPECT_EQ(in.events[0].data1, in.events[3].data1);
}

TEST(MidiInDecode, LongDataGivesOneLineAndNoHandlerCall)
{
  EXPECT_EQ(unhandledOutput({{MIM_LONGDATA, 0x12345678u, 0}}), "No idea what to do...\n");
}

TEST(MidiInDecode, InvalidMessageIsReportedAndNotHandled)
{
  EXPECT_EQ(unhandledOutput({{MIM_ERROR, 0x643Cu, 0}}),
            "MidiIn::handleInput: invalid MIDI message 25660 ignored\n");
}

TEST(MidiInView, CountsTheEventsReadAndWhatTheSystemDropped)
{
  RecordingMidiIn in;
  const MidiInputView before = in.inputView();
  EXPECT_EQ(before.state, MidiInputView::State::closed);
  EXPECT_EQ(before.device, "");
  EXPECT_STREQ(toString(before.state), "closed");

  CaptureStderr();
  in.handleInput(MIM_DATA, noteOnWord, 0);
  in.handleInput(MIM_OPEN, 0, 0);
  in.handleInput(MIM_ERROR, 0x12, 0);
  in.handleInput(MIM_DATA, noteOnWord, 0);
#if !defined(_WIN32)
  in.handleInput(MIM_QUEUE_DROPPED, 17, 0);
  in.handleInput(MIM_QUEUE_DROPPED, 3, 0);
#endif
  const std::string log = GetCapturedStderr();
  const MidiInputView view = in.inputView();
  // Only the short messages delivered count as read.
  EXPECT_EQ(view.eventsRead, 2u);
  EXPECT_EQ(in.events.size(), 2u);
#if !defined(_WIN32)
  // Every loss the layer reports is counted; its lines are the layer's.
  EXPECT_EQ(view.dropped, 20u);
#endif
}

TEST(MidiInTrace, KindNamesAndChannelNumbers)
{
  EXPECT_EQ(trace(8, 15, 64, 0), "8 Note off 15 64 0\n");
  EXPECT_EQ(trace(9, 0, 60, 100), "9 Note on 0 60 100\n");
  EXPECT_EQ(trace(10, 3, 60, 20), "10 key pressure 3 60 20\n");
  EXPECT_EQ(trace(11, 1, 7, 127), "11 parameter 1 7 127\n");
  EXPECT_EQ(trace(12, 2, 5, 0), "12 program 2 5 0\n");
  EXPECT_EQ(trace(13, 4, 99, 0), "13 chan pressure 4 99 0\n");
  EXPECT_EQ(trace(14, 0, 0, 64), "14 pitch wheel 0 0 64\n");
  // Bytes above 127 come out as numbers, not characters.
  EXPECT_EQ(trace(9, 0, 200, 255), "9 Note on 0 200 255\n");
}

TEST(MidiInTrace, SystemMessagesAreNamedByTheLowThreeBits)
{
  const std::array<const char*, 8> names{"clocktick", "undef", "start", "continue",
                                         "stop",      "undef", "sensing", "reset"};
  for (unsigned number = 0; number < 16; ++number)
  {
    SCOPED_TRACE(number);
    EXPECT_EQ(trace(15, number, 0, 0), std::string("15 realtime ") + names[number & 7] + " 0 0\n");
  }
  EXPECT_EQ(trace(15, 2, 16, 0), "15 realtime start 16 0\n");  // song position
}

TEST(MidiInTrace, DefaultHandlerTracesToStandardError)
{
  TracingMidiIn in;
  CaptureStderr();
  in.handleInput(MIM_DATA, noteOnWord, 0);
  in.handleInput(MIM_DATA, 0xFCu, 0);
  EXPECT_EQ(GetCapturedStderr(), "9 Note on 0 60 100\n15 realtime stop 0 0\n");
}

TEST(MidiInCallback, ForwardsToTheInstance)
{
  RecordingMidiIn in;
  midiInCallback(nullptr, MIM_DATA, reinterpret_cast<DWORD_PTR>(&in), noteOnWord, 5);
  midiInCallback(nullptr, MIM_OPEN, reinterpret_cast<DWORD_PTR>(&in), 0, 0);
  EXPECT_EQ(in.events, (std::vector<Event>{{9, 0, 60, 100}}));
}

TEST(MidiInCallback, HandlerErrorIsReportedAndTheNextMessageServed)
{
  FailingMidiIn in;
  const auto instance = reinterpret_cast<DWORD_PTR>(&in);
  CaptureStderr();
  midiInCallback(nullptr, MIM_DATA, instance, noteOnWord, 0);
  midiInCallback(nullptr, MIM_DATA, instance, 0x007F07B1u, 0);
  in.throwStd = false;
  midiInCallback(nullptr, MIM_DATA, instance, noteOnWord, 0);
  midiInCallback(nullptr, MIM_DATA, instance, 0xF8u, 0);
  EXPECT_EQ(GetCapturedStderr(),
            "midiInCallback: error handling MIDI message 6569104: no robot for note\n"
            "midiInCallback: error handling MIDI message 6569104: unknown exception\n");
  EXPECT_EQ(in.events, (std::vector<Event>{{11, 1, 7, 127}, {15, 8, 0, 0}}));
}

TEST(MidiInOpen, DeviceBeyondTheListFails)
{
  RecordingMidiIn in;
  const std::vector<std::string> devices = in.listDevices();
  EXPECT_EQ(devices.size(), midiInGetNumDevs());
  EXPECT_FALSE(in.open(static_cast<int>(devices.size())));
  EXPECT_FALSE(in.open(-1));
  EXPECT_EQ(in.handle, nullptr);
}

TEST(MidiInOpen, AFailedOpenNamesItsCauseInTheMidiSystemsWords)
{
  RecordingMidiIn in;
  ASSERT_FALSE(in.open(static_cast<int>(in.listDevices().size())));
  char text[MAXERRORLENGTH] = {};
  ASSERT_EQ(midiInGetErrorTextA(MMSYSERR_BADDEVICEID, text, sizeof text), MMSYSERR_NOERROR);
  EXPECT_NE(std::string(text), "");
  EXPECT_EQ(in.openError(), text);

  // Another cause gives another text: the result is not one fixed phrase.
  char other[MAXERRORLENGTH] = {};
  ASSERT_EQ(midiInGetErrorTextA(MMSYSERR_NOMEM, other, sizeof other), MMSYSERR_NOERROR);
  EXPECT_NE(in.openError(), other);
  // A close after a failed open has nothing to close and changes nothing.
  in.close();
  EXPECT_EQ(in.handle, nullptr);
  EXPECT_FALSE(in.open(0)) << "no device opens after close";
}

TEST(MidiInList, OneListComesFromOneLookWhateverTheSystemShowsMeanwhile)
{
  ChangingDevices devices;
  devices.looks = {{"through", "keys", "pads"}, {"keys"}, {"pads", "gone", "keys", "drums"}};
  ListingMidiIn in(devices);
  EXPECT_EQ(in.listDevices(), (std::vector<std::string>{"through", "keys", "pads"}));
  EXPECT_EQ(devices.counts, 1u);
  EXPECT_EQ(in.listDevices(), (std::vector<std::string>{"keys"}));
  // A device that answers no name keeps its place, so numbers still match.
  EXPECT_EQ(in.listDevices(), (std::vector<std::string>{"pads", "", "keys", "drums"}));
  EXPECT_EQ(devices.counts, 3u);
}
