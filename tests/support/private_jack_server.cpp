#include "support/private_jack_server.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <fcntl.h>
#include <sys/file.h>
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

  PrivateJackServer::PrivateJackServer(bool synchronous)
  {
    const std::filesystem::path jackd = findProgram("jackd");
    if (jackd.empty())
      throw std::runtime_error("PrivateJackServer: no jackd on the PATH");
    const std::filesystem::path setpriv = findProgram("setpriv");
    if (setpriv.empty())
      throw std::runtime_error("PrivateJackServer: no setpriv on the PATH");
    // An empty configuration leaves alsa-lib no sequencer to open, so the
    // MIDI input layer lists the JACK ports alone.
    ::setenv("ALSA_CONFIG_PATH", "/dev/null", 1);
    // JACK's registry holds eight servers, and a killed server keeps its
    // entry until a server of the same name starts. So the servers of the
    // tests take their names from a few slots, each held by a lock for the
    // life of the test process, and a test that kills its server leaves an
    // entry the next test of that slot takes back.
    std::string failures;
    for (int slot = 0; slot < kNameSlots && !jackd_; ++slot)
    {
      const std::filesystem::path lockPath =
          std::filesystem::temp_directory_path() / ("notara-own-jack-" + std::to_string(slot) + ".lock");
      const int lock = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
      if (lock < 0)
        continue;
      if (::flock(lock, LOCK_EX | LOCK_NB) != 0)
      {
        ::close(lock);
        continue;
      }
      name_ = "notara-own-" + std::to_string(slot);
      ::setenv("JACK_DEFAULT_SERVER", name_.c_str(), 1);
      // As the test command's own server: asynchronous, no realtime
      // scheduling (-r), which a test can't count on. setpriv ends the
      // server with the test process even when that one crashes, so no
      // server outlives its test under a slot's name.
      std::vector<std::string> args{"--pdeathsig", "KILL", jackd.string(), "-n", name_, "-r"};
      if (synchronous)
        args.push_back("-S");
      for (const char* arg : {"-d", "dummy", "-r", "48000", "-p", "256"})
        args.emplace_back(arg);
      auto process = std::make_unique<ChildProcess>(setpriv.string(), args, dir_.path());
      if (waitUntilAnswering(*process))
      {
        jackd_ = std::move(process);
        slotLock_ = lock;
        break;
      }
      failures += "\n  jackd -n " + name_ + ": " + process->errors() + process->output();
      process.reset();
      ::close(lock);
    }
    if (!jackd_)
      throw std::runtime_error("PrivateJackServer: no JACK server started under any of the test names:" + failures);
  }

  bool PrivateJackServer::waitUntilAnswering(ChildProcess& process)
  {
    // jackd says nothing when it is ready; a client that can open is the
    // sign, and the server must still run then (a server of the same name
    // that runs already would answer for one that failed).
    const auto deadline = std::chrono::steady_clock::now() + ChildProcess::kWait;
    while (!JackMidiSource::serverAnswers())
    {
      if (process.waitForExit(std::chrono::milliseconds(20)))
        return false;
      if (std::chrono::steady_clock::now() >= deadline)
        return false;
    }
    return !process.waitForExit(std::chrono::milliseconds(0));
  }

  PrivateJackServer::~PrivateJackServer()
  {
    thaw();
    jackd_.reset();
    ::close(slotLock_);
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
