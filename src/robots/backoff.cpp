#include "robots/backoff.h"

#include <algorithm>

std::chrono::milliseconds Backoff::next()
{
  const std::chrono::milliseconds now = delay_;
  delay_ = std::min(delay_ * 2, cap);
  return now;
}

void Backoff::reset()
{
  delay_ = first;
}
