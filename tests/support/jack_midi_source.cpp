// A JACK MIDI output port for tests, straight on libjack.
#include "support/jack_midi_source.h"

#include <atomic>
#include <cstring>
#include <stdexcept>
#include <thread>

#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>
#include <unistd.h>

#include "platform/posix/quietmidi.h"

namespace notara::test
{
  namespace
  {
    // Room for many more messages than a test sends between two periods.
    constexpr std::size_t ringBytes = 1 << 16;

    std::string uniqueClientName()
    {
      static std::atomic<int> counter{0};
      return "nsrc-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
    }

    std::uint8_t byte(int value)
    {
      return static_cast<std::uint8_t>(value & 0xFF);
    }
  }

  bool JackMidiSource::serverAnswers()
  {
    notara::platform::quietMidiLibraries();
    jack_status_t status{};
    jack_client_t* client = jack_client_open("nsrc-probe", JackNoStartServer, &status);
    if (client == nullptr)
      return false;
    jack_client_close(client);
    return true;
  }

  JackMidiSource::JackMidiSource(const std::string& portName)
    : JackMidiSource(portName, uniqueClientName())
  {
  }

  JackMidiSource::JackMidiSource(const std::string& portName, const std::string& clientName)
    : clientName_(clientName), portName_(portName)
  {
    // libjack complains on standard error when there is no server; ask first.
    if (!serverAnswers())
      throw std::runtime_error("JackMidiSource::JackMidiSource: no JACK server answers for port " +
                               portName);
    jack_status_t status{};
    client_ = jack_client_open(clientName_.c_str(), JackNoStartServer, &status);
    if (client_ == nullptr)
      throw std::runtime_error("JackMidiSource::JackMidiSource: can't open client " + clientName_);
    ring_ = jack_ringbuffer_create(ringBytes);
    port_ = jack_port_register(client_, portName_.c_str(), JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    if (ring_ == nullptr || port_ == nullptr || jack_set_process_callback(client_, &JackMidiSource::process, this) != 0 ||
        jack_activate(client_) != 0)
    {
      close();
      throw std::runtime_error("JackMidiSource::JackMidiSource: can't open port " + fullName());
    }
  }

  JackMidiSource::~JackMidiSource()
  {
    close();
  }

  void JackMidiSource::close()
  {
    // Deactivating waits for a process cycle that runs; only then may the
    // ring it reads go.
    if (client_ != nullptr)
    {
      jack_deactivate(client_);
      jack_client_close(client_);
      client_ = nullptr;
    }
    if (ring_ != nullptr)
      jack_ringbuffer_free(ring_);
    ring_ = nullptr;
  }

  int JackMidiSource::process(jack_nframes_t frames, void* self) noexcept
  {
    auto* source = static_cast<JackMidiSource*>(self);
    void* buffer = jack_port_get_buffer(source->port_, frames);
    jack_midi_clear_buffer(buffer);
    // Whole messages only, in order, at the start of the period; what the
    // port's buffer can't take waits for the next one.
    std::uint32_t size = 0;
    while (jack_ringbuffer_peek(source->ring_, reinterpret_cast<char*>(&size), sizeof size) == sizeof size &&
           jack_ringbuffer_read_space(source->ring_) >= sizeof size + size)
    {
      jack_midi_data_t* event = jack_midi_event_reserve(buffer, 0, size);
      if (event == nullptr)
        break;
      jack_ringbuffer_read_advance(source->ring_, sizeof size);
      jack_ringbuffer_read(source->ring_, reinterpret_cast<char*>(event), size);
    }
    return 0;
  }

  std::string JackMidiSource::fullName() const
  {
    return clientName_ + ":" + portName_;
  }

  std::string JackMidiSource::deviceName() const
  {
    return fullName().substr(0, 31);
  }

  void JackMidiSource::send(const std::vector<std::uint8_t>& bytes)
  {
    const auto size = static_cast<std::uint32_t>(bytes.size());
    if (size == 0 || jack_ringbuffer_write_space(ring_) < sizeof size + size)
      throw std::runtime_error("JackMidiSource::send: can't send " + std::to_string(size) + " bytes on " +
                               fullName() + ": " + (size == 0 ? "an empty message" : "its buffer is full"));
    // The size first, then the bytes: the process thread takes a message
    // only once all of it is there.
    jack_ringbuffer_write(ring_, reinterpret_cast<const char*>(&size), sizeof size);
    jack_ringbuffer_write(ring_, reinterpret_cast<const char*>(bytes.data()), size);
    if (pace_.count() > 0)
      std::this_thread::sleep_for(pace_);
  }

  void JackMidiSource::noteOn(int channel, int note, int velocity)
  {
    send({byte(0x90 | (channel & 0x0F)), byte(note), byte(velocity)});
  }

  void JackMidiSource::noteOff(int channel, int note, int velocity)
  {
    send({byte(0x80 | (channel & 0x0F)), byte(note), byte(velocity)});
  }

  void JackMidiSource::controlChange(int channel, int controller, int value)
  {
    send({byte(0xB0 | (channel & 0x0F)), byte(controller), byte(value)});
  }

  void JackMidiSource::programChange(int channel, int program)
  {
    send({byte(0xC0 | (channel & 0x0F)), byte(program)});
  }

  void JackMidiSource::clock()
  {
    send({0xF8});
  }

  void JackMidiSource::start()
  {
    send({0xFA});
  }

  void JackMidiSource::stop()
  {
    send({0xFC});
  }
}
