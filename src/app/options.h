#pragma once
// The options of notara's command line. Each is recognised only as the
// exact word, alone or, for --check, followed by a file name:
//   --help, -h           the usage text and the options
//   --version            notara and its version
//   --list               the MIDI input devices, numbered as a start lists them
//   --check [conffile]   reads the configuration into a bridge that connects
//                        no robot and opens no MIDI device, and reports it
// Every other command line is a start: [start options] [MidiDeviceNumber]
// [conffile] [debuglevel], where an argument that merely begins with '-' is
// a device number like any other. The start options come first, each
// followed by its value:
//   --device NAME   the device by name; the device number is then left out
//
// Threading: the main thread, before any MIDI input or robot exists.
#include <optional>
#include <string>

class Midi;

/// Runs the option that the command line names; its exit status, or
/// nothing when the command line is a start. Reports go to standard
/// output, the configuration's errors to standard error as a start writes
/// them. --check ends the process itself, without static destruction.
std::optional<int> runOption(Midi& midi, int argc, char** argv);

/// The options of a start, each given with its value.
struct StartOptions
{
  /// --device: the name of the MIDI device to open (see DeviceName::find).
  std::optional<std::string> deviceName;
};

/// Takes the start options off the front of the command line, leaving
/// argv[0] and the positional arguments; nothing, after one line on
/// standard error, when an option's value is missing or wrong.
std::optional<StartOptions> takeStartOptions(int& argc, char**& argv);
