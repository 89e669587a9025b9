#include "support/private_jack_server.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

#include "support/jack_midi_source.h"

namespace notara::test
{
  namespace
  {
    /// The path of `program` in one of the folders of PATH, or empty.
    std::filesystem::path findProgram(const std::string& program)
    {
      const char* path = std::getenv("PATH");
      std::istringstream folders(path != nullptr ? path : "/usr/bin:/bin");
      for (std::string folder; std::getline(folders, folder, ':');)
      {
        const std::filesystem::path candidate = std::filesystem::path(folder) / program;
        if (::access(candidate.c_str(), X_OK) == 0)
          return candidate;
      }
      return {};
    }
  }

  PrivateJackServer::PrivateJackServer() : name_("notara-own-" + std::to_string(::getpid()))
  {
    const std::filesystem::path jackd = findProgram("jackd");
    if (jackd.empty())
      throw std::runtime_error("PrivateJackServer: no jackd on the PATH");
    // An empty configuration leaves alsa-lib no sequencer to open, so the
    // MIDI input layer lists the JACK ports alone.
    ::setenv("ALSA_CONFIG_PATH", "/dev/null", 1);
    ::setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
    // As the test command's own server: asynchronous, no realtime
    // scheduling (-r), which a test can't count on.
    jackd_ = std::make_unique<ChildProcess>(
        jackd.string(), std::vector<std::string>{"-n", name_, "-r", "-d", "dummy", "-r", "48000", "-p", "256"},
        dir_.path());
    // jackd says nothing when it is ready; a client that can open is the sign.
    const auto deadline = std::chrono::steady_clock::now() + ChildProcess::kWait;
    while (!JackMidiSource::serverAnswers())
    {
      if (jackd_->waitForExit(std::chrono::milliseconds(20)))
        throw std::runtime_error("PrivateJackServer: jackd ended: " + jackd_->errors() + jackd_->output());
      if (std::chrono::steady_clock::now() >= deadline)
        throw std::runtime_error("PrivateJackServer: jackd -n " + name_ + " does not answer: " + jackd_->errors());
    }
  }

  PrivateJackServer::~PrivateJackServer()
  {
    thaw();
  }

  void PrivateJackServer::freeze()
  {
    ::kill(jackd_->pid(), SIGSTOP);
  }

  void PrivateJackServer::thaw()
  {
    ::kill(jackd_->pid(), SIGCONT);
  }
}
