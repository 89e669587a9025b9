#include "vaxo/line_writer.h"

#include <atomic>
#include <iostream>
#include <string>

namespace
{
  std::atomic<VLineWriter> lineWriter{nullptr};
}

void VSetLineWriter(VLineWriter writer)
{
  lineWriter.store(writer);
}

namespace vaxo::detail
{
  void writeLine(std::string_view line)
  {
    if (const VLineWriter writer = lineWriter.load(std::memory_order_acquire))
    {
      writer(line);
      return;
    }
    std::string whole(line);
    whole += '\n';
    std::cerr.write(whole.data(), static_cast<std::streamsize>(whole.size())).flush();
  }
}
