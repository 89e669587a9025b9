#pragma once
// The process's working directory moved for one test, for code that reads
// files by relative name (notara.conf, notara.vx).
//
// Threading: the working directory is the whole process's; construct and
// destroy on the test's thread while no other thread opens relative paths.
#include <filesystem>

namespace notara::test
{
  /// Makes a directory the working directory until destroyed.
  class WorkingDirectory
  {
  public:
    /// Changes into `path`, keeping the directory it leaves.
    explicit WorkingDirectory(const std::filesystem::path& path)
        : saved_(std::filesystem::current_path())
    {
      std::filesystem::current_path(path);
    }
    /// Changes back.
    ~WorkingDirectory() { std::filesystem::current_path(saved_); }
    WorkingDirectory(const WorkingDirectory&) = delete;
    WorkingDirectory& operator=(const WorkingDirectory&) = delete;

  private:
    std::filesystem::path saved_;
  };
}
