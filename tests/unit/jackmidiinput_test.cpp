// The JACK MIDI input over a stand-in for libjack: the client it opens and
// connects, and what reaches the application's callback from the periods
// the stand-in plays (failed reads, more events than the queue holds,
// system exclusive in pieces, messages that are not whole).
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <windows.h>
#include <mmsystem.h>

#include "platform/posix/jackcalls.h"
#include "platform/posix/midiinport.h"
#include "support/call_log.h"
#include "support/cerr_capture.h"

namespace
{
  // One event of a period the stand-in plays: its bytes, or a read that fails.
  struct FakeEvent
  {
    std::vector<unsigned char> bytes;
    bool fails = false;
  };

  FakeEvent failedRead()
  {
    return {{}, true};
  }

  // libjack as far as the input uses it: one client, one port, and the
  // periods the test plays on its own thread through the process callback.
  class FakeJack : public JackCalls
  {
  public:
    jack_client_t* clientOpen(const char* name) override
    {
      clientName = name;
      ++openClients;
      return reinterpret_cast<jack_client_t*>(&client_);
    }
    void clientClose(jack_client_t*) override
    {
      --openClients;
      callback_ = nullptr;
    }
    jack_port_t* registerMidiInput(jack_client_t*, const char* name) override
    {
      portShortName = name;
      return reinterpret_cast<jack_port_t*>(&port_);
    }
    bool portExists(jack_client_t*, const char* name) override { return sources.count(name) != 0; }
    const char* portName(jack_port_t*) override
    {
      fullName = clientName + ":" + portShortName;
      return fullName.c_str();
    }
    int setProcessCallback(jack_client_t*, JackProcessCallback callback, void* arg) override
    {
      callback_ = callback;
      arg_ = arg;
      return 0;
    }
    int activate(jack_client_t*) override { return 0; }
    int setXrunCallback(jack_client_t*, JackXRunCallback callback, void* arg) override
    {
      xrunCallback_ = callback;
      xrunArg_ = arg;
      return 0;
    }
    bool makeRealtime(jack_client_t*) override
    {
      ++realtimeAsked;
      return false;
    }
    jack_nframes_t lastFrameTime(jack_client_t*) override { return frame_; }
    int connect(jack_client_t*, const char* source, const char* destination) override
    {
      connections.emplace_back(source, destination);
      return 0;
    }
    void* portBuffer(jack_port_t*, jack_nframes_t) override { return &period_; }
    std::uint32_t eventCount(void*) override { return static_cast<std::uint32_t>(period_.size()); }
    int eventGet(jack_midi_event_t* event, void*, std::uint32_t index) override
    {
      // As libjack: a failed read leaves the event as it was.
      FakeEvent& e = period_.at(index);
      if (e.fails)
        return -ENOBUFS;
      event->time = index;
      event->size = e.bytes.size();
      event->buffer = e.bytes.empty() ? nullptr : e.bytes.data();
      return 0;
    }

    /// Plays one period of `events` on the calling thread, as JACK's process thread would.
    void play(std::vector<FakeEvent> events)
    {
      ASSERT_NE(callback_, nullptr) << "no active client";
      period_ = std::move(events);
      callback_(kFrames, arg_);
      period_.clear();
      frame_ += kFrames;
    }
    /// `periods` periods go by without the client, as when the server gave
    /// up waiting for it; then JACK tells of the late cycle.
    void skip(jack_nframes_t periods)
    {
      frame_ += periods * kFrames;
      ASSERT_NE(xrunCallback_, nullptr) << "no xrun callback";
      xrunCallback_(xrunArg_);
    }

    std::set<std::string> sources{"keys:out"};
    std::string clientName;
    std::string portShortName;
    std::string fullName;
    std::vector<std::pair<std::string, std::string>> connections;
    int openClients = 0;
    int realtimeAsked = 0;

  private:
    static constexpr jack_nframes_t kFrames = 256;
    // Near the wrap of the frame counter, which must not read as a gap.
    jack_nframes_t frame_ = 0xFFFFFF00u;
    JackXRunCallback xrunCallback_ = nullptr;
    void* xrunArg_ = nullptr;
    char client_ = 0;
    char port_ = 0;
    JackProcessCallback callback_ = nullptr;
    void* arg_ = nullptr;
    std::vector<FakeEvent> period_;
  };

  // What the application's callback got: the message and its word.
  using Call = std::pair<UINT, DWORD>;

  // The application's side; its callback may be held at its first message.
  class Application
  {
  public:
    static void CALLBACK callback(HMIDIIN, UINT msg, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR)
    {
      auto* me = reinterpret_cast<Application*>(instance);
      if (msg == MIM_INPUT_RECEIVED)
        me->received += static_cast<std::uint64_t>(param1);
      if (msg == MIM_QUEUE_DROPPED)
        me->dropped += static_cast<std::uint64_t>(param1);
      if (msg == MIM_PERIODS_MISSED)
        me->periodsMissed += static_cast<std::uint64_t>(param1);
      if (msg != MIM_DATA && msg != MIM_MOREDATA)
        return;
      me->calls.add({msg, static_cast<DWORD>(param1)});
      std::unique_lock<std::mutex> lock(me->mutex_);
      me->held_ = me->holding_;
      me->changed_.notify_all();
      me->changed_.wait(lock, [me] { return !me->holding_; });
      me->held_ = false;
    }

    void hold()
    {
      std::lock_guard<std::mutex> lock(mutex_);
      holding_ = true;
    }
    bool waitUntilHeld()
    {
      std::unique_lock<std::mutex> lock(mutex_);
      return changed_.wait_for(lock, std::chrono::seconds(10), [this] { return held_; });
    }
    void release()
    {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        holding_ = false;
      }
      changed_.notify_all();
    }

    notara::test::CallLog<Call> calls;
    // What the layer's own reports counted (delivery thread; read after close).
    std::atomic<std::uint64_t> received{0};
    std::atomic<std::uint64_t> dropped{0};
    std::atomic<std::uint64_t> periodsMissed{0};

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool holding_ = false;
    bool held_ = false;
  };

  // The packed word of a short message, as Windows delivers it.
  DWORD word(unsigned char status, unsigned char data1 = 0, unsigned char data2 = 0)
  {
    return status | (DWORD{data1} << 8) | (DWORD{data2} << 16);
  }

  FakeEvent noteOn(int key)
  {
    return {{0x90, static_cast<unsigned char>(key), 100}};
  }

  class JackMidiInputTest : public testing::Test
  {
  protected:
    // The port on the stand-in, opened on "keys:out" and started.
    void openPort(std::size_t queueCapacity = MidiInPort::defaultQueueCapacity, bool moreData = false)
    {
      port = std::make_unique<MidiInPort>(&Application::callback, reinterpret_cast<DWORD_PTR>(&app), jack,
                                          queueCapacity, moreData);
      port->open({RtMidi::UNIX_JACK, "keys:out"});
      port->start();
    }

    // Plays `events` while the application holds a note on of key 0, so
    // that the delivery thread sees the whole period at once and reports
    // what it dropped in one line.
    void holdWhilePlaying(std::vector<FakeEvent> events)
    {
      app.hold();
      jack.play({noteOn(0)});
      ASSERT_TRUE(app.waitUntilHeld());
      jack.play(std::move(events));
      app.release();
    }

    // Closes the port: its delivery thread has ended when this returns,
    // so what it wrote can be read.
    std::string closeAndReadErrors()
    {
      port->close();
      return errors.text();
    }

    // Declared first: it outlives the port's delivery thread.
    notara::test::CerrCapture errors;
    FakeJack jack;
    Application app;
    std::unique_ptr<MidiInPort> port;
  };

  TEST_F(JackMidiInputTest, OpensAClientNamedNotaraAndConnectsTheSourceToItsPort)
  {
    openPort();
    EXPECT_EQ(jack.clientName, "notara");
    EXPECT_EQ(jack.portShortName, "notara in");
    ASSERT_EQ(jack.connections.size(), 1u);
    EXPECT_EQ(jack.connections[0], (std::pair<std::string, std::string>{"keys:out", "notara:notara in"}));
    port->close();
    EXPECT_EQ(jack.openClients, 0);

    // A port gone between the listing and the opening: refused, and the
    // client it opened for it is closed again.
    MidiInPort other(&Application::callback, reinterpret_cast<DWORD_PTR>(&app), jack);
    EXPECT_THROW(other.open({RtMidi::UNIX_JACK, "pads:out"}), std::runtime_error);
    EXPECT_EQ(jack.openClients, 0);
  }

  TEST_F(JackMidiInputTest, APeriodsEventsArriveInOrderWithTheirBytes)
  {
    openPort();
    jack.play({noteOn(60),
               {{0xB1, 7, 127}},
               {{0xF0, 0x7E, 0x7F}},  // system exclusive in three pieces, a clock between
               {{0xF8}},
               {{0x09, 0x01}},
               {{0x02, 0xF7}},
               {{0xC2, 5}},
               {{0xFE}},
               {{0x8F, 64, 0}}});
    jack.play({noteOn(61), noteOn(62)});
    ASSERT_TRUE(app.calls.waitFor(8, std::chrono::seconds(10)));
    const std::vector<Call> expected{
      {MIM_DATA, word(0x90, 60, 100)}, {MIM_DATA, word(0xB1, 7, 127)}, {MIM_DATA, word(0xF8)},
      {MIM_DATA, word(0xC2, 5)},       {MIM_DATA, word(0xFE)},         {MIM_DATA, word(0x8F, 64, 0)},
      {MIM_DATA, word(0x90, 61, 100)}, {MIM_DATA, word(0x90, 62, 100)},
    };
    const std::string text = closeAndReadErrors();
    EXPECT_EQ(app.calls.entries(), expected);
    EXPECT_EQ(text, "");
  }

  TEST_F(JackMidiInputTest, AFailedReadIsACountedDropAndNothingIsRepeated)
  {
    openPort();
    holdWhilePlaying({noteOn(1), noteOn(2), failedRead(), noteOn(4), failedRead(), failedRead()});
    jack.play({noteOn(7)});
    ASSERT_TRUE(app.calls.waitFor(5, std::chrono::seconds(10)));
    const std::string text = closeAndReadErrors();
    const std::vector<Call> expected{
      {MIM_DATA, word(0x90, 0, 100)}, {MIM_DATA, word(0x90, 1, 100)}, {MIM_DATA, word(0x90, 2, 100)},
      {MIM_DATA, word(0x90, 4, 100)}, {MIM_DATA, word(0x90, 7, 100)},
    };
    EXPECT_EQ(app.calls.entries(), expected);
    EXPECT_EQ(text, "MidiInPort::deliverLoop: JACK could not read 3 MIDI messages (a cycle ran late); dropped; input \"keys:out\"\n");
    // Every message JACK handed over is either delivered or counted lost.
    EXPECT_EQ(app.received, 8u);
    EXPECT_EQ(app.dropped, 3u);
  }

  TEST_F(JackMidiInputTest, PeriodsTheClientNeverSawAreCountedAndReported)
  {
    openPort();
    EXPECT_EQ(jack.realtimeAsked, 1);
    jack.play({noteOn(1)});
    jack.play({});
    jack.skip(3);
    jack.play({noteOn(2)});
    ASSERT_TRUE(app.calls.waitFor(2, std::chrono::seconds(10)));
    // Periods without events that the client saw are no gap.
    jack.play({});
    jack.play({noteOn(3)});
    ASSERT_TRUE(app.calls.waitFor(3, std::chrono::seconds(10)));
    const std::string text = closeAndReadErrors();
    EXPECT_EQ(text, "MidiInPort::deliverLoop: JACK ran 3 periods without this input (its thread came too late); "
                    "any MIDI messages they held are lost (1 late cycle reported so far); input \"keys:out\"\n");
    EXPECT_EQ(app.periodsMissed, 3u);
    EXPECT_EQ(app.received, 3u);
  }

  TEST_F(JackMidiInputTest, APeriodLargerThanTheQueueDropsTheRestAndCountsThem)
  {
    constexpr std::size_t capacity = 8;
    openPort(capacity);
    // The application holds its first message: nothing leaves the queue.
    app.hold();
    jack.play({noteOn(0)});
    ASSERT_TRUE(app.waitUntilHeld());
    std::vector<FakeEvent> flood;
    for (int key = 1; key <= static_cast<int>(capacity) + 5; ++key)
      flood.push_back(noteOn(key));
    jack.play(flood);
    app.release();
    // Once the queue is empty again, a period is delivered whole.
    ASSERT_TRUE(app.calls.waitFor(capacity + 1, std::chrono::seconds(10)));
    jack.play({noteOn(100)});
    ASSERT_TRUE(app.calls.waitFor(capacity + 2, std::chrono::seconds(10)));
    const std::string text = closeAndReadErrors();
    std::vector<Call> expected;
    for (int key = 0; key <= static_cast<int>(capacity); ++key)
      expected.push_back({MIM_DATA, word(0x90, static_cast<unsigned char>(key), 100)});
    expected.push_back({MIM_DATA, word(0x90, 100, 100)});
    EXPECT_EQ(app.calls.entries(), expected);
    EXPECT_EQ(text, "MidiInPort::deliverLoop: input queue full, 5 MIDI messages dropped; input \"keys:out\"\n");
    EXPECT_EQ(app.received, capacity + 7);
    EXPECT_EQ(app.dropped, 5u);
  }

  TEST_F(JackMidiInputTest, MessagesThatAreNotWholeAreCountedNotDelivered)
  {
    openPort();
    holdWhilePlaying({{{0x90, 60}},              // cut short
                      {{0x90, 60, 100, 0x80}},  // more than one message
                      {{}},                     // nothing at all
                      {{0x3C, 0x64}},           // no status byte
                      {{0x90, 60, 0x80}},       // a status byte among the data
                      noteOn(1)});
    ASSERT_TRUE(app.calls.waitFor(2, std::chrono::seconds(10)));
    const std::string text = closeAndReadErrors();
    EXPECT_EQ(app.calls.entries(), (std::vector<Call>{{MIM_DATA, word(0x90, 0, 100)}, {MIM_DATA, word(0x90, 1, 100)}}));
    EXPECT_EQ(text, "MidiInPort::deliverLoop: 5 MIDI messages dropped that are not whole short messages "
                    "(the first: 2 bytes, 90 3c); input \"keys:out\"\n");
  }

  TEST_F(JackMidiInputTest, WithMoreDataEachMessageButTheLastInHandSaysMoreFollow)
  {
    openPort(MidiInPort::defaultQueueCapacity, true);
    // A lone message, then three in hand at once with a dropped one after
    // the last, then a lone one again: only the two that more follow in
    // the same round come as MIM_MOREDATA.
    holdWhilePlaying({noteOn(1), noteOn(2), noteOn(3), {{0x90, 60}}});
    ASSERT_TRUE(app.calls.waitFor(4, std::chrono::seconds(10)));
    jack.play({noteOn(4)});
    ASSERT_TRUE(app.calls.waitFor(5, std::chrono::seconds(10)));
    const std::string text = closeAndReadErrors();
    const std::vector<Call> expected{
      {MIM_DATA, word(0x90, 0, 100)},     {MIM_MOREDATA, word(0x90, 1, 100)}, {MIM_MOREDATA, word(0x90, 2, 100)},
      {MIM_DATA, word(0x90, 3, 100)},     {MIM_DATA, word(0x90, 4, 100)},
    };
    EXPECT_EQ(app.calls.entries(), expected);
    EXPECT_EQ(text, "MidiInPort::deliverLoop: 1 MIDI messages dropped that are not whole short messages "
                    "(the first: 2 bytes, 90 3c); input \"keys:out\"\n");
  }

  TEST_F(JackMidiInputTest, NothingIsDeliveredOrCountedBeforeStartOrAfterStop)
  {
    port = std::make_unique<MidiInPort>(&Application::callback, reinterpret_cast<DWORD_PTR>(&app), jack);
    port->open({RtMidi::UNIX_JACK, "keys:out"});
    jack.play({noteOn(1), failedRead()});
    port->start();
    jack.play({noteOn(2)});
    ASSERT_TRUE(app.calls.waitFor(1, std::chrono::seconds(10)));
    port->stop();
    jack.play({noteOn(3), failedRead()});
    const std::string text = closeAndReadErrors();
    EXPECT_EQ(app.calls.entries(), (std::vector<Call>{{MIM_DATA, word(0x90, 2, 100)}}));
    EXPECT_EQ(text, "");
  }
}
