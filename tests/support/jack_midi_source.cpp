// A JACK MIDI output port for tests, over RtMidi.
#include "support/jack_midi_source.h"

#include <atomic>
#include <stdexcept>
#include <thread>

#include <jack/jack.h>
#include <rtmidi/RtMidi.h>
#include <unistd.h>

#include "platform/posix/quietmidi.h"

namespace notara::test
{
  namespace
  {
    // Keeps RtMidi's complaint instead of letting it print one.
    void keepError(RtMidiError::Type type, const std::string& text, void* userData)
    {
      if (type != RtMidiError::WARNING && type != RtMidiError::DEBUG_WARNING)
        *static_cast<std::string*>(userData) = text;
    }

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
    // RtMidi complains on standard error when there is no server; ask first.
    if (!serverAnswers())
      throw std::runtime_error("JackMidiSource::JackMidiSource: no JACK server answers for port " +
                               portName);
    try
    {
      out_ = std::make_unique<RtMidiOut>(RtMidi::UNIX_JACK, clientName_);
      out_->setErrorCallback(&keepError, &error_);
      out_->openVirtualPort(portName_);
    }
    catch (const RtMidiError& e)
    {
      error_ = e.getMessage();
    }
    if (!error_.empty())
      throw std::runtime_error("JackMidiSource::JackMidiSource: can't open port " + portName +
                               ": " + error_);
  }

  JackMidiSource::~JackMidiSource() = default;

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
    out_->sendMessage(bytes.data(), bytes.size());
    if (!error_.empty())
      throw std::runtime_error("JackMidiSource::send: can't send on " + fullName() + ": " + error_);
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
