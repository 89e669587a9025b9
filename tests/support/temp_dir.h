#pragma once
// A temporary directory for one test, removed with everything in it.
#include <filesystem>
#include <string>

namespace notara::test
{
  /// Creates a fresh directory under the system's temporary folder.
  class TempDir
  {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    /// The directory.
    const std::filesystem::path& path() const { return path_; }
    /// Writes `content` to the file `name` in the directory; returns its path.
    std::filesystem::path write(const std::string& name, const std::string& content) const;

  private:
    std::filesystem::path path_;
  };

  /// The whole content of a file ("" when it can't be read).
  std::string readFile(const std::filesystem::path& path);
}
