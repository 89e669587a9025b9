#include "app/options.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>
#include <vector>

#include "app/build_info.h"
#include "app/load_config.h"
#include "app/song_renderer.h"
#include "bridge/midi.h"
#include "log/stderr_line.h"

namespace
{
  const char* const defaultConfFile = "notara.conf";
  const char* const scriptFile = "notara.vx";

  void printHelp(const char* program)
  {
    std::cout << usageText(program)
              << "\n"
                 "Runs until it is stopped. Exit status 1: the MIDI device could not be\n"
                 "opened; 2: the configuration could not be loaded.\n"
                 "\n"
                 "Options, each given alone:\n"
                 "  -h, --help          print this text\n"
                 "  --version           print notara's version\n"
                 "  --list              list the MIDI input devices with their numbers\n"
                 "  --check [conffile]  read the configuration (default notara.conf) as a\n"
                 "                      start would, without opening MIDI or connecting\n"
                 "                      robots; print its robots and actions; exit status 0,\n"
                 "                      or 2 with the error a start would report\n"
                 "  [--clock] [--json] --render SONG.mid [conffile]\n"
                 "                      play a Standard MIDI File through the configuration\n"
                 "                      as fast as it goes, without MIDI or robots; print\n"
                 "                      each text a robot would receive: song seconds,\n"
                 "                      bar:beat, robot slot, text. --clock also feeds the\n"
                 "                      MIDI clock of the tempo map, --json writes one JSON\n"
                 "                      object per line. Exit status 2: configuration, 3: song\n"
                 "\n"
                 "Options of a start, before the arguments, each with its value:\n"
                 "  --status [ADDRESS:]PORT\n"
                 "                      serve a status page, /status.json and /metrics over\n"
                 "                      HTTP on ADDRESS (default 127.0.0.1), PORT (0: any free\n"
                 "                      one); exit status 1 when it can't listen\n"
                 "  --device NAME       open the MIDI device named NAME (else the one whose\n"
                 "                      name contains NAME, ignoring case) in place of a\n"
                 "                      device number; wait for it when none is listed;\n"
                 "                      exit status 1 when NAME picks two or more devices;\n"
                 "                      up to 8 times for as many inputs, the first of them\n"
                 "                      the one whose MIDI clock counts\n"
                 "\n"
                 "Documentation: "
              << NOTARA_DOC_LOCATION << std::endl;
  }

  void printVersion()
  {
    std::cout << "notara " << NOTARA_VERSION;
    if (NOTARA_GIT_DESCRIBE[0] != '\0')
      std::cout << " (" << NOTARA_GIT_DESCRIBE << ")";
    std::cout << std::endl;
  }

  void printDevices(Midi& midi)
  {
    const std::vector<std::string> devices = midi.listDevices();
    std::cout << "Midi device list:\n";
    for (std::size_t i = 0; i < devices.size(); ++i)
      std::cout << i << ": " << devices[i] << '\n';
    std::cout << std::flush;
  }

  // "1 action", "2 actions".
  std::string counted(std::size_t n, const char* noun)
  {
    return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
  }

  // What the configuration holds: its robot lines, the action records per
  // channel slot, and whether the script that a start uploads is there.
  void printReport(const Midi& midi, const std::string& confFile)
  {
    for (const RobotLinks::Address& robot : midi.robots.recorded())
      std::cout << "robot " << robot.index << ' ' << robot.host << ' ' << robot.port << '\n';

    std::size_t total = 0;
    std::size_t slots = 0;
    for (int slot = 0; slot < Midi::slotCount; ++slot)
    {
      const std::size_t n = midi.actions[static_cast<std::size_t>(slot)].size();
      if (n == 0)
        continue;
      total += n;
      ++slots;
      std::cout << "slot " << slot << " (" << (slot < 16 ? "notes" : "controllers") << " of channel "
                << slot % 16 << "): " << counted(n, "action") << '\n';
    }
    for (std::size_t i = 0; i < midi.inputLines.size(); ++i)
    {
      const InputLine& input = midi.inputLines[i];
      std::cout << "input " << i + 1 << ": \"" << input.name << '"';
      if (input.channel >= 0)
        std::cout << ", its channel messages as channel " << input.channel;
      std::cout << '\n';
    }
    std::cout << confFile << ": " << counted(midi.robots.recorded().size(), "robot") << ", " << counted(total, "action")
              << " in " << counted(slots, "slot") << '\n';

    std::error_code error;
    const std::filesystem::path script = std::filesystem::current_path(error) / scriptFile;
    if (std::filesystem::is_regular_file(scriptFile, error))
      std::cout << scriptFile << ": found in the working directory\n";
    else
      std::cout << scriptFile << ": missing from the working directory (" << script.string()
                << "); a start would upload only notara's control script\n";
    std::cout << std::flush;
  }

  // notara [--clock] [--json] --render SONG.mid [conffile]: the options
  // first, --render with its value, then the configuration file.
  [[noreturn]] void render(int argc, char** argv)
  {
    bool clock = false;
    bool json = false;
    std::string songFile;
    int i = 1;
    for (; i < argc; ++i)
    {
      const std::string word = argv[i];
      if (word == "--clock")
        clock = true;
      else if (word == "--json")
        json = true;
      else if (word == "--render" && i + 1 < argc)
        songFile = argv[++i];
      else
        break;
    }
    int status = 0;
    if (songFile.empty() || argc - i > 1)
    {
      notara::StderrLine() << "Usage: " << argv[0] << " [--clock] [--json] --render SONG.mid [conffile]";
      status = 2;
    }
    else
    {
      // Lines by the hundred thousand: written in large blocks.
      static char outputBuffer[1 << 16];
      std::setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);
      try
      {
        SongRenderer renderer(std::cout, json);
        status = renderer.run(songFile, i < argc ? argv[i] : defaultConfFile, clock, argv[0]);
      }
      catch (const std::exception& e)
      {
        notara::StderrLine() << "notara: render failed: " << e.what();
        status = 1;
      }
    }
    // As for --check: the operations stay alive to the end.
    std::cout.flush();
    notara::flushStderr(std::chrono::seconds(2));
    std::_Exit(status);
  }

  bool isRenderOption(const std::string& word)
  {
    return word == "--render" || word == "--clock" || word == "--json";
  }

  [[noreturn]] void check(Midi& midi, const std::string& confFile, const char* program)
  {
    midi.robots.recordOnly();
    const int status = loadConfiguration(midi, confFile, program);
    if (status == 0)
      printReport(midi, confFile);
    // As a start, which never ends by returning, the check ends without
    // static destruction: robot links and the MIDI layer may have threads
    // of their own that use static objects.
    std::cout.flush();
    notara::flushStderr(std::chrono::seconds(2));
    std::_Exit(status);
  }
}

std::optional<int> runOptionWithoutMidi(Midi& midi, int argc, char** argv)
{
  if (argc >= 2 && isRenderOption(argv[1]))
    render(argc, argv);
  if (argc < 2 || argc > 3)
    return std::nullopt;
  const std::string word = argv[1];
  if (argc == 3)
  {
    if (word == "--check")
      check(midi, argv[2], argv[0]);
    return std::nullopt;
  }

  if (word == "--help" || word == "-h")
    printHelp(argv[0]);
  else if (word == "--version")
    printVersion();
  else if (word == "--check")
    check(midi, defaultConfFile, argv[0]);
  else
    return std::nullopt;
  return 0;
}

std::optional<int> runOption(Midi& midi, int argc, char** argv)
{
  if (argc != 2 || std::strcmp(argv[1], "--list") != 0)
    return std::nullopt;
  printDevices(midi);
  return 0;
}

namespace
{
  // "[ADDRESS:]PORT": an IPv6 address in brackets; the port 0 to 65535.
  bool parseStatusAddress(const std::string& value, StartOptions& options)
  {
    std::string address = "127.0.0.1";
    std::string port = value;
    const std::size_t colon = value.rfind(':');
    if (colon != std::string::npos)
    {
      address = value.substr(0, colon);
      port = value.substr(colon + 1);
      if (address.size() >= 2 && address.front() == '[' && address.back() == ']')
        address = address.substr(1, address.size() - 2);
      if (address.empty())
        return false;
    }
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
      return false;
    const unsigned long number = std::stoul(port);
    if (number > 65535)
      return false;
    options.statusAddress = address;
    options.statusPort = static_cast<std::uint16_t>(number);
    return true;
  }
}

std::optional<StartOptions> takeStartOptions(int& argc, char**& argv)
{
  constexpr std::size_t maxDevices = Inputs::maxInputs;
  StartOptions options;
  while (argc >= 2 && (std::strcmp(argv[1], "--status") == 0 || std::strcmp(argv[1], "--device") == 0))
  {
    if (std::strcmp(argv[1], "--device") == 0)
    {
      if (argc < 3 || argv[2][0] == '\0')
      {
        notara::StderrLine() << "notara: --device needs a value, the name of a MIDI device";
        return std::nullopt;
      }
      if (options.deviceNames.size() == maxDevices)
      {
        notara::StderrLine() << "notara: --device given more than " << maxDevices << " times: \"" << argv[2]
                             << "\" would be input " << maxDevices + 1;
        return std::nullopt;
      }
      options.deviceNames.push_back(argv[2]);
    }
    else if (argc < 3)
    {
      notara::StderrLine() << "notara: --status needs a value, [ADDRESS:]PORT";
      return std::nullopt;
    }
    else if (!parseStatusAddress(argv[2], options))
    {
      notara::StderrLine() << "notara: --status: not [ADDRESS:]PORT with a port of 0 to 65535: \"" << argv[2] << "\"";
      return std::nullopt;
    }
    // The program's name moves up, so that the rest reads as before.
    argv[2] = argv[0];
    argv += 2;
    argc -= 2;
  }
  return options;
}
