// The entry point: lists the MIDI input devices, opens one, loads the
// configuration, then idles while the MIDI thread and the robots' reader
// threads do the work.
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <windows.h>

#include "app/config_reloader.h"
#include "app/load_config.h"
#include "app/options.h"
#include "app/status_view.h"
#include "bridge/midi.h"
#include "libgantry/utime.h"
#include "midi/devicename.h"
#include "platform/processend.h"
#include "status/status_server.h"
#include "log/stderr_line.h"
#include "vaxo/line_writer.h"

namespace
{
  // The single bridge object, built during static initialisation.
  Midi midi;

  // The status server and what it shows, with --status. They serve until
  // the process ends, which never runs their destructors.
  StatusView* view = nullptr;
  status::StatusServer* server = nullptr;
  // Reloads the configuration on request, from the end of start-up on.
  ConfigReloader* reloader = nullptr;

  // The platform's reload request (a SIGHUP from another process).
  void requestReload()
  {
    if (reloader != nullptr)
      reloader->request();
  }

  // Device numbers and debug levels read like strtol with base 0: 0x1 is
  // hexadecimal, 010 octal, text without digits 0.
  int toNumber(const char* text)
  {
    return static_cast<int>(std::strtol(text, nullptr, 0));
  }

  // Ends a failed start-up. The MIDI input and any robot opened before the
  // failure keep running on their own threads and use the bridge object, so
  // the process must not run static destruction under them; the MIDI
  // device is closed all the same (see closeMidi).
  [[noreturn]] void failStartup(int status)
  {
    notara::platform::endProcess(status);
  }

  constexpr const char* defaultConfFile = "notara.conf";

  // True when `confFile` has an `input` line; a file that can't be read has
  // none (loading it says why).
  bool namesInputs(const std::string& confFile)
  {
    std::ifstream in(confFile);
    for (std::string line; std::getline(in, line);)
      if (line.rfind("input", 0) == 0 && (line.size() == 5 || line[5] == ' ' || line[5] == '\t'))
        return true;
    return false;
  }

  // Ends a start whose `where` "`name`" picks devices of two or more
  // names, listing them.
  [[noreturn]] void failAmbiguous(const char* where, const std::string& name, const std::vector<std::string>& devices)
  {
    notara::StderrLine() << "notara: " << where << " \"" << name << "\" names more than one MIDI device:";
    for (std::size_t i : DeviceName::find(name, devices))
      notara::StderrLine() << i << ": " << devices[i];
    failStartup(1);
  }

  // Opens a further input; a name that picks devices of two or more names
  // ends the start, as for the first.
  void openInput(const InputLine& line, const std::vector<std::string>& devices, const char* where)
  {
    const int index = midi.extraInputs().open(line, devices);
    if (index == -2)
      failAmbiguous(where, line.name, devices);
    if (index == -1)
    {
      notara::StderrLine() << "notara: " << where << " \"" << line.name << "\": notara reads " << Inputs::maxInputs
                           << " MIDI inputs at most";
      failStartup(1);
    }
  }

  // Opens the device that `name` picks from `devices`, or waits for one;
  // ends the process with status 1 when it picks two or more.
  bool openByName(const std::string& name, const std::vector<std::string>& devices, const char* where)
  {
    const std::vector<std::size_t> found = DeviceName::find(name, devices);
    if (found.empty())
      return midi.waitFor(name);
    if (DeviceName::ambiguous(found, devices))
      failAmbiguous(where, name, devices);
    return midi.open(static_cast<int>(found.front()), devices, name);
  }

  // Run once when the process ends, however it ends: not every MIDI system
  // cleans up after a process that ends with its device open (a JACK client
  // leaves a lock behind in libjack's per-user database).
  void closeMidi()
  {
    midi.extraInputs().close();
    midi.close();
    // The lines of the end, and any still queued, for a while only: a
    // stream nobody reads must not keep the process from ending.
    notara::flushStderr(std::chrono::milliseconds(500));
  }
}

int main(int argc, char** argv)
{
  const std::int64_t startUs = libgantry::utime();
  // The client library's own lines go through the one writer too.
  VSetLineWriter(&notara::writeStderrLine);
  // --help, --version and --check need no MIDI: they run before the MIDI
  // system is first asked anything (arming the release below asks it).
  if (const std::optional<int> status = runOptionWithoutMidi(midi, argc, argv))
    return *status;

  notara::platform::onProcessEnd(&closeMidi);

  const std::optional<StartOptions> options = takeStartOptions(argc, argv);
  if (!options)
    return 1;

  // --list runs and ends here.
  if (const std::optional<int> status = runOption(midi, argc, argv))
    return *status;

  const std::vector<std::string> devices = midi.listDevices();
  notara::StderrLine() << "Midi device list:";
  for (std::size_t i = 0; i < devices.size(); ++i)
    notara::StderrLine() << i << ": " << devices[i];

  if (options->statusAddress)
  {
    view = new StatusView(midi);
    server = new status::StatusServer(*view, *options->statusAddress, options->statusPort);
    try
    {
      server->start();
    }
    catch (const std::exception& e)
    {
      notara::StderrLine() << "notara: --status: " << e.what();
      failStartup(1);
    }
    notara::StderrLine() << "Status page: " << server->url();
  }

  // With --device the device number is left out of the arguments. A start
  // with neither a --device nor a device number whose configuration names
  // inputs opens those and no device 0.
  int argument = 1;
  bool opened = true;
  const bool inputsFromConfiguration =
    options->deviceNames.empty() && argc <= argument && namesInputs(defaultConfFile);
  if (!options->deviceNames.empty())
  {
    midi.setFirstInput(InputLine{options->deviceNames.front(), -1});
    opened = openByName(options->deviceNames.front(), devices, "--device");
    for (std::size_t i = 1; i < options->deviceNames.size(); ++i)
      openInput(InputLine{options->deviceNames[i], -1}, devices, "--device");
    midi.extraInputs().markCommandLine();
  }
  else if (!inputsFromConfiguration)
  {
    int device = 0;
    if (argc <= argument)
      notara::StderrLine() << "Warning, opening first available MIDI device";
    else
      device = toNumber(argv[argument]);
    ++argument;
    midi.setFirstInput(InputLine{"device " + std::to_string(device), -1});
    opened = midi.open(device, devices);
  }
  if (!opened)
  {
    notara::StderrLine() << "midi open: " << midi.openError();
    failStartup(1);
  }

  const std::string confFile = argc > argument ? argv[argument] : defaultConfFile;
  if (const int status = loadConfiguration(midi, confFile, argv[0]); status != 0)
    failStartup(status);

  // The configuration's inputs; the first of them is the clock's, in the
  // bridge's own place, when the command line named none.
  if (inputsFromConfiguration && !midi.inputLines.empty())
  {
    const InputLine& first = midi.inputLines.front();
    midi.setFirstInput(first);
    midi.extraInputs().setFirstFromConfiguration(true);
    if (!openByName(first.name, devices, "input"))
    {
      notara::StderrLine() << "midi open: " << midi.openError();
      failStartup(1);
    }
  }
  if (!midi.inputLines.empty())
    midi.extraInputs().apply(midi.inputLines, devices);

  // Applied only now, so the configuration's own traces follow level 0.
  if (argc > argument + 1)
    midi.debugLevel = toNumber(argv[argument + 1]);

  // From now on the configuration may be read again: on "reload" typed on
  // standard input, and on a SIGHUP that another process sent.
  reloader = new ConfigReloader(midi, confFile, startUs);
  notara::platform::onReloadRequest(&requestReload);
  reloader->start(true);
  if (view != nullptr)
    view->setConfig(reloader);

  // Start-up is over once its lines are out (for a while only: a stream
  // nobody reads must not hold the start up).
  notara::flushStderr(std::chrono::seconds(2));
  for (;;)
    Sleep(900);
}
