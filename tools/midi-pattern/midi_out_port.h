#pragma once
// A virtual MIDI output port on the ALSA sequencer or on JACK, over RtMidi,
// that can tell whether something reads from it.
//
// Threading: one thread at a time per object. RtMidi's error callback runs
// on the calling thread inside sendMessage; on JACK the bytes leave on
// JACK's process thread, which never calls back into this object.
#include <memory>
#include <string>

#include "midi-pattern/midi_sink.h"
#include "midi-pattern/pattern_options.h"

class RtMidiOut;

namespace midipattern
{
  /// One virtual output port of the client "midi-pattern".
  class MidiOutPort : public MidiSink
  {
  public:
    /// The client name both systems show.
    static constexpr const char* clientName = "midi-pattern";

    /// Opens the port `portName`; throws std::runtime_error naming the
    /// system and the port when that is not possible.
    MidiOutPort(MidiApi api, const std::string& portName);
    ~MidiOutPort() override;
    MidiOutPort(const MidiOutPort&) = delete;
    MidiOutPort& operator=(const MidiOutPort&) = delete;

    /// "ALSA" or "JACK".
    const char* systemName() const;
    /// The port's full name on its system, e.g. "midi-pattern:notara-pattern".
    const std::string& fullName() const { return fullName_; }
    /// True when at least one reader is connected to the port.
    bool hasReader();

    /// Sends one message through RtMidi.
    void sendMessage(const std::uint8_t* bytes, std::size_t size) override;

  private:
    struct Watch;  // the system's own handles, to look at the port's connections

    void openAlsa(const std::string& portName);
    void openJack(const std::string& portName);

    std::unique_ptr<RtMidiOut> out_;
    std::unique_ptr<Watch> watch_;
    bool jack_ = false;
    std::string fullName_;
  };
}
