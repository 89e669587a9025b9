#include "midi-pattern/pattern_options.h"

#include <charconv>
#include <cmath>
#include <stdexcept>

#include "common/command_line.h"
#include "midi-pattern/pattern_parser.h"

namespace midipattern
{
  namespace
  {
    constexpr const char* where = "parseCommandLine: ";

    double parseNumber(const std::string& option, const std::string& text, double least, double most)
    {
      double value = 0;
      const auto [end, error] =
        std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
      if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
          !std::isfinite(value) || value < least || value > most)
        throw std::invalid_argument(std::string(where) + "bad value '" + text + "' for " + option +
                                    " (a number from " + std::to_string(static_cast<long>(least)) +
                                    " to " + std::to_string(static_cast<long>(most)) + ")");
      return value;
    }
  }

  PatternOptions parseCommandLine(const std::vector<std::string>& args, const std::string& defaultPattern)
  {
    PatternOptions options;
    options.patternFile = defaultPattern;
    bool fileGiven = false;
    toolcommon::CommandLine line(args, where);
    while (line.next())
    {
      const std::string& arg = line.name();
      if (arg == "--help" || arg == "-h")
      {
        line.noValue();
        options.help = true;
      }
      else if (arg == "--port")
      {
        options.portName = line.value();
        // JACK and ALSA both refuse empty names, and ':' separates JACK's client from its port.
        if (options.portName.empty() || options.portName.find(':') != std::string::npos ||
            options.portName.size() > 64)
          throw std::invalid_argument(std::string(where) + "bad port name '" + options.portName +
                                      "' (1 to 64 characters, no ':')");
      }
      else if (arg == "--api")
      {
        const std::string api = line.value();
        if (api == "auto")
          options.api = MidiApi::automatic;
        else if (api == "alsa")
          options.api = MidiApi::alsa;
        else if (api == "jack")
          options.api = MidiApi::jack;
        else
          throw std::invalid_argument(std::string(where) + "bad value '" + api +
                                      "' for --api (auto, alsa or jack)");
      }
      else if (arg == "--wait")
        options.waitSeconds = parseNumber(arg, line.value(), 0, 86400);
      else if (arg == "--lead-in")
        options.leadInSeconds = parseNumber(arg, line.value(), 0, 600);
      else if (arg == "--gap")
        options.gapMillis = static_cast<int>(parseNumber(arg, line.value(), 0, 1000));
      else if (arg == "--tempo")
        options.tempo = parseNumber(arg, line.value(), 1, 1000);
      else if (arg == "--from")
        options.fromSeconds = parseNumber(arg, line.value(), 0, 86400);
      else if (arg == "--clock")
      {
        line.noValue();
        options.clock = true;
      }
      else if (arg == "--verbose" || arg == "-v")
      {
        line.noValue();
        options.verbose = true;
      }
      else if (arg == "--print")
      {
        line.noValue();
        options.printOnly = true;
      }
      else if (arg.rfind("-", 0) == 0 && arg != "-")
        throw std::invalid_argument(std::string(where) + "unknown option '" + line.whole() + "' (see --help)");
      else
      {
        if (fileGiven)
          throw std::invalid_argument(std::string(where) + "more than one pattern file: '" +
                                      options.patternFile + "' and '" + arg + "'");
        options.patternFile = arg;
        fileGiven = true;
      }
    }
    return options;
  }

  std::string usageText(const std::string& defaultPattern)
  {
    return R"(Usage: midi-pattern [OPTIONS] [PATTERNFILE | SONG.mid]

Opens a virtual MIDI output port, waits until something reads from it (a
program such as notara opening it as its input device), then plays a
pattern file: notes, controller sweeps and MIDI clock with start and stop;
or a Standard MIDI File (format 0 or 1, told by its content) in real time,
following its tempo map. Without a file it plays
  )" + defaultPattern +
           R"(

Options:
  --port NAME      name of the output port (default notara-pattern); on JACK
                   it is midi-pattern:NAME
  --api API        auto (default: the ALSA sequencer when it answers, else
                   JACK), alsa or jack
  --wait SECONDS   how long to wait for a reader (default 60; 0 plays at once)
  --lead-in SECONDS  pause between the connection and the first event
                   (default 1), so the reader can finish starting up
  --gap MS         least time between two messages (default 2), so that a
                   busy JACK server keeps up
  --tempo BPM      play the whole pattern at this tempo, whatever its tempo
                   lines say
  --clock          a song file: send MIDI start, 24 clocks per quarter note
                   following the tempo map, and stop at the song's end
  --from SECONDS   a song file: start this many seconds into the song
  -v, --verbose    print every message as it goes out
  --print          print the schedule of the pattern and exit; opens no port
  -h, --help       print this text

Exit status: 0 when the pattern was played, 1 when the port can't be opened
or nothing connected in time, 2 for a bad command line or pattern file,
130 when stopped by SIGINT or SIGTERM (held notes are released and a
running clock is stopped first).

)" + patternFormatText();
  }
}
