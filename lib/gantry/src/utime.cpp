#include "libgantry/utime.h"

#include <chrono>

namespace libgantry
{
  std::int64_t utime()
  {
    // steady_clock never runs backwards, which is all the tempo code needs.
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
  }
}
