#include "support/notara_run.h"

#include <stdexcept>

#include <gtest/gtest.h>
#include <mmsystem.h>

#include "robots/script.h"

namespace notara::test
{
  const std::string NotaraRun::defaultScript = "var robot.ready = 1;\nfunction robot.wave() { arm.lift(1) };\n";

  std::vector<std::string> midiInputDevices()
  {
    std::vector<std::string> names;
    const UINT count = midiInGetNumDevs();
    for (UINT i = 0; i < count; ++i)
    {
      MIDIINCAPSA caps{};
      if (midiInGetDevCapsA(i, &caps, sizeof caps) != MMSYSERR_NOERROR)
        throw std::runtime_error("midiInputDevices: midiInGetDevCapsA failed for device " + std::to_string(i));
      names.emplace_back(caps.szPname);
    }
    return names;
  }

  int midiDeviceNumber(const std::string& name)
  {
    const auto names = midiInputDevices();
    for (std::size_t i = 0; i < names.size(); ++i)
      if (names[i] == name)
        return static_cast<int>(i);
    return -1;
  }

  std::string deviceListText(const std::vector<std::string>& devices)
  {
    std::string text = "Midi device list:\n";
    for (std::size_t i = 0; i < devices.size(); ++i)
      text += std::to_string(i) + ": " + devices[i] + "\n";
    return text;
  }

  NotaraRun::NotaraRun(const std::string& program, const std::string& conf, const std::string& script)
    : program_(program), script_(script)
  {
    dir_.write("notara.conf", conf);
    dir_.write("notara.vx", script);
  }

  ChildProcess& NotaraRun::start(const std::vector<std::string>& args, bool terminal)
  {
    if (process_)
      throw std::logic_error("NotaraRun::start: the program was already started");
    process_ = std::make_unique<ChildProcess>(program_, args, dir_.path(), terminal);
    return *process_;
  }

  bool NotaraRun::waitUntilIdle()
  {
    // Before the "parsing " line the MIDI system's own start-up may sleep.
    return process().waitForErrors("parsing ") && process().waitForMainThreadAsleep();
  }

  ChildProcess& NotaraRun::process()
  {
    if (!process_)
      throw std::logic_error("NotaraRun::process: the program was not started");
    return *process_;
  }

  std::string NotaraRun::upload() const { return std::string(robotScript) + script_; }

  std::string usageText(const std::string& program)
  {
    return "Usage: " + program +
           " [MidiDeviceNumber] [conffile] [debuglevel]\n"
           "\tParameters defaults to 0, notara.conf and 0 respectively\n";
  }

  std::string robotLine(int slot, unsigned port)
  {
    return "robot " + std::to_string(slot) + " 127.0.0.1 " + std::to_string(port) + "\n";
  }

  std::string robotName(int slot, unsigned port)
  {
    return "Robot " + std::to_string(slot) + " at 127.0.0.1:" + std::to_string(port);
  }

  std::string registeringLine(unsigned port)
  {
    return "Registering robot 127.0.0.1 " + std::to_string(port) + "\n";
  }

  ExitStatus runToExit(NotaraRun& run, const std::vector<std::string>& args)
  {
    run.start(args);
    const auto status = run.process().waitForExit();
    if (!status)
      ADD_FAILURE() << "notara " << testing::PrintToString(args) << " did not exit: " << run.process().errors();
    return status.value_or(ExitStatus{true, -1});
  }
}
