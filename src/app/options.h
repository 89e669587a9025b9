#pragma once
// The options of notara's command line. Each is recognised only as the
// exact word, alone or, for --check, followed by a file name:
//   --help, -h           the usage text and the options
//   --version            notara and its version
//   --list               the MIDI input devices, numbered as a start lists them
//   --check [conffile]   reads the configuration into a bridge that connects
//                        no robot and opens no MIDI device, and reports it
//   [--clock] [--json] --render SONG.mid [conffile]
//                        plays a song file through the configuration's
//                        actions into standard output (app/song_renderer.h);
//                        every command line whose first word is --clock,
//                        --json or --render is a render
// Every other command line is a start: [start options] [MidiDeviceNumber]
// [conffile] [debuglevel], where an argument that merely begins with '-' is
// a device number like any other. The start options come first, each
// followed by its value:
//   --status [ADDRESS:]PORT   serve the status page (src/status)
//   --device NAME   the device by name; the device number is then left out;
//                   up to 8 times, one input each, the first the clock's
//
// --help, --version and --check touch no MIDI system (a JACK server that
// hangs can't hold them up); only --list asks the MIDI system, so the
// program arms its end-of-process release between the two calls.
//
// Threading: the main thread, before any MIDI input or robot exists.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class Midi;

/// Runs --help, --version or --check when the command line names one of
/// them: its exit status, or nothing otherwise. Opens no MIDI system.
/// Reports go to standard output, the configuration's errors to standard
/// error as a start writes them. --check ends the process itself, without
/// static destruction.
std::optional<int> runOptionWithoutMidi(Midi& midi, int argc, char** argv);

/// Runs --list when the command line names it: its exit status, or nothing
/// when the command line is a start (or an option that runOptionWithoutMidi
/// runs).
std::optional<int> runOption(Midi& midi, int argc, char** argv);

/// The options of a start, each given with its value.
struct StartOptions
{
  /// --status: the address and port to serve the status page on.
  std::optional<std::string> statusAddress;
  /// --status: the port.
  std::uint16_t statusPort = 0;
  /// --device: the names of the MIDI devices to open, in order (see
  /// DeviceName::find); empty for none.
  std::vector<std::string> deviceNames;
};

/// Takes the start options off the front of the command line, leaving
/// argv[0] and the positional arguments; nothing, after one line on
/// standard error, when an option's value is missing or wrong.
std::optional<StartOptions> takeStartOptions(int& argc, char**& argv);
