#include "platform/posix/quietmidi.h"

#include <alsa/asoundlib.h>
#include <jack/jack.h>

namespace
{
  void ignoreAlsa(const char*, int, const char*, int, const char*, ...) {}
  void ignoreJack(const char*) {}
}

namespace notara::platform
{
  void quietMidiLibraries()
  {
    snd_lib_error_set_handler(&ignoreAlsa);
    jack_set_error_function(&ignoreJack);
    jack_set_info_function(&ignoreJack);
  }

  bool alsaSequencerAnswers()
  {
    snd_seq_t* seq = nullptr;
    if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0)
      return false;
    snd_seq_close(seq);
    return true;
  }
}
