#pragma once
// The notara program run by an end-to-end test: a working directory of its
// own holding notara.conf and notara.vx, the process started there with the
// test's arguments, and what a robot must receive first on connecting.
//
// Threading: use an object from one thread; the process's reader thread is
// ChildProcess's own.
#include <memory>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace notara::test
{
  /// The names of the MIDI input devices now present, by device number.
  std::vector<std::string> midiInputDevices();
  /// The device number of the device listed as `name`, or -1.
  int midiDeviceNumber(const std::string& name);
  /// The lines notara starts with for `devices`: "Midi device list:" and
  /// one "<number>: <name>" line per device.
  std::string deviceListText(const std::vector<std::string>& devices);

  /// What notara writes on standard error after a bad start, naming `program`.
  std::string usageText(const std::string& program);
  /// The notara.conf line that puts the robot at 127.0.0.1:`port` in `slot`.
  std::string robotLine(int slot, unsigned port);
  /// How notara's lines name the robot at 127.0.0.1:`port` in `slot`.
  std::string robotName(int slot, unsigned port);
  /// notara's start-up line for the robot at 127.0.0.1:`port`.
  std::string registeringLine(unsigned port);

  /// One notara process in a fresh working directory.
  class NotaraRun
  {
  public:
    /// The notara.vx written when a test gives none: two statements and a
    /// line end, so the upload's bytes are told apart from the script text.
    static const std::string defaultScript;

    /// Writes notara.conf (`conf`) and notara.vx (`script`) into a new
    /// directory, to run the program at `program` (a test's NOTARA_BINARY).
    NotaraRun(const std::string& program, const std::string& conf, const std::string& script = defaultScript);

    /// Starts the program with `args` in the directory; with `terminal`, on
    /// a terminal of its own that ChildProcess::hangUp hangs up.
    ChildProcess& start(const std::vector<std::string>& args, bool terminal = false);
    /// Waits until start-up is over: the "parsing " line was written and the
    /// main thread sleeps, so the configuration is loaded and the command
    /// line's debug level applied.
    bool waitUntilIdle();
    /// The running (or ended) program; start must have been called.
    ChildProcess& process();
    /// The working directory.
    const TempDir& dir() const { return dir_; }
    /// What a robot receives on connecting: the built-in script text, then notara.vx.
    std::string upload() const;

  private:
    std::string program_;
    TempDir dir_;
    std::string script_;
    std::unique_ptr<ChildProcess> process_;
  };

  /// Runs notara with `args` in `run`'s directory until it exits; its
  /// status. A run that does not exit in time is a test failure and reads
  /// as a signalled exit with value -1.
  ExitStatus runToExit(NotaraRun& run, const std::vector<std::string>& args);
}
