#pragma once
// The description of the most recent error of the operating system, as
// libgantry::perror writes it; one implementation per platform, chosen in
// CMake. Safe on any thread.
#include <string>

namespace libgantry::detail
{
  /// Describes the most recent error; `errnum` is errno as read on entry,
  /// before anything could change it.
  std::string lastErrorText(int errnum);
}
