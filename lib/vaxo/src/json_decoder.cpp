// JsonDecoder: JSON to VValue / VMessage.
#include "json_decoder.h"

#include <nlohmann/json.hpp>

namespace vaxo::detail
{
  namespace
  {
    // Recursion is bounded: the parse has refused anything nested deeper
    // than kMaxDepth, and objects are not descended into.
    void toValue(const nlohmann::json& json, VValue& value)
    {
      switch (json.type())
      {
      case nlohmann::json::value_t::number_integer:
      case nlohmann::json::value_t::number_unsigned:
      case nlohmann::json::value_t::number_float:
        value.kind = VValueKind::Number;
        value.number = json.get<double>();
        break;
      case nlohmann::json::value_t::string:
        value.kind = VValueKind::String;
        value.string = json.get_ref<const std::string&>();
        break;
      case nlohmann::json::value_t::array:
        value.kind = VValueKind::List;
        value.list.elements.resize(json.size());
        for (std::size_t i = 0; i < json.size(); ++i)
          toValue(json[i], value.list.elements[i]);
        break;
      default:
        // true, false, null, objects (and binary, which JSON text can't hold).
        value.kind = VValueKind::Other;
        break;
      }
    }

    // The text of an error or system message: a string as it is, anything
    // else as its JSON text, so nothing the server said is lost.
    std::string textOf(const nlohmann::json& json)
    {
      if (json.is_string())
        return json.get<std::string>();
      return json.dump();
    }
  }

  bool JsonDecoder::decode(std::string_view line, VMessage& msg)
  {
    // The parser itself keeps its nesting on a heap stack, not the call
    // stack; what must not happen is a deep value being built, then
    // re-serialised or converted by recursive code. So the depth is checked
    // as each array and object begins, and a value too deep is never built.
    // The callback's depth is 0 for the line's object, 1 for a member's
    // value.
    bool tooDeep = false;
    const auto limitDepth = [&tooDeep](int depth, nlohmann::json::parse_event_t event, nlohmann::json&) {
      if ((event == nlohmann::json::parse_event_t::object_start ||
           event == nlohmann::json::parse_event_t::array_start) &&
          depth > kMaxDepth)
      {
        tooDeep = true;
        return false;
      }
      return !tooDeep;
    };
    const nlohmann::json json = nlohmann::json::parse(line.begin(), line.end(), limitDepth, false);
    if (tooDeep || !json.is_object())
      return false;   // includes the parser's "discarded" result for bad JSON

    const auto tag = json.find("tag");
    const bool hasStringTag = tag != json.end() && tag->is_string();
    msg.tag = hasStringTag ? tag->get<std::string>() : std::string();
    msg.value = VValue();
    msg.message.clear();

    // An error report wins over anything else on the line: it must not be
    // lost to a data callback.
    if (const auto error = json.find("error"); error != json.end())
    {
      msg.type = VMessageType::Error;
      msg.message = textOf(*error);
      return true;
    }
    if (const auto value = json.find("value"); value != json.end())
    {
      if (!hasStringTag)
        return false;
      msg.type = VMessageType::Data;
      toValue(*value, msg.value);
      return true;
    }
    if (const auto system = json.find("system"); system != json.end())
    {
      msg.type = VMessageType::System;
      msg.message = textOf(*system);
      return true;
    }
    return false;
  }
}
