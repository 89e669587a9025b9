#include "midifile/reader.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "midifile/file_error.h"

namespace midifile
{
  namespace
  {
    std::string hex(unsigned value)
    {
      char text[8];
      std::snprintf(text, sizeof text, "0x%02X", value & 0xFFu);
      return text;
    }

    // Walks the bytes of one file. Each track chunk is read by the states
    // of readTrack; every read checks the end of the chunk first.
    class Parser
    {
    public:
      Parser(const std::vector<std::uint8_t>& bytes, const std::string& name)
          : bytes_(bytes), name_(name)
      {
      }

      Song run()
      {
        const std::uint16_t trackCount = readHeader();
        std::uint16_t tracksRead = 0;
        while (tracksRead < trackCount)
        {
          track_ = tracksRead + 1;
          const std::uint64_t remaining = bytes_.size() - pos_;
          if (remaining < 8)
            fail(pos_, "the file ends after " + std::to_string(tracksRead) + " of " +
                         std::to_string(trackCount) + " tracks");
          const std::uint64_t chunkStart = pos_;
          const bool isTrack = std::memcmp(&bytes_[pos_], "MTrk", 4) == 0;
          const std::uint32_t length = be32(pos_ + 4);
          pos_ += 8;
          if (length > bytes_.size() - pos_)
            fail(chunkStart, "the chunk claims " + std::to_string(length) + " bytes, " +
                               std::to_string(bytes_.size() - pos_) + " remain");
          const std::uint64_t end = pos_ + length;
          if (isTrack)
          {
            readTrack(end);
            ++tracksRead;
          }
          // Bytes after an end-of-track event, and chunks of another type,
          // are skipped, as the format asks.
          pos_ = end;
        }
        return finish();
      }

    private:
      [[noreturn]] void fail(std::uint64_t offset, const std::string& what) const
      {
        throw FileError(name_, track_, offset, what);
      }

      std::uint32_t be32(std::uint64_t at) const
      {
        return std::uint32_t(bytes_[at]) << 24 | std::uint32_t(bytes_[at + 1]) << 16 |
               std::uint32_t(bytes_[at + 2]) << 8 | std::uint32_t(bytes_[at + 3]);
      }
      std::uint16_t be16(std::uint64_t at) const
      {
        return std::uint16_t(bytes_[at] << 8 | bytes_[at + 1]);
      }

      std::uint16_t readHeader()
      {
        if (bytes_.size() < 14 || std::memcmp(bytes_.data(), "MThd", 4) != 0)
          fail(0, "not a Standard MIDI File (no MThd header of 14 bytes)");
        const std::uint32_t length = be32(4);
        if (length < 6)
          fail(4, "the header claims " + std::to_string(length) + " bytes, 6 at least expected");
        if (length > bytes_.size() - 8)
          fail(4, "the header claims " + std::to_string(length) + " bytes, " +
                    std::to_string(bytes_.size() - 8) + " remain");
        song_.format = be16(8);
        const std::uint16_t trackCount = be16(10);
        const std::uint16_t division = be16(12);
        if (song_.format > 1)
          fail(8, "format " + std::to_string(song_.format) +
                    " is not supported (formats 0 and 1 are; save the song as format 1)");
        if (song_.format == 0 && trackCount != 1)
          fail(10, "format 0 with " + std::to_string(trackCount) + " tracks (one expected)");
        if (division & 0x8000u)
        {
          const int frames = -static_cast<int>(static_cast<std::int8_t>(division >> 8));
          fail(12, "SMPTE time division (" + std::to_string(frames) + " frames a second, " +
                     std::to_string(division & 0xFFu) +
                     " ticks a frame) is not supported; save the song with ticks per quarter note");
        }
        if (division == 0)
          fail(12, "a division of 0 ticks per quarter note");
        song_.division = division;
        pos_ = 8 + std::uint64_t(length);
        return trackCount;
      }

      // The states of a track: a delta time, then an event whose first byte
      // decides its kind, until the end-of-track event or the chunk's end.
      enum class State
      {
        delta,
        status,
        channelMessage,
        meta,
        systemExclusive,
        ended
      };

      std::uint8_t next(std::uint64_t end, std::uint64_t eventStart)
      {
        if (pos_ >= end)
          fail(eventStart, "the event runs past the end of the track chunk");
        return bytes_[pos_++];
      }

      // A variable-length number: at most four bytes of seven bits.
      std::uint32_t readNumber(std::uint64_t end, std::uint64_t eventStart)
      {
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i)
        {
          const std::uint8_t byte = next(end, eventStart);
          value = (value << 7) | (byte & 0x7Fu);
          if ((byte & 0x80u) == 0)
            return value;
        }
        fail(eventStart, "a variable-length number longer than four bytes");
      }

      // A length read in an event, checked against what the chunk holds.
      std::uint32_t readLength(std::uint64_t end, std::uint64_t eventStart)
      {
        const std::uint32_t length = readNumber(end, eventStart);
        if (length > end - pos_)
          fail(eventStart, "the event claims " + std::to_string(length) + " bytes, " +
                             std::to_string(end - pos_) + " remain in the track");
        return length;
      }

      void readTrack(std::uint64_t end)
      {
        std::uint64_t tick = 0;
        std::uint8_t running = 0;
        std::uint8_t status = 0;
        std::uint64_t eventStart = pos_;
        State state = State::delta;
        while (state != State::ended)
        {
          switch (state)
          {
          case State::delta:
            if (pos_ >= end)
            {
              // No end-of-track event: the chunk's end ends the track.
              state = State::ended;
              break;
            }
            eventStart = pos_;
            tick += readNumber(end, eventStart);
            if (tick / song_.division > Reader::maxQuarters)
              fail(eventStart, "the track runs past " + std::to_string(Reader::maxQuarters) +
                                 " quarter notes (tick " + std::to_string(tick) + ")");
            state = State::status;
            break;
          case State::status:
          {
            if (pos_ >= end)
              fail(eventStart, "a delta time with no event after it");
            const std::uint8_t byte = bytes_[pos_];
            if (byte < 0x80)
            {
              if (running == 0)
                fail(pos_, "running status with no status before it (data byte " + hex(byte) + ")");
              status = running;
            }
            else
            {
              status = byte;
              ++pos_;
            }
            if (status < 0xF0)
              state = State::channelMessage;
            else if (status == 0xFF)
              state = State::meta;
            else if (status == 0xF0 || status == 0xF7)
              state = State::systemExclusive;
            else
              fail(eventStart, "status " + hex(status) + " does not belong in a file");
            break;
          }
          case State::channelMessage:
          {
            running = status;
            SongEvent event;
            event.tick = tick;
            event.track = static_cast<std::uint16_t>(track_);
            event.bytes[0] = status;
            const unsigned kind = status >> 4;
            event.size = (kind == 0xC || kind == 0xD) ? 2 : 3;
            for (std::uint8_t i = 1; i < event.size; ++i)
            {
              const std::uint8_t data = next(end, eventStart);
              if (data >= 0x80)
                fail(pos_ - 1, "status byte " + hex(data) + " where a data byte of " + hex(status) +
                                 " belongs");
              event.bytes[i] = data;
            }
            if (kind == 0x9 && event.bytes[2] == 0)
              event.bytes[0] = static_cast<std::uint8_t>(0x80 | (status & 0x0F));
            song_.events.push_back(event);
            state = State::delta;
            break;
          }
          case State::meta:
          {
            const std::uint8_t type = next(end, eventStart);
            const std::uint32_t length = readLength(end, eventStart);
            const std::uint64_t data = pos_;
            pos_ += length;
            state = State::delta;
            if (type == 0x2F)
            {
              endTick_ = std::max(endTick_, tick);
              state = State::ended;
            }
            else if (type == 0x51)
            {
              if (length != 3)
                fail(eventStart, "a tempo event of " + std::to_string(length) + " bytes (3 expected)");
              const std::uint32_t micros = std::uint32_t(bytes_[data]) << 16 |
                                           std::uint32_t(bytes_[data + 1]) << 8 | bytes_[data + 2];
              if (micros == 0)
                fail(eventStart, "a tempo of 0 microseconds per quarter note");
              song_.tempos.push_back({tick, micros});
            }
            else if (type == 0x58)
            {
              if (length != 4)
                fail(eventStart, "a time signature event of " + std::to_string(length) +
                                   " bytes (4 expected)");
              const unsigned numerator = bytes_[data];
              const unsigned power = bytes_[data + 1];
              if (numerator == 0 || power > 6)
                fail(eventStart, "a time signature of " + std::to_string(numerator) + "/2^" +
                                   std::to_string(power) + " (1 to 255 beats of a whole to a 64th note expected)");
              song_.signatures.push_back({tick, numerator, 1u << power});
            }
            break;
          }
          case State::systemExclusive:
            pos_ += readLength(end, eventStart);
            state = State::delta;
            break;
          case State::ended:
            break;
          }
        }
        endTick_ = std::max(endTick_, tick);
      }

      // Merges the tracks' events and orders the maps, each with an entry
      // at tick 0; of several changes at one tick the last read wins.
      Song finish()
      {
        std::stable_sort(song_.events.begin(), song_.events.end(),
                         [](const SongEvent& a, const SongEvent& b) { return a.tick < b.tick; });
        std::stable_sort(song_.tempos.begin(), song_.tempos.end(),
                         [](const TempoChange& a, const TempoChange& b) { return a.tick < b.tick; });
        std::stable_sort(song_.signatures.begin(), song_.signatures.end(),
                         [](const TimeSignature& a, const TimeSignature& b) { return a.tick < b.tick; });
        song_.tempos = lastPerTick(song_.tempos, TempoChange{});
        song_.signatures = lastPerTick(song_.signatures, TimeSignature{});
        song_.endTick = endTick_;
        return std::move(song_);
      }

      template <class Change>
      static std::vector<Change> lastPerTick(const std::vector<Change>& changes, Change first)
      {
        std::vector<Change> kept{first};
        for (const Change& change : changes)
        {
          if (change.tick == kept.back().tick)
            kept.back() = change;
          else
            kept.push_back(change);
        }
        return kept;
      }

      const std::vector<std::uint8_t>& bytes_;
      const std::string& name_;
      std::uint64_t pos_ = 0;
      int track_ = 0;
      std::uint64_t endTick_ = 0;
      Song song_;
    };
  }

  Song Reader::parse(const std::vector<std::uint8_t>& bytes, const std::string& name)
  {
    return Parser(bytes, name).run();
  }

  Song Reader::load(const std::string& path)
  {
    std::ifstream file(path, std::ios::binary);
    if (!file)
      throw FileError(path, std::string("can't open: ") + std::strerror(errno));
    file.seekg(0, std::ios::end);
    const std::streamoff size = file.tellg();
    if (size < 0)
      throw FileError(path, "can't read its size");
    if (static_cast<std::uint64_t>(size) > maxFileBytes)
      throw FileError(path, "the file has " + std::to_string(size) + " bytes, more than the " +
                              std::to_string(maxFileBytes) + " a song may have");
    file.seekg(0, std::ios::beg);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    if (!bytes.empty() && !file.read(reinterpret_cast<char*>(bytes.data()), size))
      throw FileError(path, "can't read the file");
    return parse(bytes, path);
  }
}
