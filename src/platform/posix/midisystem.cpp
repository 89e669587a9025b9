// The numbered list of MIDI input ports over RtMidi.
#include "midisystem.h"

#include <cstdarg>

#include <alsa/asoundlib.h>
#include <jack/jack.h>

namespace
{
  // The bridge's standard error carries only its own lines; the libraries'
  // complaints about a missing sequencer or server are not among them.
  void ignoreAlsa(const char*, int, const char*, int, const char*, ...) {}
  void ignoreJack(const char*) {}

  // RtMidi reports a missing system on standard error from inside its
  // constructors, before an error callback can be set, so each system is
  // asked first, silently, whether it answers.
  bool alsaAnswers()
  {
    snd_seq_t* seq = nullptr;
    if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0)
      return false;
    snd_seq_close(seq);
    return true;
  }

  bool jackAnswers()
  {
    jack_status_t status{};
    jack_client_t* client = jack_client_open("notara-probe", JackNoStartServer, &status);
    if (client == nullptr)
      return false;
    jack_client_close(client);
    return true;
  }
}

MidiSystem& MidiSystem::instance()
{
  static MidiSystem system;
  return system;
}

MidiSystem::MidiSystem()
{
  snd_lib_error_set_handler(&ignoreAlsa);
  jack_set_error_function(&ignoreJack);
  jack_set_info_function(&ignoreJack);
}

void MidiSystem::release()
{
  std::lock_guard<std::mutex> lock(mutex_);
  // Destroying an RtMidi input closes its ALSA or JACK client.
  alsa_.reset();
  jack_.reset();
}

void MidiSystem::close()
{
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  alsa_.reset();
  jack_.reset();
}

void MidiSystem::ignoreError(RtMidiError::Type, const std::string&, void*) {}

RtMidiIn* MidiSystem::enumerator(RtMidi::Api api)
{
  std::unique_ptr<RtMidiIn>& slot = api == RtMidi::LINUX_ALSA ? alsa_ : jack_;
  if (closed_)
    return nullptr;
  if (slot)
    return slot.get();
  if (!(api == RtMidi::LINUX_ALSA ? alsaAnswers() : jackAnswers()))
    return nullptr;
  try
  {
    slot = std::make_unique<RtMidiIn>(api, "notara");
    slot->setErrorCallback(&MidiSystem::ignoreError);
  }
  catch (const RtMidiError&)
  {
    slot.reset();
  }
  return slot.get();
}

unsigned int MidiSystem::portCount(RtMidi::Api api)
{
  RtMidiIn* in = enumerator(api);
  if (in == nullptr)
    return 0;
  try
  {
    return in->getPortCount();
  }
  catch (const RtMidiError&)
  {
    return 0;
  }
}

unsigned int MidiSystem::count()
{
  std::lock_guard<std::mutex> lock(mutex_);
  return portCount(RtMidi::LINUX_ALSA) + portCount(RtMidi::UNIX_JACK);
}

bool MidiSystem::find(unsigned int device, MidiPortRef& port)
{
  std::lock_guard<std::mutex> lock(mutex_);
  for (RtMidi::Api api : {RtMidi::LINUX_ALSA, RtMidi::UNIX_JACK})
  {
    const unsigned int ports = portCount(api);
    if (device >= ports)
    {
      device -= ports;
      continue;
    }
    try
    {
      port.api = api;
      port.name = enumerator(api)->getPortName(device);
    }
    catch (const RtMidiError&)
    {
      return false;
    }
    // RtMidi answers a port that vanished meanwhile with an empty name.
    return !port.name.empty();
  }
  return false;
}
