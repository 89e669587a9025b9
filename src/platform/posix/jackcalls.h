#pragma once
// The few libjack calls that the JACK MIDI input makes, behind a small
// interface, so that a test can stand in for the JACK server and play any
// period it likes, failed reads among them.
//
// Threading: portBuffer, eventCount, eventGet and lastFrameTime are called
// on JACK's process thread and must not block or allocate; the others on
// the thread that opens or closes the input. No lock is held by the callers.
#include <cstdint>

#include <jack/jack.h>
#include <jack/midiport.h>

/// The libjack functions of one JACK MIDI input client.
class JackCalls
{
public:
  virtual ~JackCalls() = default;

  /// Opens a client named `name` without starting a server; null on failure.
  virtual jack_client_t* clientOpen(const char* name) = 0;
  /// Closes `client` (deactivating it first); no process call runs afterwards.
  virtual void clientClose(jack_client_t* client) = 0;
  /// Registers a MIDI input port named `name`; null on failure.
  virtual jack_port_t* registerMidiInput(jack_client_t* client, const char* name) = 0;
  /// True when a port of full name `name` exists.
  virtual bool portExists(jack_client_t* client, const char* name) = 0;
  /// The full name of `port`.
  virtual const char* portName(jack_port_t* port) = 0;
  /// Sets the process callback; 0 on success.
  virtual int setProcessCallback(jack_client_t* client, JackProcessCallback callback, void* arg) = 0;
  /// Activates `client`; 0 on success.
  virtual int activate(jack_client_t* client) = 0;
  /// Connects port `source` to port `destination`; 0 on success.
  virtual int connect(jack_client_t* client, const char* source, const char* destination) = 0;
  /// Sets the callback JACK calls after a cycle that ran late (on a thread
  /// of libjack's that is not the process thread); 0 on success.
  virtual int setXrunCallback(jack_client_t* client, JackXRunCallback callback, void* arg) = 0;
  /// Gives the active client's process thread real-time scheduling where
  /// the server did not; true when it has it now.
  virtual bool makeRealtime(jack_client_t* client) = 0;

  /// The port's buffer for this period (process thread).
  virtual void* portBuffer(jack_port_t* port, jack_nframes_t frames) = 0;
  /// The number of MIDI events in `buffer` (process thread).
  virtual std::uint32_t eventCount(void* buffer) = 0;
  /// Reads event `index` of `buffer` into `event`; 0 on success, and on
  /// failure `event` is left as it was (process thread).
  virtual int eventGet(jack_midi_event_t* event, void* buffer, std::uint32_t index) = 0;
  /// The frame time at the start of this period (process thread).
  virtual jack_nframes_t lastFrameTime(jack_client_t* client) = 0;

  /// The calls of the real libjack.
  static JackCalls& libjack();
};
