// One JACK MIDI input client, straight on libjack.
#include "jackmidiinput.h"

#include <stdexcept>

namespace
{
  constexpr unsigned char sysexStart = 0xF0;
  constexpr unsigned char sysexEnd = 0xF7;
  constexpr unsigned char firstRealtime = 0xF8;
  constexpr unsigned char firstStatus = 0x80;
}

JackMidiInput::JackMidiInput(JackCalls& jack, const std::string& source, Sink& sink)
  : jack_(jack), sink_(sink)
{
  client_ = jack_.clientOpen(clientName);
  if (client_ == nullptr)
    throw std::runtime_error("JackMidiInput::JackMidiInput: no JACK server answers for port " + source);
  try
  {
    // The listing client and this one each ask JACK for the ports, so the
    // port is looked for again rather than trusted.
    if (!jack_.portExists(client_, source.c_str()))
      throw std::runtime_error("JackMidiInput::JackMidiInput: port vanished: " + source);
    port_ = jack_.registerMidiInput(client_, portName);
    if (port_ == nullptr)
      throw std::runtime_error("JackMidiInput::JackMidiInput: can't register port " +
                               std::string(portName) + " for " + source);
    if (jack_.setProcessCallback(client_, &JackMidiInput::process, this) != 0 ||
        jack_.setXrunCallback(client_, &JackMidiInput::onXrun, this) != 0 || jack_.activate(client_) != 0)
      throw std::runtime_error("JackMidiInput::JackMidiInput: can't activate the client for " + source);
    // Where the system refuses, the thread stays as the server made it;
    // a period it reaches too late is then counted as missed.
    jack_.makeRealtime(client_);
    if (jack_.connect(client_, source.c_str(), jack_.portName(port_)) != 0)
      throw std::runtime_error("JackMidiInput::JackMidiInput: can't connect " + source + " to " +
                               jack_.portName(port_));
  }
  catch (...)
  {
    jack_.clientClose(client_);
    throw;
  }
}

JackMidiInput::~JackMidiInput()
{
  jack_.clientClose(client_);
}

int JackMidiInput::process(jack_nframes_t frames, void* self) noexcept
{
  static_cast<JackMidiInput*>(self)->processPeriod(frames);
  return 0;
}

int JackMidiInput::onXrun(void* self) noexcept
{
  static_cast<JackMidiInput*>(self)->sink_.xrun();
  return 0;
}

void JackMidiInput::checkContinuity(jack_nframes_t frames) noexcept
{
  const jack_nframes_t frame = jack_.lastFrameTime(client_);
  if (seenPeriod_ && lastFrames_ > 0)
  {
    // Frame times wrap around: the difference of two is what counts.
    const jack_nframes_t elapsed = frame - lastFrame_;
    if (elapsed > lastFrames_)
    {
      const jack_nframes_t missed = (elapsed - lastFrames_ + lastFrames_ / 2) / lastFrames_;
      if (missed > 0)
        sink_.missedPeriods(static_cast<std::uint32_t>(missed));
    }
  }
  seenPeriod_ = true;
  lastFrame_ = frame;
  lastFrames_ = frames;
}

void JackMidiInput::processPeriod(jack_nframes_t frames) noexcept
{
  checkContinuity(frames);
  void* buffer = jack_.portBuffer(port_, frames);
  if (buffer == nullptr)
    return;
  const std::uint32_t count = jack_.eventCount(buffer);
  if (count == 0)
    return;
  sink_.beginPeriod();
  for (std::uint32_t i = 0; i < count; ++i)
  {
    // A fresh event each time: a failed read leaves it as it was, and it
    // must not then hold the bytes of the one before.
    jack_midi_event_t event{};
    if (jack_.eventGet(&event, buffer, i) != 0)
    {
      sink_.unreadable();
      continue;
    }
    if (event.size == 0 || event.buffer == nullptr)
    {
      sink_.receive(nullptr, 0);
      continue;
    }
    const unsigned char first = event.buffer[0];
    const unsigned char last = event.buffer[event.size - 1];
    // Real-time messages may come between the pieces of a system
    // exclusive message; anything else but a data byte or its end ends it.
    if (inSysex_ && first < firstRealtime)
    {
      if (first < firstStatus || first == sysexEnd)
      {
        inSysex_ = last != sysexEnd;
        continue;
      }
      inSysex_ = false;
    }
    if (first == sysexStart)
    {
      inSysex_ = last != sysexEnd;
      continue;
    }
    sink_.receive(event.buffer, event.size);
  }
  sink_.endPeriod();
}
