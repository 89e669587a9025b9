// The MIDI file reader and the playing order: against files that a second,
// independent writer (Debian's python3-mido) makes in the test, whose own
// timing of the merged tracks is the expected result; bad files each with
// their one message; the clock and the starting point of the playing order.
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "midifile/file_error.h"
#include "midifile/reader.h"
#include "midifile/song_cursor.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

using midifile::FileError;
using midifile::Reader;
using midifile::Song;
using midifile::SongCursor;
using midifile::SongMessage;
using notara::test::ChildProcess;
using notara::test::TempDir;

namespace
{
  // Writes the songs with mido, and for each the messages as mido plays the
  // merged tracks: "SECONDS BYTE..." per channel message, a note on of
  // velocity 0 written as the note off the reader makes of it.
  const char* const midoScript = R"(
import sys
import mido
from mido import Message, MetaMessage, MidiFile, MidiTrack

out = sys.argv[1]

def dump(name, mid):
    now = 0.0
    with open(out + '/' + name + '.expected', 'w') as f:
        for msg in mid:
            now += msg.time
            if msg.is_meta or msg.type == 'sysex':
                continue
            data = msg.bytes()
            if msg.type == 'note_on' and msg.velocity == 0:
                data = [0x80 | msg.channel, msg.note, 0]
            f.write('%.6f %s\n' % (now, ' '.join(str(b) for b in data)))
    mid.save(out + '/' + name + '.mid')

# Format 0: one track, channels mixed, tempo changes inside it, runs of
# one status (mido writes them with running status), velocity-0 releases.
mid = MidiFile(type=0, ticks_per_beat=96)
t = MidiTrack(); mid.tracks.append(t)
t.append(MetaMessage('set_tempo', tempo=600000, time=0))
for i in range(8):
    t.append(Message('note_on', channel=0, note=60 + i, velocity=100, time=0 if i == 0 else 24))
for i in range(8):
    t.append(Message('note_on', channel=0, note=60 + i, velocity=0, time=12))
t.append(MetaMessage('set_tempo', tempo=300000, time=0))
for v in range(0, 128, 16):
    t.append(Message('control_change', channel=3, control=7, value=v, time=10))
t.append(Message('program_change', channel=2, program=5, time=5))
t.append(Message('pitchwheel', channel=2, pitch=-300, time=5))
t.append(Message('note_off', channel=5, note=40, velocity=64, time=100))
dump('format0', mid)

# Format 1: a conductor track with tempos and signatures, two tracks of
# notes at interleaved and equal ticks, a system exclusive message between.
mid = MidiFile(type=1, ticks_per_beat=384)
c = MidiTrack(); mid.tracks.append(c)
c.append(MetaMessage('time_signature', numerator=3, denominator=4, time=0))
c.append(MetaMessage('set_tempo', tempo=500000, time=0))
c.append(MetaMessage('set_tempo', tempo=400000, time=768))
c.append(MetaMessage('set_tempo', tempo=1000000, time=768))
c.append(MetaMessage('time_signature', numerator=6, denominator=8, time=768))
a = MidiTrack(); mid.tracks.append(a)
for i in range(20):
    a.append(Message('note_on', channel=0, note=50 + i, velocity=90, time=0 if i == 0 else 150))
    a.append(Message('note_off', channel=0, note=50 + i, velocity=0, time=75))
b = MidiTrack(); mid.tracks.append(b)
b.append(Message('control_change', channel=1, control=64, value=127, time=0))
b.append(Message('sysex', data=[1, 2, 3, 4], time=100))
for i in range(12):
    b.append(Message('note_on', channel=9, note=36, velocity=110, time=125 if i else 125))
    b.append(Message('note_on', channel=9, note=36, velocity=0, time=100))
b.append(Message('aftertouch', channel=1, value=33, time=3))
dump('format1', mid)
)";

  std::vector<std::uint8_t> bytesOf(const std::string& text)
  {
    return {text.begin(), text.end()};
  }

  std::string be32(std::uint32_t v)
  {
    return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
  }

  std::string header(int format, int tracks, int division)
  {
    return "MThd" + be32(6) + std::string{char(format >> 8), char(format), char(tracks >> 8), char(tracks),
                                          char(division >> 8), char(division)};
  }

  std::string trackChunk(const std::string& body)
  {
    return "MTrk" + be32(std::uint32_t(body.size())) + body;
  }

  // The reader's message for `file`, or "" when it reads.
  std::string errorOf(const std::string& file)
  {
    try
    {
      Reader::parse(bytesOf(file), "song.mid");
    }
    catch (const FileError& e)
    {
      return e.what();
    }
    return "";
  }

  std::vector<SongMessage> messagesOf(const Song& song, bool clock, double from = 0)
  {
    std::vector<SongMessage> messages;
    SongCursor cursor(song, clock, from);
    SongMessage message;
    while (cursor.next(message))
      messages.push_back(message);
    return messages;
  }

  class MidoFiles : public ::testing::Test
  {
  protected:
    static void SetUpTestSuite()
    {
      dir = new TempDir;
      const auto script = dir->write("write.py", midoScript);
      ChildProcess python("/usr/bin/python3", {script.string(), dir->path().string()}, dir->path());
      const auto status = python.waitForExit();
      ASSERT_TRUE(status && !status->signalled && status->value == 0)
        << "python3-mido could not write the songs: " << python.errors();
    }
    static void TearDownTestSuite()
    {
      delete dir;
      dir = nullptr;
    }

    // Reads NAME.mid and checks every message against NAME.expected.
    static Song readAndCompare(const std::string& name)
    {
      const Song song = Reader::load((dir->path() / (name + ".mid")).string());
      std::ifstream expected(dir->path() / (name + ".expected"));
      const std::vector<SongMessage> messages = messagesOf(song, false);
      std::string line;
      std::size_t i = 0;
      for (; std::getline(expected, line); ++i)
      {
        std::istringstream words(line);
        double seconds = 0;
        words >> seconds;
        std::vector<unsigned> bytes;
        for (unsigned b = 0; words >> b;)
          bytes.push_back(b);
        if (i >= messages.size())
        {
          ADD_FAILURE() << name << ": message " << i << " missing: " << line;
          break;
        }
        const SongMessage& m = messages[i];
        EXPECT_NEAR(m.seconds, seconds, 2e-6) << name << " message " << i << ": " << line;
        EXPECT_EQ(std::vector<unsigned>(m.bytes.begin(), m.bytes.begin() + m.size), bytes)
          << name << " message " << i << ": " << line;
      }
      EXPECT_EQ(messages.size(), i) << name << ": the reader found more messages than the writer wrote";
      EXPECT_GT(i, 20u);
      return song;
    }

    static TempDir* dir;
  };
  TempDir* MidoFiles::dir = nullptr;

  TEST_F(MidoFiles, FormatZeroWithRunningStatusAndTempoChanges)
  {
    const Song song = readAndCompare("format0");
    EXPECT_EQ(song.format, 0);
    EXPECT_EQ(song.division, 96u);
    ASSERT_EQ(song.tempos.size(), 2u);
    EXPECT_EQ(song.tempos[1].microsPerQuarter, 300000u);
  }

  TEST_F(MidoFiles, FormatOneMergesTracksAndFollowsTheConductor)
  {
    const Song song = readAndCompare("format1");
    EXPECT_EQ(song.format, 1);
    ASSERT_EQ(song.tempos.size(), 3u);
    ASSERT_EQ(song.signatures.size(), 2u);
    // Two bars of 3/4 (384 ticks a beat), then 6/8 (192 ticks a beat).
    EXPECT_EQ(song.barBeatText(0), "1:1.00");
    EXPECT_EQ(song.barBeatText(576), "1:2.50");
    EXPECT_EQ(song.barBeatText(1152), "2:1.00");
    EXPECT_EQ(song.barBeatText(2304), "3:1.00");
    EXPECT_EQ(song.barBeatText(2304 + 192), "3:2.00");
    EXPECT_EQ(song.barBeatText(2304 + 6 * 192 + 96), "4:1.50");
    // 768 ticks at 0.5 s a beat, 768 at 0.4 s, then 1 s a beat.
    EXPECT_DOUBLE_EQ(song.secondsAt(1536 + 384), 1.0 + 0.8 + 1.0);
    EXPECT_NEAR(song.tickAt(1.0 + 0.8 + 1.0), 1536 + 384, 1e-9);
  }

  TEST(MidiFileReader, BadFilesGiveOneMessageNamingTrackAndOffset)
  {
    const std::string noteOn{'\x00', '\x90', '\x3C', '\x64'};
    const std::string end{'\x00', '\xFF', '\x2F', '\x00'};
    // The track body starts at byte 22, after the header and the chunk's own 8 bytes.
    EXPECT_EQ(errorOf(header(0, 1, 96) + "MTrk" + be32(10) + noteOn),
              "song.mid: track 1, byte 14: the chunk claims 10 bytes, 4 remain");
    EXPECT_EQ(errorOf(header(0, 1, 96) + "MTrk" + be32(0xFFFFFFFFu) + noteOn + end),
              "song.mid: track 1, byte 14: the chunk claims 4294967295 bytes, 8 remain");
    EXPECT_EQ(errorOf(header(0, 1, 96) + "MTrk" + be32(3) + noteOn + end),
              "song.mid: track 1, byte 22: the event runs past the end of the track chunk");
    EXPECT_EQ(errorOf(header(0, 1, 96) + trackChunk(std::string{'\x00', '\xFF', '\x01', '\x7F', 'a', 'b'})),
              "song.mid: track 1, byte 22: the event claims 127 bytes, 2 remain in the track");
    EXPECT_EQ(errorOf(header(0, 1, 96) + trackChunk(std::string{'\x00', '\x3C', '\x64'} + end)),
              "song.mid: track 1, byte 23: running status with no status before it (data byte 0x3C)");
    EXPECT_EQ(errorOf(header(0, 1, 96) + trackChunk(std::string{'\x00', '\x90', '\x3C', '\x80'} + end)),
              "song.mid: track 1, byte 25: status byte 0x80 where a data byte of 0x90 belongs");
    EXPECT_EQ(errorOf(header(0, 1, 96) + trackChunk(std::string{'\xFF', '\xFF', '\xFF', '\xFF', '\x00'} + end)),
              "song.mid: track 1, byte 22: a variable-length number longer than four bytes");
    EXPECT_EQ(errorOf(header(1, 3, 96) + trackChunk(noteOn + end) + trackChunk(end)),
              "song.mid: track 3, byte 42: the file ends after 2 of 3 tracks");
    EXPECT_EQ(errorOf(header(1, 2, 96) + trackChunk(end) + "MTrk" + be32(0x7FFFFFFF)),
              "song.mid: track 2, byte 26: the chunk claims 2147483647 bytes, 0 remain");
    EXPECT_EQ(errorOf(header(0, 1, 0xE728) + trackChunk(end)),
              "song.mid: header, byte 12: SMPTE time division (25 frames a second, 40 ticks a frame) is not "
              "supported; save the song with ticks per quarter note");
    EXPECT_EQ(errorOf(header(2, 1, 96) + trackChunk(end)),
              "song.mid: header, byte 8: format 2 is not supported (formats 0 and 1 are; save the song as format 1)");
    EXPECT_EQ(errorOf(header(0, 1, 96).substr(0, 10)),
              "song.mid: header, byte 0: not a Standard MIDI File (no MThd header of 14 bytes)");
    EXPECT_EQ(errorOf(header(0, 1, 96) + trackChunk(std::string{'\x00', '\xFF', '\x51', '\x03', 0, 0, 0} + end)),
              "song.mid: track 1, byte 22: a tempo of 0 microseconds per quarter note");
    // 0x0FFFFFFF ticks at 1 tick a quarter: a player would send billions of clocks.
    EXPECT_EQ(errorOf(header(0, 1, 1) + trackChunk(std::string{'\xFF', '\xFF', '\xFF', '\x7F'} + noteOn.substr(1) + end)),
              "song.mid: track 1, byte 22: the track runs past 1000000 quarter notes (tick 268435455)");
    // A good file of the same shape reads.
    EXPECT_EQ(errorOf(header(0, 1, 96) + trackChunk(noteOn + end)), "");
  }

  TEST(MidiFileReader, LoadRefusesMissingAndOversizedFilesBeforeReadingThem)
  {
    TempDir dir;
    const auto missing = (dir.path() / "missing.mid").string();
    EXPECT_THROW(
      {
        try
        {
          Reader::load(missing);
        }
        catch (const FileError& e)
        {
          EXPECT_EQ(std::string(e.what()).rfind(missing + ": can't open: ", 0), 0u) << e.what();
          throw;
        }
      },
      FileError);

    const auto huge = dir.write("huge.mid", header(0, 1, 96));
    std::filesystem::resize_file(huge, Reader::maxFileBytes + 1);
    try
    {
      Reader::load(huge.string());
      ADD_FAILURE() << "an oversized file was read";
    }
    catch (const FileError& e)
    {
      EXPECT_EQ(std::string(e.what()), huge.string() + ": the file has 16777217 bytes, more than the 16777216 a song may have");
    }
  }

  // One quarter at 120 beats a minute, one at 240, two notes.
  Song clockSong()
  {
    const std::string body{'\x00', '\x90', '\x3C', '\x64',                       // note on at 0
                           '\x60', '\xFF', '\x51', '\x03', '\x03', '\xD0', '\x90', // tempo 250000 at 96
                           '\x00', '\x3C', '\x00',                               // running status: off at 96
                           '\x60', '\xFF', '\x2F', '\x00'};                      // end at 192
    return Reader::parse(bytesOf(header(0, 1, 96) + trackChunk(body)), "clock.mid");
  }

  TEST(SongCursor, ClockFollowsTheTempoMapBetweenStartAndStop)
  {
    const Song song = clockSong();
    const std::vector<SongMessage> messages = messagesOf(song, true);
    ASSERT_EQ(messages.size(), 1u + 48u + 2u + 1u);
    EXPECT_EQ(messages.front().bytes[0], 0xFA);
    EXPECT_EQ(messages.back().bytes[0], 0xFC);
    EXPECT_DOUBLE_EQ(messages.back().seconds, 0.75);
    // The clock due at a note's tick goes first.
    EXPECT_EQ(messages[1].bytes[0], 0xF8);
    EXPECT_EQ(messages[2].bytes[0], 0x90);
    // Clock 24 at 0.5 s, before the note off (running status, velocity 0 -> 0x80).
    EXPECT_EQ(messages[2 + 24].bytes[0], 0xF8);
    EXPECT_DOUBLE_EQ(messages[2 + 24].seconds, 0.5);
    EXPECT_EQ(messages[3 + 24].bytes[0], 0x80);
    // Then clocks every 250000 / 24 microseconds.
    EXPECT_NEAR(messages[4 + 24].seconds - messages[2 + 24].seconds, 0.25 / 24, 1e-12);
    for (std::size_t i = 1; i < messages.size(); ++i)
      EXPECT_LE(messages[i - 1].seconds, messages[i].seconds) << i;
  }

  TEST(SongCursor, StartsLaterWithoutWhatCameBefore)
  {
    const Song song = clockSong();
    const std::vector<SongMessage> plain = messagesOf(song, false, 0.5);
    ASSERT_EQ(plain.size(), 1u);
    EXPECT_EQ(plain[0].bytes[0], 0x80);
    const std::vector<SongMessage> clocked = messagesOf(song, true, 0.5);
    ASSERT_EQ(clocked.size(), 1u + 24u + 1u + 1u);
    EXPECT_EQ(clocked[0].bytes[0], 0xFA);
    EXPECT_DOUBLE_EQ(clocked[0].seconds, 0.5);
    EXPECT_EQ(clocked[1].bytes[0], 0xF8);
    EXPECT_EQ(clocked[2].bytes[0], 0x80);
    EXPECT_TRUE(messagesOf(song, false, 10).empty());
  }
}
