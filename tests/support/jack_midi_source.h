#pragma once
// A MIDI source for tests and benchmarks: a JACK MIDI output port that the
// MIDI input layer lists as a device, and that sends what it is told to.
//
// Threading: one thread at a time may use an object. JACK's process thread
// takes the messages from a lock-free ring the caller's thread fills; no
// callback reaches the caller.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <jack/jack.h>
#include <jack/ringbuffer.h>

namespace notara::test
{
  /// A JACK client with one MIDI output port.
  class JackMidiSource
  {
  public:
    /// True when a JACK server answers (JACK_DEFAULT_SERVER names it); starts none.
    static bool serverAnswers();

    /// Opens port `portName` on a new JACK client; the client's name is
    /// made unique for the process. Throws std::runtime_error when no JACK
    /// server answers or the port can't be made.
    explicit JackMidiSource(const std::string& portName);
    /// The same on a client named `clientName`, so that a source closed
    /// and made again shows up under the same device name.
    JackMidiSource(const std::string& portName, const std::string& clientName);
    ~JackMidiSource();
    JackMidiSource(const JackMidiSource&) = delete;
    JackMidiSource& operator=(const JackMidiSource&) = delete;

    /// The port's full JACK name, "client:port".
    std::string fullName() const;
    /// The name a MIDI input device list shows for the port (31 characters at most).
    std::string deviceName() const;

    /// Pause after each message (default 2 ms), so JACK keeps up on a busy machine.
    void setPace(std::chrono::milliseconds pace) { pace_ = pace; }

    /// Sends `bytes` as one MIDI event, unchecked; throws std::runtime_error
    /// when it is empty or the buffer toward JACK is full.
    void send(const std::vector<std::uint8_t>& bytes);
    /// Sends a note on (status 0x90 + channel).
    void noteOn(int channel, int note, int velocity);
    /// Sends a note off (status 0x80 + channel).
    void noteOff(int channel, int note, int velocity = 0);
    /// Sends a control change (status 0xB0 + channel).
    void controlChange(int channel, int controller, int value);
    /// Sends a program change (status 0xC0 + channel).
    void programChange(int channel, int program);
    /// Sends a timing clock (0xF8).
    void clock();
    /// Sends a start (0xFA).
    void start();
    /// Sends a stop (0xFC).
    void stop();

  private:
    /// JACK's process callback: the ring's messages into the port's buffer.
    static int process(jack_nframes_t frames, void* self) noexcept;
    /// Deactivates and closes the client, then frees the ring.
    void close();

    std::string clientName_;
    std::string portName_;
    jack_client_t* client_ = nullptr;
    jack_port_t* port_ = nullptr;
    jack_ringbuffer_t* ring_ = nullptr;
    std::chrono::milliseconds pace_{2};
  };
}
