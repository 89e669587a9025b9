#pragma once
// A MIDI system that holds only the test's own ports: a JACK server of the
// test's own (dummy driver), made the default server of the test process
// and of the programs it starts, with the ALSA sequencer hidden from both.
// The device numbers are then the order in which the test makes its ports.
//
// Threading: construct and destroy on one thread, before and after every
// use of JACK in the process; no callbacks.
#include <exception>
#include <iostream>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace notara::test
{
  /// A jackd process for one test process.
  class PrivateJackServer
  {
  public:
    /// Starts jackd under a name no other test uses now and waits until it answers;
    /// sets JACK_DEFAULT_SERVER and hides the ALSA sequencer. A synchronous
    /// server (jackd -S) waits for every client in each cycle, so it loses
    /// no MIDI event on a busy machine. Throws std::runtime_error when jackd
    /// is missing or does not answer.
    explicit PrivateJackServer(bool synchronous = false);
    /// Stops the server. (Not copied: it owns the process.)
    ~PrivateJackServer();

    /// The server's name.
    const std::string& name() const { return name_; }
    /// The jackd process's id, for a test that stops or kills the server.
    pid_t pid() const { return jackd_->pid(); }

    /// Stops the server's process (SIGSTOP): a client that asks it anything
    /// then waits for ever, as on a machine whose JACK server hangs.
    void freeze();
    /// Lets it run again (SIGCONT); the destructor does so too.
    void thaw();

  private:
    /// How many server names the tests share (JACK's registry holds eight).
    static constexpr int kNameSlots = 6;

    /// Waits until the server `process` answers; false when it ended or never did.
    static bool waitUntilAnswering(ChildProcess& process);

    std::string name_;
    TempDir dir_;
    std::unique_ptr<ChildProcess> jackd_;
    int slotLock_ = -1;
  };

  /// Runs every test of a test program on a PrivateJackServer of its own:
  /// `testing::AddGlobalTestEnvironment(new PrivateJackEnvironment)`. When
  /// the server can't start, JackTest reports that no server answers.
  class PrivateJackEnvironment : public testing::Environment
  {
  public:
    /// A server to start, synchronous or not (see PrivateJackServer).
    explicit PrivateJackEnvironment(bool synchronous = false) : synchronous_(synchronous) {}

    /// Starts the server.
    void SetUp() override
    {
      try
      {
        server_ = std::make_unique<PrivateJackServer>(synchronous_);
      }
      catch (const std::exception& e)
      {
        std::cerr << e.what() << std::endl;
      }
    }
    /// Stops it.
    void TearDown() override { server_.reset(); }

  private:
    bool synchronous_;
    std::unique_ptr<PrivateJackServer> server_;
  };
}
