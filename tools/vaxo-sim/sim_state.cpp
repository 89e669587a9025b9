#include "vaxo-sim/sim_state.h"

#include <algorithm>
#include <sstream>

#include "vaxo-sim/screen_text.h"

namespace vaxosim
{
  std::string connectionLabel(unsigned connection)
  {
    return connection == consoleId ? std::string("[prompt]") : "[" + std::to_string(connection) + "]";
  }

  void SimState::assign(const std::string& name, std::string text, std::optional<Json> value, unsigned connection)
  {
    Variable& v = variables_[name];
    v.text = std::move(text);
    v.value = std::move(value);
    v.connection = connection;
  }

  void SimState::emitEvent(const std::string& name, std::string payload, unsigned connection)
  {
    EventRecord& e = events_[name];
    ++e.count;
    e.lastPayload = std::move(payload);
    e.connection = connection;
  }

  void SimState::setFrozen(const std::string& tag, bool frozen, unsigned connection)
  {
    tags_[tag] = TagRecord{frozen, connection};
  }

  void SimState::defineFunction(unsigned connection, const std::string& name, FunctionDefinition definition)
  {
    functions_[name][connection] = std::move(definition);
  }

  void SimState::forgetConnection(unsigned connection)
  {
    for (auto it = functions_.begin(); it != functions_.end();)
    {
      it->second.erase(connection);
      it = it->second.empty() ? functions_.erase(it) : std::next(it);
    }
  }

  const Variable* SimState::variable(const std::string& name) const
  {
    auto it = variables_.find(name);
    return it == variables_.end() ? nullptr : &it->second;
  }

  const EventRecord* SimState::event(const std::string& name) const
  {
    auto it = events_.find(name);
    return it == events_.end() ? nullptr : &it->second;
  }

  const TagRecord* SimState::tag(const std::string& name) const
  {
    auto it = tags_.find(name);
    return it == tags_.end() ? nullptr : &it->second;
  }

  const FunctionDefinition* SimState::function(unsigned connection, const std::string& name) const
  {
    auto it = functions_.find(name);
    if (it == functions_.end())
      return nullptr;
    auto def = it->second.find(connection);
    return def == it->second.end() ? nullptr : &def->second;
  }

  std::vector<unsigned> SimState::definers(const std::string& name) const
  {
    std::vector<unsigned> ids;
    auto it = functions_.find(name);
    if (it != functions_.end())
      for (const auto& [id, def] : it->second)
        ids.push_back(id);
    return ids;
  }

  std::vector<std::string> SimState::functionsOf(unsigned connection) const
  {
    std::vector<std::string> names;
    for (const auto& [name, byConnection] : functions_)
      if (byConnection.count(connection))
        names.push_back(name);
    return names;
  }

  std::string SimState::describe() const
  {
    std::ostringstream out;
    auto width = [](const auto& map) {
      std::size_t w = 0;
      for (const auto& entry : map)
        w = std::max(w, entry.first.size());
      return w;
    };
    auto pad = [](const std::string& s, std::size_t w) { return s + std::string(w > s.size() ? w - s.size() : 0, ' '); };

    out << "variables (" << variables_.size() << ")" << (variables_.empty() ? ": none" : ":") << '\n';
    std::size_t w = width(variables_);
    for (const auto& [name, v] : variables_)
    {
      // The evaluated value where there is one: connectionID shows as the id.
      std::string shown = v.value ? v.value->dump(-1, ' ', false, Json::error_handler_t::replace) : v.text;
      out << "  " << pad(name, w) << " = " << screenText(shown, 60) << "   " << connectionLabel(v.connection) << '\n';
    }

    out << "events (" << events_.size() << ")" << (events_.empty() ? ": none" : ":") << '\n';
    w = width(events_);
    for (const auto& [name, e] : events_)
      out << "  " << pad(name, w) << "  x" << e.count << "  last (" << screenText(e.lastPayload, 60) << ")   "
          << connectionLabel(e.connection) << '\n';

    out << "tags (" << tags_.size() << ")" << (tags_.empty() ? ": none" : ":") << '\n';
    w = width(tags_);
    for (const auto& [name, t] : tags_)
      out << "  " << pad(name, w) << "  " << (t.frozen ? "frozen " : "running") << "   "
          << connectionLabel(t.connection) << '\n';

    out << "functions (" << functions_.size() << ")" << (functions_.empty() ? ": none" : ":") << '\n';
    for (const auto& [name, byConnection] : functions_)
    {
      // Connections normally upload the same text; show each signature once.
      std::map<std::string, std::vector<unsigned>> bySignature;
      for (const auto& [id, def] : byConnection)
      {
        std::string signature = name + "(";
        for (std::size_t i = 0; i < def.parameters.size(); ++i)
          signature += (i ? ", " : "") + def.parameters[i];
        signature += ")";
        if (def.midictlTemplate)
          signature += "  sends midictl << " + screenText(*def.midictlTemplate, 50);
        bySignature[signature].push_back(id);
      }
      for (const auto& [signature, ids] : bySignature)
      {
        out << "  " << signature << "   defined by";
        for (unsigned id : ids)
          out << ' ' << connectionLabel(id);
        out << '\n';
      }
    }
    return out.str();
  }
}
