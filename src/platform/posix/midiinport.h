#pragma once
// One open MIDI input device: an RtMidi input connected to one port, and
// the thread on which the application's callback gets the messages.
//
// Threading: RtMidi's thread (for JACK, the JACK process thread, which must
// never wait) only packs each message and pushes it on a lock-free
// single-producer queue: no lock, no allocation; the one system call it may
// make is the semaphore post that wakes a delivery thread that went to
// sleep, and a post never waits. The delivery thread of this object calls
// the application's callback, so that a slow callback never stalls the MIDI
// system. The callback runs with no lock of this object held. open, start,
// stop, close and notify may be called from any thread but the delivery
// thread may not close its own device.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include <semaphore.h>

#include <boost/lockfree/spsc_queue.hpp>
#include <rtmidi/RtMidi.h>

#include "midisystem.h"
#include "mmsystem.h"

/// An open MIDI input device; its address is the HMIDIIN handle.
class MidiInPort
{
public:
  /// The application's callback, as midiInOpen takes it.
  using Callback = void(CALLBACK*)(HMIDIIN, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);

  /// Prepares delivery to `callback` (may be null) with `instance`; with
  /// `moreData`, a message that more queued ones follow (delivered in the
  /// same round) comes as MIM_MOREDATA.
  MidiInPort(Callback callback, DWORD_PTR instance, bool moreData = false);
  /// Closes the device if that was not done.
  ~MidiInPort();
  MidiInPort(const MidiInPort&) = delete;
  MidiInPort& operator=(const MidiInPort&) = delete;

  /// Connects to `port`; throws RtMidiError or std::system_error on failure.
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
  struct Queued
  {
    UINT msg;
    DWORD param1;
    DWORD param2;
    std::uint32_t run;  // the start it was queued after
  };

  // Room for about a second of a fully loaded MIDI cable.
  static constexpr std::size_t queueCapacity = 4096;

  static void onInput(double timeStamp, std::vector<unsigned char>* message, void* userData);
  void queue(const std::vector<unsigned char>& message);
  // Wakes the delivery thread if it sleeps; never waits.
  void wake();
  void deliverLoop();
  // Delivers what is queued; reports the messages dropped meanwhile.
  void deliverQueued();

  // Delivers one message through the callback, reporting what it raises.
  void deliver(const Queued& item, UINT msg);

  Callback callback_;
  DWORD_PTR instance_;
  const bool moreData_;
  RtMidi::Api api_ = RtMidi::UNSPECIFIED;
  std::unique_ptr<RtMidiIn> input_;
  std::atomic<bool> running_{false};
  std::atomic<std::uint32_t> run_{0};
  std::atomic<std::int64_t> startNanos_{0};

  // RtMidi's thread pushes, the delivery thread pops.
  boost::lockfree::spsc_queue<Queued, boost::lockfree::capacity<queueCapacity>> queue_;
  std::atomic<std::size_t> dropped_{0};
  std::atomic<bool> quit_{false};
  // Set by the delivery thread before it waits on wakeup_; whoever clears
  // it posts, so a sleep gets exactly one post.
  std::atomic<bool> sleeping_{false};
  sem_t wakeup_;
  std::thread delivery_;
};
