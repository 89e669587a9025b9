#pragma once
// A MIDI system that holds only the test's own ports: a JACK server of the
// test's own (dummy driver), made the default server of the test process
// and of the programs it starts, with the ALSA sequencer hidden from both.
// The device numbers are then the order in which the test makes its ports.
//
// Threading: construct and destroy on one thread, before and after every
// use of JACK in the process; no callbacks.
#include <memory>
#include <string>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace notara::test
{
  /// A jackd process for one test process.
  class PrivateJackServer
  {
  public:
    /// Starts jackd under a name of its own and waits until it answers;
    /// sets JACK_DEFAULT_SERVER and hides the ALSA sequencer. Throws
    /// std::runtime_error when jackd is missing or does not answer.
    PrivateJackServer();
    /// Stops the server. (Not copied: it owns the process.)
    ~PrivateJackServer();

    /// The server's name.
    const std::string& name() const { return name_; }

  private:
    std::string name_;
    TempDir dir_;
    std::unique_ptr<ChildProcess> jackd_;
  };
}
