#include "midi-pattern/midi_out_port.h"

#include <set>
#include <stdexcept>
#include <string>

#include <alsa/asoundlib.h>
#include <jack/jack.h>
#include <rtmidi/RtMidi.h>
#include <unistd.h>

#include "platform/posix/quietmidi.h"

namespace midipattern
{
  namespace
  {

    void reportRtMidi(RtMidiError::Type, const std::string& text, void*)
    {
      // Called inside sendMessage on our own thread; nothing to throw into.
      std::fprintf(stderr, "midi-pattern: RtMidi: %s\n", text.c_str());
    }


    jack_client_t* openJackClient(const char* name)
    {
      jack_status_t status{};
      return jack_client_open(name, JackNoStartServer, &status);
    }

    bool jackAnswers()
    {
      jack_client_t* client = openJackClient("midi-pattern-probe");
      if (client == nullptr)
        return false;
      jack_client_close(client);
      return true;
    }
  }

  struct MidiOutPort::Watch
  {
    snd_seq_t* seq = nullptr;
    int alsaClient = -1;
    int alsaPort = -1;
    jack_client_t* jack = nullptr;
    jack_port_t* jackPort = nullptr;

    ~Watch()
    {
      if (seq != nullptr)
        snd_seq_close(seq);
      if (jack != nullptr)
        jack_client_close(jack);
    }
  };

  MidiOutPort::MidiOutPort(MidiApi api, const std::string& portName) : watch_(std::make_unique<Watch>())
  {
    // libasound and libjack complain on standard error about a missing
    // system; the probes find that out quietly instead.
    notara::platform::quietMidiLibraries();
    if (api == MidiApi::automatic)
    {
      if (notara::platform::alsaSequencerAnswers())
        api = MidiApi::alsa;
      else if (jackAnswers())
        api = MidiApi::jack;
      else
        throw std::runtime_error("MidiOutPort::MidiOutPort: no MIDI system for port " + portName +
                                 ": the ALSA sequencer does not answer and no JACK server runs");
    }
    if (api == MidiApi::alsa)
      openAlsa(portName);
    else
      openJack(portName);
    out_->setErrorCallback(&reportRtMidi);
  }

  MidiOutPort::~MidiOutPort() = default;

  const char* MidiOutPort::systemName() const
  {
    return jack_ ? "JACK" : "ALSA";
  }

  void MidiOutPort::openAlsa(const std::string& portName)
  {
    if (!notara::platform::alsaSequencerAnswers())
      throw std::runtime_error("MidiOutPort::openAlsa: the ALSA sequencer does not answer; can't open port " +
                               portName);
    try
    {
      out_ = std::make_unique<RtMidiOut>(RtMidi::LINUX_ALSA, clientName);
      out_->openVirtualPort(portName);
    }
    catch (const RtMidiError& e)
    {
      throw std::runtime_error("MidiOutPort::openAlsa: can't open port " + portName + ": " + e.getMessage());
    }

    // RtMidi does not show its sequencer handle; find our client and port
    // among all, by name and by our process id.
    Watch& w = *watch_;
    if (snd_seq_open(&w.seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0)
      throw std::runtime_error("MidiOutPort::openAlsa: can't open the ALSA sequencer to watch port " + portName);
    snd_seq_client_info_t* client = nullptr;
    snd_seq_port_info_t* port = nullptr;
    snd_seq_client_info_alloca(&client);
    snd_seq_port_info_alloca(&port);
    snd_seq_client_info_set_client(client, -1);
    while (w.alsaPort < 0 && snd_seq_query_next_client(w.seq, client) >= 0)
    {
      if (std::string(snd_seq_client_info_get_name(client)) != clientName ||
          snd_seq_client_info_get_pid(client) != ::getpid())
        continue;
      snd_seq_port_info_set_client(port, snd_seq_client_info_get_client(client));
      snd_seq_port_info_set_port(port, -1);
      while (snd_seq_query_next_port(w.seq, port) >= 0)
        if (portName == snd_seq_port_info_get_name(port))
        {
          w.alsaClient = snd_seq_port_info_get_client(port);
          w.alsaPort = snd_seq_port_info_get_port(port);
          break;
        }
    }
    if (w.alsaPort < 0)
      throw std::runtime_error("MidiOutPort::openAlsa: port " + portName + " opened but not found again");
    fullName_ = std::string(clientName) + ":" + portName + " " + std::to_string(w.alsaClient) + ":" +
                std::to_string(w.alsaPort);
  }

  void MidiOutPort::openJack(const std::string& portName)
  {
    jack_ = true;
    Watch& w = *watch_;
    w.jack = openJackClient("midi-pattern-watch");
    if (w.jack == nullptr)
      throw std::runtime_error("MidiOutPort::openJack: no JACK server runs (JACK_DEFAULT_SERVER names it); "
                               "can't open port " + portName);
    // The ports there before ours: a port of our name that is new is ours,
    // where the server can't say which process a client belongs to.
    std::set<std::string> before;
    if (const char** names = jack_get_ports(w.jack, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput))
    {
      for (const char** name = names; *name != nullptr; ++name)
        before.insert(*name);
      jack_free(names);
    }
    try
    {
      out_ = std::make_unique<RtMidiOut>(RtMidi::UNIX_JACK, clientName);
      out_->openVirtualPort(portName);
    }
    catch (const RtMidiError& e)
    {
      throw std::runtime_error("MidiOutPort::openJack: can't open port " + portName + ": " + e.getMessage());
    }

    // JACK renames a client whose name is taken, and RtMidi does not say
    // what it got: look for our port among all, by its client's process id.
    const char** names = jack_get_ports(w.jack, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput);
    for (const char** name = names; name != nullptr && *name != nullptr && w.jackPort == nullptr; ++name)
    {
      const std::string full = *name;
      const auto colon = full.find(':');
      if (colon == std::string::npos || full.substr(colon + 1) != portName)
        continue;
      const std::string client = full.substr(0, colon);
      const int pid = jack_get_client_pid(client.c_str());
      if (pid == ::getpid() || (pid == 0 && (client == clientName || before.count(full) == 0)))
      {
        w.jackPort = jack_port_by_name(w.jack, *name);
        fullName_ = full;
      }
    }
    if (names != nullptr)
      jack_free(names);
    if (w.jackPort == nullptr)
      throw std::runtime_error("MidiOutPort::openJack: port " + portName + " opened but not found again");
  }

  bool MidiOutPort::hasReader()
  {
    Watch& w = *watch_;
    if (jack_)
    {
      const char** peers = jack_port_get_all_connections(w.jack, w.jackPort);
      const bool connected = peers != nullptr && peers[0] != nullptr;
      if (peers != nullptr)
        jack_free(peers);
      return connected;
    }
    snd_seq_port_info_t* port = nullptr;
    snd_seq_port_info_alloca(&port);
    if (snd_seq_get_any_port_info(w.seq, w.alsaClient, w.alsaPort, port) < 0)
      return false;
    return snd_seq_port_info_get_read_use(port) > 0;
  }

  void MidiOutPort::sendMessage(const std::uint8_t* bytes, std::size_t size)
  {
    out_->sendMessage(bytes, size);
  }
}
