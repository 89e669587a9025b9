// midi-pattern: plays a pattern file into a virtual MIDI output port once
// something reads from it; the rehearsal's MIDI source.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "midi-pattern/midi_out_port.h"
#include "midi-pattern/pattern_options.h"
#include "midi-pattern/pattern_parser.h"
#include "midi-pattern/pattern_player.h"
#include "midi-pattern/song_events.h"
#include "midifile/file_error.h"
#include "midifile/reader.h"

namespace
{
  std::atomic<bool> stopRequested{false};
  static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

  extern "C" void onSignal(int)
  {
    stopRequested.store(true);
  }

  // Sleeps `seconds`, waking for a stop; false when stopped.
  bool pause(double seconds)
  {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point until =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    while (!stopRequested.load())
    {
      const Clock::time_point now = Clock::now();
      if (now >= until)
        return true;
      std::this_thread::sleep_until(std::min(until, now + std::chrono::milliseconds(50)));
    }
    return false;
  }

  // A Standard MIDI File starts with its header chunk's name.
  bool isSongFile(const std::string& path)
  {
    std::ifstream file(path, std::ios::binary);
    char magic[4] = {};
    return file.read(magic, sizeof magic) && std::string(magic, sizeof magic) == "MThd";
  }

  std::string seconds(std::int64_t micros)
  {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", double(micros) / 1e6);
    return text;
  }
}

int main(int argc, char** argv)
{
  using namespace midipattern;
  try
  {
    PatternOptions options;
    try
    {
      options = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc), MIDI_PATTERN_DEFAULT_FILE);
    }
    catch (const std::invalid_argument& e)
    {
      std::cerr << "midi-pattern: " << e.what() << std::endl;
      return 2;
    }
    if (options.help)
    {
      std::cout << usageText(MIDI_PATTERN_DEFAULT_FILE);
      return 0;
    }

    // A song is read whole, then played as it is walked; a pattern is
    // parsed into its list of events.
    const bool song = isSongFile(options.patternFile);
    if (song && options.tempo)
    {
      std::cerr << "midi-pattern: --tempo applies to pattern files; a song follows its tempo map" << std::endl;
      return 2;
    }
    if (!song && (options.clock || options.fromSeconds > 0))
    {
      std::cerr << "midi-pattern: --clock and --from apply to song files; " << options.patternFile
                << " is a pattern (its clock comes from its own lines)" << std::endl;
      return 2;
    }
    midifile::Song songData;
    if (song)
    {
      try
      {
        songData = midifile::Reader::load(options.patternFile);
      }
      catch (const midifile::FileError& e)
      {
        std::cerr << "midi-pattern: " << e.what() << std::endl;
        return 2;
      }
    }
    std::ifstream file(song ? std::string() : options.patternFile);
    if (!song && !file)
    {
      std::cerr << "midi-pattern: can't open pattern file " << options.patternFile << ": "
                << std::strerror(errno) << std::endl;
      return 2;
    }
    std::vector<std::string> errors;
    const Pattern pattern = song ? Pattern() : PatternParser::parse(file, errors, options.tempo);
    if (!song && file.bad())
    {
      std::cerr << "midi-pattern: can't read pattern file " << options.patternFile << std::endl;
      return 2;
    }
    for (const std::string& error : errors)
      std::cerr << "midi-pattern: " << options.patternFile << ": " << error << std::endl;
    if (!errors.empty())
      return 2;

    if (options.printOnly && song)
    {
      SongEvents events(songData, options.clock, options.fromSeconds);
      PatternEvent event;
      std::size_t count = 0;
      while (events.next(event))
      {
        std::cout << event.micros << " us  " << describeMessage(event) << '\n';
        ++count;
      }
      std::cout << count << " messages, " << seconds(events.lengthMicros()) << std::endl;
      return 0;
    }
    if (options.printOnly)
    {
      for (const PatternEvent& event : pattern.events())
        std::cout << event.micros << " us  line " << event.line << "  " << describeMessage(event) << '\n';
      std::cout << pattern.messageCount() << " messages, " << seconds(pattern.lengthMicros()) << std::endl;
      return 0;
    }

    std::signal(SIGINT, &onSignal);
    std::signal(SIGTERM, &onSignal);

    MidiOutPort port(options.api, options.portName);
    if (options.waitSeconds > 0)
    {
      std::cout << "midi-pattern: port " << port.fullName() << " open on " << port.systemName()
                << "; waiting up to " << options.waitSeconds << " s for a reader" << std::endl;
      const auto deadline = std::chrono::steady_clock::now() +
                            std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(options.waitSeconds));
      while (!port.hasReader())
      {
        if (std::chrono::steady_clock::now() >= deadline)
        {
          std::cerr << "midi-pattern: nothing connected to " << port.fullName() << " within "
                    << options.waitSeconds << " s" << std::endl;
          return 1;
        }
        if (!pause(0.05))
          return 130;
      }
      std::cout << "midi-pattern: a reader connected" << std::endl;
    }
    else
      std::cout << "midi-pattern: port " << port.fullName() << " open on " << port.systemName() << std::endl;

    SongEvents songEvents(songData, options.clock, options.fromSeconds);
    if (song)
      std::cout << "midi-pattern: playing song " << options.patternFile << " (" << songData.events.size()
                << " messages, " << seconds(songEvents.lengthMicros()) << " from " << options.fromSeconds
                << " s" << (options.clock ? ", with clock" : "") << ")";
    else
      std::cout << "midi-pattern: playing " << options.patternFile << " (" << pattern.messageCount()
                << " messages, " << seconds(pattern.lengthMicros()) << ")";
    if (options.leadInSeconds > 0)
      std::cout << " in " << options.leadInSeconds << " s";
    std::cout << std::endl;
    if (!pause(options.leadInSeconds))
      return 130;

    PatternPlayer player(port, std::cout, std::chrono::milliseconds(options.gapMillis), options.verbose);
    const bool finished = song ? player.play(songEvents, songEvents.lengthMicros(), stopRequested)
                               : player.play(pattern, stopRequested);
    // The last messages may still wait in the system's buffer; closing the
    // port at once would drop them.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::cout << (finished ? (song ? "midi-pattern: song done" : "midi-pattern: pattern done")
                           : "midi-pattern: stopped")
              << std::endl;
    // The end, without destroying the port: RtMidi's JACK output releases
    // its buffer and its JACK client in an order that a process cycle
    // running at that moment does not survive (midi-pattern was seen to
    // crash now and then right after its last line). The MIDI system
    // removes the port of a process that ended, so nothing is lost.
    std::cout.flush();
    std::cerr.flush();
    std::_Exit(finished ? 0 : 130);
  }
  catch (const std::exception& e)
  {
    std::cerr << "midi-pattern: " << e.what() << std::endl;
    return 1;
  }
}
