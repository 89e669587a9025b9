#pragma once
// The MIDI input ports of the machine, as one numbered list: the ALSA
// sequencer's readable ports, then JACK's MIDI output ports.
//
// Each API is asked through one enumeration client (an RtMidi input that
// opens no port), made when first needed.
//
// Threading: all functions may be called from any thread; they serialise
// on the object's own mutex, which no callback ever runs under.
#include <memory>
#include <mutex>
#include <string>

#include <rtmidi/RtMidi.h>

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

  /// Number of input ports now present.
  unsigned int count();

  /// Finds port number `device`; false when there is none such.
  bool find(unsigned int device, MidiPortRef& port);

  /// Closes the enumeration clients; the next count or find opens them again.
  void release();
  /// Closes the enumeration clients for good: afterwards there are no ports.
  void close();

  /// An RtMidi error callback that reports nothing (set on every RtMidi object).
  static void ignoreError(RtMidiError::Type type, const std::string& text, void* userData);

  MidiSystem(const MidiSystem&) = delete;
  MidiSystem& operator=(const MidiSystem&) = delete;

private:
  MidiSystem();

  // The enumerator of `api`, made once its system answers; null until then.
  RtMidiIn* enumerator(RtMidi::Api api);
  // The number of ports of `api`, 0 when the API can't be used.
  unsigned int portCount(RtMidi::Api api);

  std::mutex mutex_;
  std::unique_ptr<RtMidiIn> alsa_;
  std::unique_ptr<RtMidiIn> jack_;
  bool closed_ = false;
};
