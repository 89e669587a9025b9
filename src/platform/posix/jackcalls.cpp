// The libjack calls of the JACK MIDI input, straight to libjack.
#include "jackcalls.h"

namespace
{
  class LibJackCalls final : public JackCalls
  {
  public:
    jack_client_t* clientOpen(const char* name) override
    {
      jack_status_t status{};
      return jack_client_open(name, JackNoStartServer, &status);
    }
    void clientClose(jack_client_t* client) override { jack_client_close(client); }
    jack_port_t* registerMidiInput(jack_client_t* client, const char* name) override
    {
      return jack_port_register(client, name, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    }
    bool portExists(jack_client_t* client, const char* name) override
    {
      return jack_port_by_name(client, name) != nullptr;
    }
    const char* portName(jack_port_t* port) override { return jack_port_name(port); }
    int setProcessCallback(jack_client_t* client, JackProcessCallback callback, void* arg) override
    {
      return jack_set_process_callback(client, callback, arg);
    }
    int activate(jack_client_t* client) override { return jack_activate(client); }
    int connect(jack_client_t* client, const char* source, const char* destination) override
    {
      return jack_connect(client, source, destination);
    }
    void* portBuffer(jack_port_t* port, jack_nframes_t frames) override
    {
      return jack_port_get_buffer(port, frames);
    }
    std::uint32_t eventCount(void* buffer) override { return jack_midi_get_event_count(buffer); }
    int eventGet(jack_midi_event_t* event, void* buffer, std::uint32_t index) override
    {
      return jack_midi_event_get(event, buffer, index);
    }
  };
}

JackCalls& JackCalls::libjack()
{
  static LibJackCalls calls;
  return calls;
}
