// The watch's decisions over the device list.
#include "midi/devicewatch.h"

#include <algorithm>
#include <utility>

DeviceWatch::DeviceWatch(std::string name, const std::vector<std::string>& listed)
  : name_(std::move(name))
{
  alike_ = countListed(listed);
}

std::size_t DeviceWatch::countListed(const std::vector<std::string>& listed) const
{
  return static_cast<std::size_t>(std::count(listed.begin(), listed.end(), name_));
}

DeviceWatch::Decision DeviceWatch::look(const std::vector<std::string>& listed, bool failed)
{
  const std::size_t alike = countListed(listed);
  if (open_)
  {
    // Fewer devices of the name than before: the one open may be the one
    // that went, and nothing tells which; so it is given up.
    if (failed || alike == 0 || alike < alike_)
    {
      open_ = false;
      alike_ = 0;
      return {Step::lose, 0};
    }
    alike_ = alike;
    return {};
  }
  const auto first = std::find(listed.begin(), listed.end(), name_);
  if (first == listed.end())
    return {};
  alikeAtOpen_ = alike;
  return {Step::open, static_cast<unsigned int>(first - listed.begin())};
}

void DeviceWatch::opened()
{
  open_ = true;
  failureReported_ = false;
  alike_ = alikeAtOpen_;
}

bool DeviceWatch::openFailed()
{
  return !std::exchange(failureReported_, true);
}
