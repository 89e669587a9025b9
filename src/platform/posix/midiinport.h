#pragma once
// One open MIDI input device: a JACK client of our own (JackMidiInput) or,
// for the ALSA sequencer, an RtMidi input, connected to one port; and the
// thread on which the application's callback gets the messages.
//
// Threading: the MIDI system's thread (JACK's process thread, which must
// never wait, or RtMidi's) only packs each message and pushes it on a
// lock-free single-producer queue: no lock, no allocation; the one system
// call it may make, once a period, is the semaphore post that wakes a
// delivery thread that went to sleep, and a post never waits. The delivery
// thread of this object calls the application's callback, so that a slow
// callback never stalls the MIDI system. The callback runs with no lock of
// this object held. open, start, stop, close and notify may be called from
// any thread but the delivery thread may not close its own device.
//
// What is lost is counted and reported by the delivery thread on standard
// error, one line per burst and cause: messages the queue had no room for,
// messages JACK could not read, periods JACK ran without this input, and
// messages that are not whole short messages (the first of them shown).
// None is delivered in part, and none in the place of another. Each round
// of deliveries ends with a count of what the MIDI system handed over
// (MIM_INPUT_RECEIVED), so that a loss nobody named still shows.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <semaphore.h>

#include <boost/lockfree/spsc_queue.hpp>
#include <rtmidi/RtMidi.h>

#include "jackcalls.h"
#include "jackmidiinput.h"
#include "midisystem.h"
#include "mmsystem.h"

/// An open MIDI input device; its address is the HMIDIIN handle.
class MidiInPort final : private JackMidiInput::Sink
{
public:
  /// Room for 1.6 s at 10,000 messages a second (five seconds of a fully
  /// loaded MIDI cable): a delivery thread that a busy machine holds up
  /// that long loses nothing. 256 KiB.
  static constexpr std::size_t defaultQueueCapacity = 16384;

  /// The application's callback, as midiInOpen takes it.
  using Callback = void(CALLBACK*)(HMIDIIN, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);

  /// Prepares delivery to `callback` (may be null) with `instance`; a JACK
  /// port is read through `jack`, and at most `queueCapacity` messages wait.
  /// With `moreData`, a message that more queued ones follow (delivered in
  /// the same round) comes as MIM_MOREDATA.
  MidiInPort(Callback callback, DWORD_PTR instance, JackCalls& jack = JackCalls::libjack(),
             std::size_t queueCapacity = defaultQueueCapacity, bool moreData = false);
  /// Closes the device if that was not done.
  ~MidiInPort();
  MidiInPort(const MidiInPort&) = delete;
  MidiInPort& operator=(const MidiInPort&) = delete;

  /// Connects to `port`; throws RtMidiError or std::runtime_error on failure.
  void open(const MidiPortRef& port);
  /// Starts delivering input; time stamps count from now.
  void start();
  /// Stops delivering input and discards what was not yet delivered.
  void stop();
  /// Disconnects and ends the delivery thread; no callback runs afterwards.
  void close();
  /// Calls the callback with `msg` on the calling thread (MIM_OPEN, MIM_CLOSE).
  void notify(UINT msg, DWORD param1, DWORD param2);
  /// True on the thread that runs the callback for input.
  bool onDeliveryThread() const;

  /// The handle that names this device.
  HMIDIIN handle() { return reinterpret_cast<HMIDIIN>(this); }
  /// The MIDI system of the port, once opened.
  RtMidi::Api api() const { return api_; }

private:
  // MIM_DATA with the packed message and its time; MIM_ERROR for a message
  // that is not a whole short message, with its first three bytes and its
  // size, counted and reported rather than delivered.
  struct Queued
  {
    UINT msg;
    DWORD param1;
    DWORD param2;
    std::uint32_t run;  // the start it was queued after
  };

  // RtMidi's callback: one message, as a period of its own.
  static void onInput(double timeStamp, std::vector<unsigned char>* message, void* userData);
  // JackMidiInput::Sink, on the MIDI system's thread.
  void beginPeriod() noexcept override;
  void receive(const unsigned char* bytes, std::size_t size) noexcept override;
  void unreadable() noexcept override;
  void endPeriod() noexcept override;
  void missedPeriods(std::uint32_t periods) noexcept override;
  void xrun() noexcept override;
  // Pushes one item; counts it as dropped when the queue is full.
  void push(const Queued& item) noexcept;
  // Wakes the delivery thread if it sleeps; never waits.
  void wake();
  void deliverLoop();
  // The delivery loop until close; what it raises, deliverLoop reports.
  void deliverUntilQuit();
  // One line for an error of the delivery loop, then a short pause.
  void reportDeliveryError(const char* what) noexcept;
  // Delivers what is queued; reports the messages dropped meanwhile.
  void deliverQueued();
  // One line per cause for the losses since the last report.
  void reportLosses();
  // "; input "<port>"", which ends each loss line, so that several inputs' lines tell apart.
  std::string inputName() const;
  // MIM_INPUT_RECEIVED with what the MIDI system handed over since the last.
  void reportReceived();
  // The line for the burst of messages that were not whole short messages.
  void reportMalformed();

  // Delivers one message through the callback, reporting what it raises.
  void deliver(const Queued& item, UINT msg);

  Callback callback_;
  DWORD_PTR instance_;
  JackCalls& jack_;
  const bool moreData_;
  RtMidi::Api api_ = RtMidi::UNSPECIFIED;
  std::string portName_;  // the port opened; set by open
  std::unique_ptr<RtMidiIn> input_;
  std::unique_ptr<JackMidiInput> jackInput_;
  std::atomic<bool> running_{false};
  std::atomic<std::uint32_t> run_{0};
  std::atomic<std::int64_t> startNanos_{0};

  // The period under way, as the MIDI system's thread saw it at its start
  // (that thread only).
  bool periodRunning_ = false;
  std::uint32_t periodRun_ = 0;
  DWORD periodTime_ = 0;
  bool periodQueued_ = false;

  // The MIDI system's thread pushes, the delivery thread pops.
  boost::lockfree::spsc_queue<Queued> queue_;
  std::atomic<std::size_t> dropped_{0};     // no room in the queue
  std::atomic<std::size_t> unreadable_{0};  // JACK could not read them
  std::atomic<std::size_t> missed_{0};      // periods JACK ran without us
  std::atomic<std::size_t> xruns_{0};       // late cycles JACK told of
  std::atomic<std::size_t> received_{0};    // handed over by the MIDI system
  // What the last MIM_INPUT_RECEIVED counted up to (delivery thread only).
  std::size_t receivedReported_ = 0;
  // Not whole short messages since the last report, and the first of them
  // (delivery thread only).
  std::size_t malformed_ = 0;
  Queued firstMalformed_{};
  std::atomic<bool> quit_{false};
  // Set by the delivery thread before it waits on wakeup_; whoever clears
  // it posts, so a sleep gets exactly one post.
  std::atomic<bool> sleeping_{false};
  sem_t wakeup_;
  std::thread delivery_;
};
