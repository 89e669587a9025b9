// midifile_fuzz: any bytes as a MIDI file. Checks: the reader either gives a
// song or throws FileError with one message that names the file, the place
// and the byte offset; a song's events are channel messages with data bytes
// below 128, in tick order, no note on of velocity 0 among them, and no more
// of them than the file has bytes; its tempo and signature maps start at
// tick 0 in order; the playing order, clock included, never goes back in
// time (walked for a bounded number of messages).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "midifile/file_error.h"
#include "midifile/reader.h"
#include "midifile/song_cursor.h"

#include "fuzz/fuzz_support.h"

using notara::fuzz::fail;

namespace
{
  void checkSong(const midifile::Song& song, std::size_t fileSize)
  {
    if (song.events.size() > fileSize / 2)
      fail("more events than the file has room for");
    std::uint64_t lastTick = 0;
    for (const midifile::SongEvent& event : song.events)
    {
      if (event.tick < lastTick || event.tick > song.endTick)
        fail("events out of tick order or past the song's end");
      lastTick = event.tick;
      const unsigned status = event.bytes[0];
      if (status < 0x80 || status >= 0xF0)
        fail("an event that is not a channel message");
      const unsigned kind = status >> 4;
      if (event.size != ((kind == 0xC || kind == 0xD) ? 2 : 3))
        fail("an event of the wrong size");
      for (int i = 1; i < event.size; ++i)
        if (event.bytes[i] >= 0x80)
          fail("a data byte above 127");
      if (kind == 0x9 && event.bytes[2] == 0)
        fail("a note on of velocity 0 was kept");
    }
    if (song.tempos.empty() || song.tempos.front().tick != 0 || song.signatures.empty() ||
        song.signatures.front().tick != 0)
      fail("a map without its entry at tick 0");
    for (std::size_t i = 1; i < song.tempos.size(); ++i)
      if (song.tempos[i].tick <= song.tempos[i - 1].tick || song.tempos[i].microsPerQuarter == 0)
        fail("tempo map out of order or with a tempo of 0");
    for (std::size_t i = 1; i < song.signatures.size(); ++i)
      if (song.signatures[i].tick <= song.signatures[i - 1].tick || song.signatures[i].numerator == 0)
        fail("time signatures out of order or empty");

    midifile::SongCursor cursor(song, true);
    midifile::SongMessage message;
    double lastSeconds = 0;
    for (int i = 0; i < 20000 && cursor.next(message); ++i)
    {
      if (message.seconds < lastSeconds || message.size == 0 || message.size > 3)
        fail("the playing order went back in time or gave an empty message");
      lastSeconds = message.seconds;
      // Every place has a bar and a beat.
      if (song.barBeatText(message.tick).empty())
        fail("no bar:beat text");
    }
  }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  const std::vector<std::uint8_t> bytes(data, data + size);
  try
  {
    checkSong(midifile::Reader::parse(bytes, "fuzz.mid"), size);
  }
  catch (const midifile::FileError& e)
  {
    const std::string message = e.what();
    if (message.rfind("fuzz.mid: ", 0) != 0 || message.find(", byte ") == std::string::npos)
      fail("a message that doesn't name the file and the byte offset: " + message);
  }
  return 0;
}
