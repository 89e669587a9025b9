#pragma once
// One JACK MIDI input: a client named "notara" with one MIDI input port,
// "notara in", connected to the source port. Its process callback copies
// the period's events, in order, to a Sink, and does nothing else: no
// allocation, no lock, no call that can block.
//
// An event that libjack can't read (the port's buffer changed under a
// client that ran late) is handed on as unreadable, never as the event read
// before it. A period that the client never saw (the server went on
// without it: its frame time moved by more than one period) is handed on as
// missed, since its events are lost. System exclusive is dropped here, with
// its continuation events when a message comes in pieces.
//
// Threading: the constructor and destructor run on the thread that opens
// and closes the device; the Sink's functions run on JACK's process thread,
// one period at a time, with no lock held, but xrun, which runs on a thread
// of libjack's that JACK tells of late cycles. The destructor closes the
// client: no Sink call comes after it returns.
#include <cstddef>
#include <cstdint>
#include <string>

#include "jackcalls.h"

/// A JACK client reading one source port.
class JackMidiInput
{
public:
  /// Where each period's events go. Called on JACK's process thread.
  class Sink
  {
  public:
    /// A period begins.
    virtual void beginPeriod() noexcept = 0;
    /// One event, whole as JACK holds it; `bytes` is valid during the call only.
    virtual void receive(const unsigned char* bytes, std::size_t size) noexcept = 0;
    /// One event that could not be read.
    virtual void unreadable() noexcept = 0;
    /// The period's events have all been handed over.
    virtual void endPeriod() noexcept = 0;
    /// `periods` periods went by since the last one without this client:
    /// their events are lost. Comes before the next period's beginPeriod.
    virtual void missedPeriods(std::uint32_t periods) noexcept = 0;
    /// JACK says a cycle ran late (an xrun); not on the process thread.
    virtual void xrun() noexcept = 0;

  protected:
    ~Sink() = default;
  };

  /// The client's name, as the listing client's is "notara-list".
  static constexpr const char* clientName = "notara";
  /// The name of the client's input port.
  static constexpr const char* portName = "notara in";

  /// Opens the client through `jack`, connects `source` (a full port name)
  /// to its port and starts handing events to `sink`. Throws
  /// std::runtime_error naming what failed.
  JackMidiInput(JackCalls& jack, const std::string& source, Sink& sink);
  /// Closes the client.
  ~JackMidiInput();
  JackMidiInput(const JackMidiInput&) = delete;
  JackMidiInput& operator=(const JackMidiInput&) = delete;

private:
  static int process(jack_nframes_t frames, void* self) noexcept;
  static int onXrun(void* self) noexcept;
  void processPeriod(jack_nframes_t frames) noexcept;
  // Hands on the periods missed since the last one seen, from its frame time.
  void checkContinuity(jack_nframes_t frames) noexcept;

  JackCalls& jack_;
  Sink& sink_;
  jack_client_t* client_ = nullptr;
  jack_port_t* port_ = nullptr;
  // A system exclusive message whose end has not come yet (process thread only).
  bool inSysex_ = false;
  // The frame time and length of the last period seen (process thread only).
  bool seenPeriod_ = false;
  jack_nframes_t lastFrame_ = 0;
  jack_nframes_t lastFrames_ = 0;
};
