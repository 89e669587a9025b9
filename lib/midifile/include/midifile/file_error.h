#pragma once
// The one error a MIDI file reading reports.
//
// Threading: a plain exception value.
#include <cstdint>
#include <stdexcept>
#include <string>

namespace midifile
{
  /// A file that can't be read as a song: the message names the file, the
  /// place (the header or the track, counted from 1) and the byte offset.
  class FileError : public std::runtime_error
  {
  public:
    /// "FILE: track T, byte B: WHAT"; track 0 stands for the header.
    FileError(const std::string& file, int track, std::uint64_t offset, const std::string& what);
    /// "FILE: WHAT", for a file that can't be opened or read at all.
    FileError(const std::string& file, const std::string& what);
  };
}
