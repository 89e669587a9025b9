#include "support/numbered_events.h"

#include <regex>

namespace notara::test
{
  std::string textOf(int k, const std::string& name)
  {
    return "emit " + name + "(9,0," + std::to_string(keyOf(k)) + "," + std::to_string(velocityOf(k)) + "),";
  }

  std::vector<int> eventsIn(const std::string& texts, const std::string& name)
  {
    std::vector<int> events;
    const std::regex text("emit " + std::regex_replace(name, std::regex(R"(\.)"), R"(\.)") +
                          R"(\(9,0,(\d+),(\d+)\),)");
    auto at = texts.cbegin();
    std::smatch match;
    while (at != texts.cend())
    {
      if (!std::regex_search(at, texts.cend(), match, text, std::regex_constants::match_continuous))
        return events.push_back(-1), events;
      events.push_back(std::stoi(match[1]) + 128 * (std::stoi(match[2]) - 1));
      at = match[0].second;
    }
    return events;
  }
}
