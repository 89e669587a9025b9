// JsonDecoder: JSON to VValue / VMessage.
#include "json_decoder.h"

#include <nlohmann/json.hpp>

namespace vaxo::detail
{
  namespace
  {
    // Recursion is bounded: listDepth() has rejected anything deeper than
    // kMaxListDepth before parsing, and objects are not descended into.
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

  int JsonDecoder::listDepth(std::string_view text, int limit)
  {
    int depth = 0;
    int deepest = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i)
    {
      const char c = text[i];
      if (inString)
      {
        if (c == '\\')
          ++i;
        else if (c == '"')
          inString = false;
      }
      else if (c == '"')
        inString = true;
      else if (c == '[')
      {
        if (++depth > deepest)
        {
          deepest = depth;
          if (deepest > limit)
            return deepest;
        }
      }
      else if (c == ']' && depth > 0)
        --depth;
    }
    return deepest;
  }

  bool JsonDecoder::decode(std::string_view line, VMessage& msg)
  {
    // The outer object holds no list itself, so the value's lists are the
    // line's lists.
    if (listDepth(line) > kMaxListDepth)
      return false;

    const nlohmann::json json = nlohmann::json::parse(line.begin(), line.end(), nullptr, false);
    if (!json.is_object())
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
