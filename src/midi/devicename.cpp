// Device names without ALSA's client and port numbers, and the choice of a
// device by the name the user gave.
#include "midi/devicename.h"

#include <algorithm>
#include <cctype>

namespace
{
  bool isDigit(char c)
  {
    return c >= '0' && c <= '9';
  }

  char lower(char c)
  {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }

  bool containsIgnoringCase(const std::string& text, const std::string& part)
  {
    const auto found = std::search(text.begin(), text.end(), part.begin(), part.end(),
                                   [](char a, char b) { return lower(a) == lower(b); });
    return found != text.end();
  }
}

std::string DeviceName::key(const std::string& listed)
{
  // From the end: port digits, ':', client digits, one space, and a name
  // before them.
  std::size_t end = listed.size();
  std::size_t at = end;
  while (at > 0 && isDigit(listed[at - 1]))
    --at;
  if (at == end || at == 0 || listed[at - 1] != ':')
    return listed;
  end = --at;
  while (at > 0 && isDigit(listed[at - 1]))
    --at;
  if (at == end || at < 2 || listed[at - 1] != ' ')
    return listed;
  return listed.substr(0, at - 1);
}

bool DeviceName::same(const std::string& a, const std::string& b)
{
  return a == b || key(a) == key(b);
}

std::vector<std::size_t> DeviceName::find(const std::string& wanted,
                                          const std::vector<std::string>& listed)
{
  std::vector<std::size_t> found;
  if (wanted.empty())
    return found;
  // A name given with ALSA numbers (copied from a list) still picks the
  // port under the numbers it has now.
  const std::string wantedKey = key(wanted);
  for (std::size_t i = 0; i < listed.size(); ++i)
    if (listed[i] == wanted || key(listed[i]) == wantedKey)
      found.push_back(i);
  if (!found.empty())
    return found;
  for (std::size_t i = 0; i < listed.size(); ++i)
    if (containsIgnoringCase(listed[i], wanted))
      found.push_back(i);
  return found;
}

bool DeviceName::ambiguous(const std::vector<std::size_t>& devices,
                           const std::vector<std::string>& listed)
{
  for (std::size_t i : devices)
    if (!same(listed[i], listed[devices.front()]))
      return true;
  return false;
}
