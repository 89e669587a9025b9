// The Windows-API layer: the mutex functions, the packing of MIDI messages,
// and MIDI input from a real MIDI system (a JACK server).
#include <atomic>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>
#include <mmsystem.h>

#include "midi/midiin.h"
#include "platform/posix/shortmessage.h"
#include "support/call_log.h"
#include "support/cerr_capture.h"
#include "support/eventually.h"
#include "support/jack_midi_source.h"
#include "support/jack_test.h"
#include "support/notara_run.h"

using notara::test::JackMidiSource;

namespace
{
  // The result of WaitForSingleObject(mutex, 0) when asked from a new thread.
  DWORD tryFromOtherThread(HANDLE mutex)
  {
    DWORD result = WAIT_FAILED;
    std::thread([&] {
      result = WaitForSingleObject(mutex, 0);
      if (result == WAIT_OBJECT_0)
        ReleaseMutex(mutex);
    }).join();
    return result;
  }
}

TEST(PlatformMutex, SerialisesTwoThreads)
{
  HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
  ASSERT_NE(mutex, nullptr);
  int counter = 0;
  int inside = 0;
  bool overlapped = false;
  auto work = [&] {
    for (int i = 0; i < 20000; ++i)
    {
      ASSERT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0);
      if (++inside != 1)
        overlapped = true;
      ++counter;
      if (i % 64 == 0)
        std::this_thread::yield();
      --inside;
      ASSERT_TRUE(ReleaseMutex(mutex));
    }
  };
  std::thread first(work);
  std::thread second(work);
  first.join();
  second.join();
  EXPECT_FALSE(overlapped);
  EXPECT_EQ(counter, 40000);
  EXPECT_TRUE(CloseHandle(mutex));
}

TEST(PlatformMutex, WaiterGetsTheMutexWhenTheOwnerReleases)
{
  HANDLE mutex = CreateMutexA(nullptr, TRUE, nullptr);  // owned by this thread
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(tryFromOtherThread(mutex), static_cast<DWORD>(WAIT_TIMEOUT));
  DWORD waited = WAIT_FAILED;
  std::thread waiter([&] {
    waited = WaitForSingleObject(mutex, INFINITE);
    ReleaseMutex(mutex);
  });
  EXPECT_TRUE(ReleaseMutex(mutex));
  waiter.join();
  EXPECT_EQ(waited, WAIT_OBJECT_0);
  EXPECT_EQ(tryFromOtherThread(mutex), WAIT_OBJECT_0);
  CloseHandle(mutex);
}

TEST(PlatformMutex, OwnerMayEnterAgainAndMustReleaseAsOften)
{
  HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
  ASSERT_NE(mutex, nullptr);
  ASSERT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0);
  ASSERT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  ASSERT_EQ(WaitForSingleObject(mutex, 10), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_EQ(tryFromOtherThread(mutex), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_EQ(tryFromOtherThread(mutex), WAIT_OBJECT_0);
  errno = 0;
  EXPECT_FALSE(ReleaseMutex(mutex));  // released once too often
  EXPECT_EQ(errno, EPERM);
  CloseHandle(mutex);
}

TEST(PlatformMutex, NonOwnerCannotRelease)
{
  HANDLE mutex = CreateMutexA(nullptr, TRUE, nullptr);
  ASSERT_NE(mutex, nullptr);
  BOOL released = TRUE;
  int error = 0;
  std::thread([&] {
    errno = 0;
    released = ReleaseMutex(mutex);
    error = errno;
  }).join();
  EXPECT_FALSE(released);
  EXPECT_EQ(error, EPERM);
  // Still held by this thread.
  EXPECT_EQ(tryFromOtherThread(mutex), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(ReleaseMutex(mutex));
  CloseHandle(mutex);
}

TEST(PlatformMutex, BadArgumentsFail)
{
  errno = 0;
  EXPECT_EQ(CreateMutexA(nullptr, FALSE, "named"), nullptr);
  EXPECT_NE(errno, 0);
  errno = 0;
  EXPECT_EQ(WaitForSingleObject(nullptr, INFINITE), WAIT_FAILED);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_FALSE(ReleaseMutex(nullptr));
  EXPECT_FALSE(CloseHandle(nullptr));
}

TEST(PlatformShortMessage, PacksCompleteMessages)
{
  struct Case
  {
    std::vector<unsigned char> bytes;
    DWORD word;
  };
  const std::vector<Case> cases{
    {{0x90, 0x3C, 0x64}, 6569104u},  {{0xB1, 0x07, 0x7F}, 0x7F07B1u}, {{0xC3, 0x05}, 0x05C3u},
    {{0xD0, 0x40}, 0x40D0u},         {{0xE0, 0x00, 0x40}, 0x4000E0u}, {{0xF2, 0x10, 0x00}, 0x10F2u},
    {{0xF1, 0x23}, 0x23F1u},         {{0xF3, 0x01}, 0x01F3u},         {{0xF6}, 0xF6u},
    {{0xF8}, 0xF8u},                 {{0xFA}, 0xFAu},                 {{0xFE}, 0xFEu},
  };
  for (const Case& c : cases)
  {
    SCOPED_TRACE(c.word);
    DWORD word = 0xDEADBEEF;
    EXPECT_EQ(packShortMessage(c.bytes.data(), c.bytes.size(), word), ShortMessageKind::data);
    EXPECT_EQ(word, c.word);
  }
}

TEST(PlatformShortMessage, RefusesMalformedAndDropsSystemExclusive)
{
  const std::vector<std::vector<unsigned char>> invalid{
    {0x3C, 0x64},              // running status: no status byte
    {0x90, 0x3C},              // note on without velocity
    {0x90, 0x3C, 0x64, 0x00},  // one byte too many
    {0xB0, 0x07, 0x80},        // a status byte where data belongs
    {0xC0},                    // program change without program
    {0xF8, 0x00},              // real-time messages carry no data
  };
  for (const auto& bytes : invalid)
  {
    DWORD word = 0;
    EXPECT_EQ(packShortMessage(bytes.data(), bytes.size(), word), ShortMessageKind::invalid)
      << "first byte " << int{bytes[0]} << ", size " << bytes.size();
  }
  DWORD word = 0;
  const unsigned char runningStatus[] = {0x3C, 0x64};
  packShortMessage(runningStatus, 2, word);
  EXPECT_EQ(word, 0x643Cu);  // MIM_ERROR carries the bytes as they came

  const unsigned char sysex[] = {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7};
  EXPECT_EQ(packShortMessage(sysex, sizeof sysex, word), ShortMessageKind::dropped);
  const unsigned char sysexEnd[] = {0xF7};
  EXPECT_EQ(packShortMessage(sysexEnd, 1, word), ShortMessageKind::dropped);
  EXPECT_EQ(packShortMessage(sysex, 0, word), ShortMessageKind::dropped);
}

TEST(PlatformMidiIn, BadDeviceNumbersAndHandles)
{
  const UINT count = midiInGetNumDevs();
  MIDIINCAPSA caps{};
  EXPECT_EQ(midiInGetDevCapsA(count, &caps, sizeof caps), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(midiInGetDevCapsA(0, nullptr, sizeof caps), MMSYSERR_INVALPARAM);
  EXPECT_EQ(midiInGetDevCapsA(0, &caps, sizeof caps - 1), MMSYSERR_INVALPARAM);

  int calls = 0;
  auto callback = [](HMIDIIN, UINT, DWORD_PTR instance, DWORD_PTR, DWORD_PTR) {
    ++*reinterpret_cast<int*>(instance);
  };
  void (*function)(HMIDIIN, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR) = callback;
  auto* sentinel = reinterpret_cast<HMIDIIN>(&calls);
  HMIDIIN handle = sentinel;
  EXPECT_EQ(midiInOpen(&handle, count, reinterpret_cast<DWORD_PTR>(function),
                       reinterpret_cast<DWORD_PTR>(&calls), CALLBACK_FUNCTION),
            MMSYSERR_BADDEVICEID);
  EXPECT_EQ(midiInOpen(&handle, count + 7, reinterpret_cast<DWORD_PTR>(function),
                       reinterpret_cast<DWORD_PTR>(&calls), CALLBACK_FUNCTION),
            MMSYSERR_BADDEVICEID);
  // An error printer after the failed open tells what went wrong.
  EXPECT_EQ(errno, ENODEV);
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(handle, sentinel);

  EXPECT_EQ(midiInStart(nullptr), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(midiInStart(sentinel), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(midiInStop(nullptr), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(midiInClose(sentinel), MMSYSERR_INVALHANDLE);
}

// With neither an ALSA sequencer nor a JACK server to talk to, looking for
// devices finds none of them and says nothing about it.
TEST(PlatformMidiIn, MissingSystemsAreSilent)
{
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
    {
      setenv("JACK_DEFAULT_SERVER", "notara-no-such-server", 1);
      setenv("JACK_NO_START_SERVER", "1", 1);
      const UINT count = midiInGetNumDevs();
      MIDIINCAPSA caps{};
      midiInGetDevCapsA(0, &caps, sizeof caps);
      HMIDIIN handle = nullptr;
      midiInOpen(&handle, count, 0, 0, CALLBACK_NULL);
      std::_Exit(0);
    },
    testing::ExitedWithCode(0), "^$");
}

namespace
{
  // Collects what the layer delivers to a CALLBACK_FUNCTION.
  class Recorder
  {
  public:
    struct Call
    {
      UINT msg;
      DWORD param1;
      DWORD param2;
      std::thread::id thread;
      HMIDIIN handle;
    };

    static void CALLBACK callback(HMIDIIN handle, UINT msg, DWORD_PTR instance, DWORD_PTR param1,
                                  DWORD_PTR param2)
    {
      auto* me = reinterpret_cast<Recorder*>(instance);
      // The layer's loss reports are counted apart from what it delivers.
      if (msg == MIM_QUEUE_DROPPED)
      {
        me->dropped_ += static_cast<DWORD>(param1);
        return;
      }
      if (msg == MIM_INPUT_RECEIVED)
      {
        me->received_ += static_cast<DWORD>(param1);
        return;
      }
      me->calls_.add({msg, static_cast<DWORD>(param1), static_cast<DWORD>(param2), std::this_thread::get_id(), handle});
    }

    // The calls so far, once there are at least `count` or the MIDI system
    // has clearly lost some.
    std::vector<Call> waitFor(std::size_t count)
    {
      calls_.waitFor(count, std::chrono::seconds(10));
      return calls_.entries();
    }

    std::vector<Call> calls() const { return calls_.entries(); }

    // Messages the layer reported as dropped so far.
    DWORD dropped() const { return dropped_.load(); }
    /// What the layer said the MIDI system handed over, delivered or not.
    DWORD received() const { return received_.load(); }

  private:
    notara::test::CallLog<Call> calls_;
    std::atomic<DWORD> dropped_{0};
    std::atomic<DWORD> received_{0};
  };

  // Needs a JACK server; fails without one when NOTARA_REQUIRE_JACK is 1.
  using PlatformJack = notara::test::JackTest;

  class RecordingMidiIn : public MidiIn
  {
  public:
    ~RecordingMidiIn()
    {
      if (handle != nullptr)
        midiInClose(handle);
    }
    void onMessage(std::uint8_t kind, std::uint8_t channel, std::uint8_t data1,
                   std::uint8_t data2) override
    {
      heard.add({{kind, channel, data1, data2}, std::this_thread::get_id()});
    }
    /// One message and the thread that delivered it.
    struct Heard
    {
      std::vector<unsigned> event;
      std::thread::id thread;
    };
    notara::test::CallLog<Heard> heard;
  };
}

TEST_F(PlatformJack, SourceIsListedUnderItsNameCutTo31Characters)
{
  JackMidiSource source("a-source-port-with-a-long-name");
  ASSERT_GT(source.fullName().size(), 31u);
  const int device = notara::test::midiDeviceNumber(source.deviceName());
  ASSERT_GE(device, 0) << source.deviceName() << " is not listed";
  std::vector<std::string> names;
  for (UINT i = 0; i < midiInGetNumDevs(); ++i)
  {
    MIDIINCAPSA caps{};
    ASSERT_EQ(midiInGetDevCapsA(i, &caps, sizeof caps), MMSYSERR_NOERROR);
    EXPECT_LE(std::strlen(caps.szPname), 31u);
    names.emplace_back(caps.szPname);
  }
  EXPECT_EQ(names.at(static_cast<std::size_t>(device)), source.deviceName());
}

TEST_F(PlatformJack, DeliversOpenThenEachShortMessageOnAnotherThread)
{
  JackMidiSource source("keys");
  const int device = notara::test::midiDeviceNumber(source.deviceName());
  ASSERT_GE(device, 0) << source.deviceName() << " is not listed";

  // Before the device's delivery thread starts, and read once it has ended.
  notara::test::CerrCapture errors;
  Recorder recorder;
  HMIDIIN handle = nullptr;
  // Declared after the recorder, so destroyed before it: when an assertion
  // ends the test early, the device is closed before the recorder that its
  // delivery thread calls goes away.
  struct CloseOnExit
  {
    HMIDIIN& handle;
    ~CloseOnExit()
    {
      if (handle != nullptr)
        midiInClose(handle);
    }
  } closeOnExit{handle};
  ASSERT_EQ(midiInOpen(&handle, static_cast<UINT>(device),
                       reinterpret_cast<DWORD_PTR>(&Recorder::callback),
                       reinterpret_cast<DWORD_PTR>(&recorder), CALLBACK_FUNCTION),
            MMSYSERR_NOERROR);
  ASSERT_NE(handle, nullptr);
  // MIM_OPEN comes before midiInOpen returns, on the caller's thread.
  const std::vector<Recorder::Call> opened = recorder.calls();
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0].msg, MIM_OPEN);
  EXPECT_EQ(opened[0].thread, std::this_thread::get_id());
  EXPECT_EQ(opened[0].handle, handle);

  ASSERT_EQ(midiInStart(handle), MMSYSERR_NOERROR);
  source.noteOn(0, 0x3C, 0x64);
  source.send({0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7});  // system exclusive: dropped
  source.controlChange(1, 7, 127);
  source.clock();
  source.send({0xFE});              // active sensing is delivered too
  source.send({0x3C, 0x64});        // no status byte: counted and reported, not delivered
  source.send({0x90, 0x3C, 0x64, 0x80});  // more than one message: the same
  source.noteOff(15, 64);

  // The messages in order; the two malformed ones are counted apart (the
  // recorder's dropped(), checked once the device is closed).
  const std::vector<Recorder::Call> calls = recorder.waitFor(6);
  ASSERT_EQ(calls.size(), 6u);
  const std::vector<std::pair<UINT, DWORD>> expected{
    {MIM_OPEN, 0},     {MIM_DATA, 6569104u}, {MIM_DATA, 0x7F07B1u},
    {MIM_DATA, 0xF8u}, {MIM_DATA, 0xFEu},    {MIM_DATA, 0x408Fu},
  };
  DWORD lastTime = 0;
  for (std::size_t i = 0; i < calls.size(); ++i)
  {
    SCOPED_TRACE(i);
    EXPECT_EQ(calls[i].msg, expected[i].first);
    EXPECT_EQ(calls[i].param1, expected[i].second);
    EXPECT_EQ(calls[i].handle, handle);
    if (i == 0)
      continue;
    EXPECT_NE(calls[i].thread, std::this_thread::get_id());
    EXPECT_GE(calls[i].param2, lastTime);  // milliseconds since midiInStart, never backwards
    lastTime = calls[i].param2;
  }

  const HMIDIIN closedHandle = handle;
  handle = nullptr;
  ASSERT_EQ(midiInClose(closedHandle), MMSYSERR_NOERROR);
  const std::vector<Recorder::Call> closed = recorder.calls();
  ASSERT_EQ(closed.size(), 7u);
  EXPECT_EQ(closed.back().msg, MIM_CLOSE);
  EXPECT_EQ(midiInClose(closedHandle), MMSYSERR_INVALHANDLE);
  // The two malformed messages came in one burst or two; either way each
  // is counted, and the first is shown.
  const std::string text = errors.text();
  EXPECT_NE(text.find(" that are not whole short messages (the first: 2 bytes, 3c 64)"), std::string::npos)
    << text;
  const bool oneBurst = text.find("MidiInPort::deliverLoop: 2 MIDI messages dropped that are not whole") !=
                        std::string::npos;
  const bool twoBursts = text.find("(the first: 4 bytes, 90 3c 64 ...)") != std::string::npos;
  EXPECT_TRUE(oneBurst || twoBursts) << text;
  // The application is told of both losses too (its input view counts them).
  EXPECT_EQ(recorder.dropped(), 2u);
  // The five delivered and the two malformed; the system exclusive
  // message is no short message, dropped before it is counted.
  EXPECT_EQ(recorder.received(), 7u);
}

TEST_F(PlatformJack, MidiInOpensTheSourceAndHandsOnTheSplitMessages)
{
  JackMidiSource source("pads");
  const int device = notara::test::midiDeviceNumber(source.deviceName());
  ASSERT_GE(device, 0) << source.deviceName() << " is not listed";
  const std::vector<std::string> listed = RecordingMidiIn().listDevices();
  ASSERT_GT(listed.size(), static_cast<std::size_t>(device));
  EXPECT_EQ(listed[static_cast<std::size_t>(device)], source.deviceName());

  RecordingMidiIn in;
  ASSERT_TRUE(in.open(device));
  source.noteOn(0, 60, 100);
  source.clock();
  in.heard.waitFor(2, std::chrono::seconds(10));
  const auto heard = in.heard.entries();
  ASSERT_EQ(heard.size(), 2u);
  EXPECT_EQ(heard[0].event, (std::vector<unsigned>{9, 0, 60, 100}));
  EXPECT_EQ(heard[1].event, (std::vector<unsigned>{15, 8, 0, 0}));
  EXPECT_NE(heard[0].thread, std::this_thread::get_id());
}
