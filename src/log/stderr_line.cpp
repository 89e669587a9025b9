#include "log/stderr_line.h"

#include <iostream>
#include <string>

namespace notara
{
  void writeStderrLine(std::string_view text)
  {
    std::string line;
    line.reserve(text.size() + 1);
    line.append(text);
    line += '\n';
    std::cerr.write(line.data(), static_cast<std::streamsize>(line.size())).flush();
  }
}
