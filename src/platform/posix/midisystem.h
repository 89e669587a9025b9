#pragma once
// The MIDI input ports of the machine, as one numbered list: the ALSA
// sequencer's readable ports, then JACK's MIDI output ports.
//
// Each system is asked through one listing client of its own, named
// "notara-list" (so that a device's input client is "notara"), made when
// first needed and kept open: a list asked for a few times a second then
// costs a look at the system's port table, not a client made and closed
// that every other program on the graph would see come and go.
//
// A JACK server that goes away closes the JACK listing client (libjack
// calls it off); its ports leave the list at the next look, without a
// hang and without a word. A new listing client is made at a later look,
// once no device of the old server is still open: libjack shares one
// connection state among a process's clients, so a client of the new
// server must not be made beside one of the old. The ALSA listing client
// is made again, at most every two seconds, while it finds no port, so a
// sequencer that went away and returned is found again.
//
// Threading: all functions may be called from any thread; they serialise
// on the object's own mutex, which no callback ever runs under. libjack's
// shutdown notice runs on libjack's thread and only sets a flag.
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <rtmidi/RtMidi.h>

struct _jack_client;

/// One port of the list: the API it belongs to and its full name there.
struct MidiPortRef
{
  RtMidi::Api api = RtMidi::UNSPECIFIED;
  std::string name;
};

/// The process-wide list of MIDI input ports.
class MidiSystem
{
public:
  /// The one instance; the first call silences libasound and libjack.
  static MidiSystem& instance();

  /// Looks at the systems again and answers the number of input ports now present.
  unsigned int count();

  /// Finds port number `device` of the list that the last count made
  /// (of a new look when there was none); false when there is none such.
  bool find(unsigned int device, MidiPortRef& port);

  /// Tells the list that a device of `api` was opened (true) or closed.
  void deviceOpened(RtMidi::Api api, bool opened);

  /// Closes the listing clients for good: afterwards there are no ports.
  void close();

  /// An RtMidi error callback that reports nothing (set on every RtMidi object).
  static void ignoreError(RtMidiError::Type type, const std::string& text, void* userData);

  MidiSystem(const MidiSystem&) = delete;
  MidiSystem& operator=(const MidiSystem&) = delete;

private:
  MidiSystem();

  // A fresh list of both systems' ports into ports_.
  void look();
  void lookAlsa();
  void lookJack();
  void closeJack();

  std::mutex mutex_;  // guards everything below but jackGone_
  std::unique_ptr<RtMidiIn> alsa_;
  std::chrono::steady_clock::time_point alsaRetry_{};
  _jack_client* jack_ = nullptr;
  std::atomic<bool> jackGone_{false};
  int openJackDevices_ = 0;
  bool closed_ = false;
  bool looked_ = false;
  std::vector<MidiPortRef> ports_;
};
