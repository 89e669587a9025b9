#include "midifile/file_error.h"

namespace midifile
{
  namespace
  {
    std::string place(int track)
    {
      return track == 0 ? std::string("header") : "track " + std::to_string(track);
    }
  }

  FileError::FileError(const std::string& file, int track, std::uint64_t offset, const std::string& what)
      : std::runtime_error(file + ": " + place(track) + ", byte " + std::to_string(offset) + ": " + what)
  {
  }

  FileError::FileError(const std::string& file, const std::string& what)
      : std::runtime_error(file + ": " + what)
  {
  }
}
