// The entry point: lists the MIDI input devices, opens one, loads the
// configuration, then idles while the MIDI thread and the robots' reader
// threads do the work.
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include <windows.h>

#include "app/load_config.h"
#include "app/options.h"
#include "app/status_view.h"
#include "bridge/midi.h"
#include "platform/processend.h"
#include "status/status_server.h"

namespace
{
  // The single bridge object, built during static initialisation.
  Midi midi;

  // The status server and what it shows, with --status. They serve until
  // the process ends, which never runs their destructors.
  StatusView* view = nullptr;
  status::StatusServer* server = nullptr;

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

  // Run once when the process ends, however it ends: not every MIDI system
  // cleans up after a process that ends with its device open (a JACK client
  // leaves a lock behind in libjack's per-user database).
  void closeMidi()
  {
    midi.close();
  }
}

int main(int argc, char** argv)
{
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
  std::cerr << "Midi device list:" << std::endl;
  for (std::size_t i = 0; i < devices.size(); ++i)
    std::cerr << i << ": " << devices[i] << std::endl;

  int device = 0;
  if (argc < 2)
    std::cerr << "Warning, opening first available MIDI device" << std::endl;
  else
    device = toNumber(argv[1]);

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
      std::cerr << "notara: --status: " << e.what() << std::endl;
      failStartup(1);
    }
    std::cerr << "Status page: " << server->url() << std::endl;
  }

  if (!midi.open(device))
  {
    std::cerr << "midi open: " << midi.openError() << std::endl;
    failStartup(1);
  }

  const std::string confFile = argc > 2 ? argv[2] : "notara.conf";
  if (const int status = loadConfiguration(midi, confFile, argv[0]); status != 0)
    failStartup(status);

  // Applied only now, so the configuration's own traces follow level 0.
  if (argc > 3)
    midi.debugLevel = toNumber(argv[3]);

  for (;;)
    Sleep(900);
}
