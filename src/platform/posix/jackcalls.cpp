// The libjack calls of the JACK MIDI input, straight to libjack.
#include "jackcalls.h"

#include <jack/thread.h>

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
    int setXrunCallback(jack_client_t* client, JackXRunCallback callback, void* arg) override
    {
      return jack_set_xrun_callback(client, callback, arg);
    }
    bool makeRealtime(jack_client_t* client) override
    {
      if (jack_is_realtime(client) != 0)
        return true;
      // A server without real-time scheduling leaves its clients' threads
      // to share the cores with everything else, the client's own busy
      // threads among them: on a synchronous server a period that the
      // thread reaches too late is lost to it. The thread only copies
      // events, so it may run before the others where the system lets it.
      return jack_acquire_real_time_scheduling(jack_client_thread_id(client), kRealtimePriority) == 0;
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
    jack_nframes_t lastFrameTime(jack_client_t* client) override { return jack_last_frame_time(client); }

  private:
    // Low among real-time priorities: above every ordinary thread, below
    // what audio servers give their own.
    static constexpr int kRealtimePriority = 10;
  };
}

JackCalls& JackCalls::libjack()
{
  static LibJackCalls calls;
  return calls;
}
