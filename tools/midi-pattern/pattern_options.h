#pragma once
// The command line of midi-pattern.
#include <optional>
#include <string>
#include <vector>

namespace midipattern
{
  /// Which MIDI system the port is opened on.
  enum class MidiApi
  {
    automatic,  ///< the ALSA sequencer when it answers, else JACK
    alsa,
    jack
  };

  /// What the command line asks for.
  struct PatternOptions
  {
    std::string portName = "notara-pattern";  ///< name of the virtual output port
    MidiApi api = MidiApi::automatic;         ///< where to open the port
    double waitSeconds = 60;                  ///< how long to wait for a reader; 0: don't wait
    double leadInSeconds = 1;                 ///< pause between the connection and the first event
    int gapMillis = 2;                        ///< least time between two messages
    std::optional<double> tempo;              ///< plays the whole pattern at this tempo
    bool verbose = false;                     ///< print every message as it goes out
    bool printOnly = false;                   ///< print the schedule and open no port
    bool clock = false;                       ///< a song file: send clock, start and stop
    double fromSeconds = 0;                   ///< a song file: start this far into it
    bool help = false;                        ///< only print the usage
    std::string patternFile;                  ///< the pattern or song file to play
  };

  /// Parses the arguments after the program name; `defaultPattern` is the
  /// file played when none is named. Throws std::invalid_argument with a
  /// message naming the bad argument.
  PatternOptions parseCommandLine(const std::vector<std::string>& args, const std::string& defaultPattern);

  /// The text of midi-pattern --help.
  std::string usageText(const std::string& defaultPattern);
}
