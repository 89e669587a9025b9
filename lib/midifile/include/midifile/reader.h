#pragma once
// Reads a Standard MIDI File (format 0 or 1, ticks per quarter note) into a
// Song. The reader walks the bytes as a state machine (chunk header, delta
// time, event) and checks every length against the bytes that remain, so a
// file that lies about its lengths, ends early or claims gigabytes gives one
// FileError and never a crash; memory stays within a small multiple of the
// file's size, which is bounded by maxFileBytes, and its length by
// maxQuarters.
//
// What it keeps: channel messages (a note on with velocity 0 becomes a note
// off with velocity 0), tempo changes, time signatures, the end of each
// track. Other meta events and system exclusive messages are read and
// skipped. A running status survives meta and system exclusive events, as
// many writers expect.
//
// Threading: no shared state; any thread.
#include <cstdint>
#include <string>
#include <vector>

#include "midifile/song.h"

namespace midifile
{
  /// Standard MIDI File reader.
  class Reader
  {
  public:
    /// Largest file read: 16 MiB, far above any show's song.
    static constexpr std::uint64_t maxFileBytes = 16u << 20;
    /// Longest song read, in quarter notes: days at any usual tempo, and a
    /// bound on the clocks a player sends for it.
    static constexpr std::uint64_t maxQuarters = 1000000;

    /// Reads the file at `path`; throws FileError naming `path`.
    static Song load(const std::string& path);
    /// Reads `bytes`, named `name` in errors; throws FileError.
    static Song parse(const std::vector<std::uint8_t>& bytes, const std::string& name);
  };
}
