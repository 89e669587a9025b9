#include "support/temp_dir.h"

#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace notara::test
{
  TempDir::TempDir()
  {
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt)
    {
      auto candidate = std::filesystem::temp_directory_path() /
                       ("notara-test-" + std::to_string(rd()));
      if (std::filesystem::create_directory(candidate))
      {
        path_ = candidate;
        return;
      }
    }
    throw std::runtime_error("TempDir::TempDir: no temporary directory could be made");
  }

  TempDir::~TempDir()
  {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

  std::filesystem::path TempDir::write(const std::string& name, const std::string& content) const
  {
    auto file = path_ / name;
    std::ofstream out(file, std::ios::binary);
    out << content;
    if (!out)
      throw std::runtime_error("TempDir::write: can't write " + file.string());
    return file;
  }

  std::string readFile(const std::filesystem::path& path)
  {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
  }
}
