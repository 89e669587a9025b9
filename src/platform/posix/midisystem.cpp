// The numbered list of MIDI input ports: ALSA through RtMidi, JACK through
// a libjack client of the list's own, whose end libjack reports.
#include "midisystem.h"

#include "platform/posix/quietmidi.h"

#include <cstdarg>
#include <cstdlib>

#include <alsa/asoundlib.h>
#include <jack/jack.h>
#include <jack/midiport.h>

namespace
{
  constexpr const char* listingClientName = "notara-list";
  constexpr std::chrono::seconds alsaRetryPause{2};

}

MidiSystem& MidiSystem::instance()
{
  static MidiSystem system;
  return system;
}

MidiSystem::MidiSystem()
{
  // The bridge's standard error carries only its own lines; the libraries'
  // complaints about a missing sequencer or server are not among them.
  notara::platform::quietMidiLibraries();
}

void MidiSystem::close()
{
  std::lock_guard<std::mutex> lock(mutex_);
  closed_ = true;
  // Destroying the RtMidi input closes its ALSA client.
  alsa_.reset();
  closeJack();
  ports_.clear();
}

void MidiSystem::ignoreError(RtMidiError::Type, const std::string&, void*) {}

void MidiSystem::deviceOpened(RtMidi::Api api, bool opened)
{
  if (api != RtMidi::UNIX_JACK)
    return;
  std::lock_guard<std::mutex> lock(mutex_);
  openJackDevices_ += opened ? 1 : -1;
}

unsigned int MidiSystem::count()
{
  std::lock_guard<std::mutex> lock(mutex_);
  look();
  return static_cast<unsigned int>(ports_.size());
}

bool MidiSystem::find(unsigned int device, MidiPortRef& port)
{
  std::lock_guard<std::mutex> lock(mutex_);
  if (!looked_)
    look();
  if (device >= ports_.size())
    return false;
  port = ports_[device];
  return true;
}

void MidiSystem::look()
{
  ports_.clear();
  looked_ = true;
  if (closed_)
    return;
  lookAlsa();
  lookJack();
}

void MidiSystem::lookAlsa()
{
  const auto now = std::chrono::steady_clock::now();
  if (!alsa_)
  {
    if (now < alsaRetry_)
      return;
    alsaRetry_ = now + alsaRetryPause;
    if (!notara::platform::alsaSequencerAnswers())
      return;
    try
    {
      alsa_ = std::make_unique<RtMidiIn>(RtMidi::LINUX_ALSA, listingClientName);
      alsa_->setErrorCallback(&MidiSystem::ignoreError);
    }
    catch (const RtMidiError&)
    {
      alsa_.reset();
      return;
    }
  }
  try
  {
    const unsigned int ports = alsa_->getPortCount();
    for (unsigned int i = 0; i < ports; ++i)
    {
      MidiPortRef port{RtMidi::LINUX_ALSA, alsa_->getPortName(i)};
      // RtMidi answers a port that vanished meanwhile with an empty name.
      if (!port.name.empty())
        ports_.push_back(std::move(port));
    }
    if (ports == 0 && now >= alsaRetry_)
    {
      // A sequencer that went away answers no more on this client; one that
      // came back is only seen through a new one.
      alsa_.reset();
      alsaRetry_ = now + alsaRetryPause;
    }
  }
  catch (const RtMidiError&)
  {
    alsa_.reset();
  }
}

void MidiSystem::closeJack()
{
  if (jack_ != nullptr)
    jack_client_close(jack_);
  jack_ = nullptr;
  jackGone_.store(false);
}

void MidiSystem::lookJack()
{
  if (jack_ != nullptr && jackGone_.load())
  {
    // The server is gone; its ports with it. No new client in the same look:
    // the device of the old server is still open.
    closeJack();
    return;
  }
  if (jack_ == nullptr)
  {
    if (openJackDevices_ > 0)
      return;
    jack_status_t status{};
    jack_ = jack_client_open(listingClientName, JackNoStartServer, &status);
    if (jack_ == nullptr)
      return;
    // libjack's thread: only the flag; the client is closed at the next look.
    jack_on_info_shutdown(
      jack_,
      [](jack_status_t, const char*, void* gone) { static_cast<std::atomic<bool>*>(gone)->store(true); },
      &jackGone_);
  }
  // Every MIDI output port of the server, in JACK's order; the device's
  // input client finds its port again by this full name.
  const char** names = jack_get_ports(jack_, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput);
  if (names == nullptr)
    return;
  try
  {
    for (const char** name = names; *name != nullptr; ++name)
      ports_.push_back({RtMidi::UNIX_JACK, *name});
  }
  catch (...)
  {
    jack_free(names);
    throw;
  }
  jack_free(names);
}
