// The watch's decisions over the device list.
#include "midi/devicewatch.h"

#include <algorithm>
#include <utility>

#include "midi/devicename.h"

DeviceWatch::DeviceWatch(std::string name, const std::vector<std::string>& listed, std::string wanted)
  : name_(std::move(name)), wanted_(std::move(wanted))
{
  alike_ = countListed(listed);
}

DeviceWatch::DeviceWatch(std::string wanted)
  : name_(wanted), wanted_(std::move(wanted)), open_(false), waiting_(true)
{
}

std::size_t DeviceWatch::countListed(const std::vector<std::string>& listed) const
{
  return static_cast<std::size_t>(std::count_if(
    listed.begin(), listed.end(), [this](const std::string& n) { return DeviceName::same(n, name_); }));
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
      // What was there when it went is not it coming back.
      listedAtLoss_ = listed;
      return {Step::lose, 0};
    }
    alike_ = alike;
    return {};
  }
  std::size_t device = 0;
  // The device's own name first; the user's name when none carries it.
  const bool byWanted = waiting_ || (alike == 0 && !wanted_.empty());
  if (byWanted)
  {
    std::vector<std::size_t> found = DeviceName::find(wanted_, listed);
    found.erase(std::remove_if(found.begin(), found.end(),
                               [&](std::size_t i) {
                                 return std::find(listedAtLoss_.begin(), listedAtLoss_.end(), listed[i]) !=
                                        listedAtLoss_.end();
                               }),
                found.end());
    if (found.empty())
      return {};
    if (DeviceName::ambiguous(found, listed))
    {
      if (std::exchange(ambiguityReported_, true))
        return {};
      return {Step::ambiguous, 0};
    }
    ambiguityReported_ = false;
    device = found.front();
    alikeAtOpen_ = static_cast<std::size_t>(std::count_if(
      listed.begin(), listed.end(),
      [&](const std::string& n) { return DeviceName::same(n, listed[device]); }));
  }
  else
  {
    const auto first = std::find_if(listed.begin(), listed.end(),
                                    [this](const std::string& n) { return DeviceName::same(n, name_); });
    if (first == listed.end())
      return {};
    device = static_cast<std::size_t>(first - listed.begin());
    alikeAtOpen_ = alike;
  }
  opening_ = listed[device];
  return {Step::open, static_cast<unsigned int>(device)};
}

void DeviceWatch::opened()
{
  // The name as now listed, with the numbers ALSA gave it this time.
  name_ = opening_;
  waiting_ = false;
  open_ = true;
  failureReported_ = false;
  alike_ = alikeAtOpen_;
}

bool DeviceWatch::openFailed()
{
  return !std::exchange(failureReported_, true);
}
