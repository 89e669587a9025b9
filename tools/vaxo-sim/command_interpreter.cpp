#include "vaxo-sim/command_interpreter.h"

#include <array>

#include "vaxo-sim/screen_text.h"

namespace vaxosim
{
  namespace
  {
    // The functions the bridge's uploaded text defines. A call of one of
    // them that nobody defined is an error; other unknown calls are script
    // code the stand-in server does not run, and are no error.
    constexpr std::array<std::string_view, 3> controlFunctions = {"midi.setDebug", "midi.setParameter",
                                                                  "midi.registerAction"};
    constexpr const char* where = "CommandInterpreter::call: ";

    bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

    std::string_view trim(std::string_view s)
    {
      while (!s.empty() && isBlank(s.front()))
        s.remove_prefix(1);
      while (!s.empty() && isBlank(s.back()))
        s.remove_suffix(1);
      return s;
    }

    std::size_t skipBlanks(std::string_view s, std::size_t pos)
    {
      while (pos < s.size() && isBlank(s[pos]))
        ++pos;
      return pos;
    }

    // The end of the identifier that starts at `pos` (pos itself if none).
    std::size_t identifierEnd(std::string_view s, std::size_t pos)
    {
      if (pos >= s.size() || !isIdentifierStart(s[pos]))
        return pos;
      while (pos < s.size() && isIdentifierChar(s[pos]))
        ++pos;
      return pos;
    }

    // True when `s` is a keyword followed by at least one blank.
    bool startsWithKeyword(std::string_view s, std::string_view keyword)
    {
      return s.size() > keyword.size() && s.substr(0, keyword.size()) == keyword && isBlank(s[keyword.size()]);
    }

    // The offset of the bracket that closes the one at `open`, counting
    // (), [] and {} alike and skipping strings; npos when it is missing.
    std::size_t matchingClose(std::string_view s, std::size_t open)
    {
      std::size_t depth = 0;
      bool inString = false;
      for (std::size_t i = open; i < s.size(); ++i)
      {
        char c = s[i];
        if (inString)
        {
          if (c == '\\')
            ++i;
          else if (c == '"')
            inString = false;
        }
        else if (c == '"')
          inString = true;
        else if (c == '(' || c == '[' || c == '{')
          ++depth;
        else if ((c == ')' || c == ']' || c == '}') && --depth == 0)
          return i;
      }
      return std::string_view::npos;
    }

    // A statement of the form NAME(ARGS) with nothing after the ')'.
    struct CallForm
    {
      std::string name;
      std::string_view arguments;
    };

    std::optional<CallForm> asCall(std::string_view s)
    {
      std::size_t nameEnd = identifierEnd(s, 0);
      if (nameEnd == 0)
        return std::nullopt;
      std::size_t open = skipBlanks(s, nameEnd);
      if (open >= s.size() || s[open] != '(')
        return std::nullopt;
      std::size_t close = matchingClose(s, open);
      if (close == std::string_view::npos || skipBlanks(s, close + 1) != s.size())
        return std::nullopt;
      return CallForm{std::string(s.substr(0, nameEnd)), s.substr(open + 1, close - open - 1)};
    }

    bool isControlFunction(std::string_view name)
    {
      for (auto f : controlFunctions)
        if (f == name)
          return true;
      return false;
    }

    std::string dump(const Json& j)
    {
      // Strings all come from the JSON parser and are valid UTF-8; replace
      // anything else rather than throw on the I/O thread.
      return j.dump(-1, ' ', false, Json::error_handler_t::replace);
    }

    std::string joinParameters(const std::vector<std::string>& parameters)
    {
      std::string joined;
      for (std::size_t i = 0; i < parameters.size(); ++i)
        joined += (i ? ", " : "") + parameters[i];
      return joined;
    }

    // The expression after the first "midictl <<" in a function body.
    std::optional<std::string> findMidictlTemplate(std::string_view body)
    {
      constexpr std::string_view tag = "midictl";
      for (std::size_t at = body.find(tag); at != std::string_view::npos; at = body.find(tag, at + 1))
      {
        bool wordStart = at == 0 || !isIdentifierChar(body[at - 1]);
        std::size_t after = at + tag.size();
        bool wordEnd = after == body.size() || !isIdentifierChar(body[after]);
        if (!wordStart || !wordEnd)
          continue;
        std::size_t op = skipBlanks(body, after);
        if (body.substr(op, 2) != "<<")
          continue;
        std::size_t begin = skipBlanks(body, op + 2);
        // Parameters are not known yet: every identifier stands for a value.
        ExpressionParser span(body.substr(begin), [](std::string_view) { return std::optional<Json>(Json()); });
        try
        {
          span.parseExpression();
        }
        catch (const ExpressionError&)
        {
          continue;
        }
        return std::string(body.substr(begin, span.position()));
      }
      return std::nullopt;
    }
  }

  CommandInterpreter::CommandInterpreter(SimState& state) : state_(state) {}

  std::string CommandInterpreter::dataLine(const std::string& tag, const Json& value)
  {
    Json line = Json::object();
    line["tag"] = tag;
    line["value"] = value;
    return dump(line) + "\n";
  }

  std::string CommandInterpreter::errorLine(const std::string& message)
  {
    Json line = Json::object();
    line["tag"] = "error";
    line["error"] = message;
    return dump(line) + "\n";
  }

  std::string CommandInterpreter::helloLine(unsigned connection)
  {
    Json line = Json::object();
    line["tag"] = "__system";
    line["system"] = "hello";
    line["connection"] = std::to_string(connection);
    return dump(line) + "\n";
  }

  Outcome CommandInterpreter::statement(unsigned from, std::string_view text)
  {
    text = trim(text);
    if (startsWithKeyword(text, "function"))
    {
      defineFunction(from, text);
      return {};
    }
    if (startsWithKeyword(text, "emit"))
    {
      std::size_t begin = skipBlanks(text, 4);
      std::size_t end = identifierEnd(text, begin);
      if (end == begin)
        return {};
      std::string_view payload;
      std::size_t open = skipBlanks(text, end);
      if (open < text.size())
      {
        std::size_t close = text[open] == '(' ? matchingClose(text, open) : std::string_view::npos;
        if (close == std::string_view::npos || skipBlanks(text, close + 1) != text.size())
          return {};
        payload = text.substr(open + 1, close - open - 1);
      }
      state_.emitEvent(std::string(text.substr(begin, end - begin)), std::string(payload), from);
      return {};
    }
    for (bool frozen : {true, false})
    {
      std::string_view keyword = frozen ? "freeze" : "unfreeze";
      if (!startsWithKeyword(text, keyword))
        continue;
      std::size_t begin = skipBlanks(text, keyword.size());
      std::size_t end = identifierEnd(text, begin);
      if (end > begin && skipBlanks(text, end) == text.size())
        state_.setFrozen(std::string(text.substr(begin, end - begin)), frozen, from);
      return {};
    }

    // Assignments: name = value, or var name = value.
    std::size_t nameBegin = startsWithKeyword(text, "var") ? skipBlanks(text, 3) : 0;
    std::size_t nameEnd = identifierEnd(text, nameBegin);
    if (nameEnd > nameBegin)
    {
      std::size_t eq = skipBlanks(text, nameEnd);
      if (eq < text.size() && text[eq] == '=' && (eq + 1 == text.size() || text[eq + 1] != '='))
      {
        std::string_view valueText = trim(text.substr(eq + 1));
        std::optional<Json> value;
        try
        {
          ExpressionParser parser(valueText, [this, from](std::string_view n) { return lookUp(from, n); });
          value = parser.parseWhole();
        }
        catch (const ExpressionError&)
        {
          // Script code the server does not evaluate: keep its text only.
        }
        state_.assign(std::string(text.substr(nameBegin, nameEnd - nameBegin)), std::string(valueText),
                      std::move(value), from);
        return {};
      }
    }

    if (auto form = asCall(text))
      return callFunction(from, form->name, form->arguments, text);
    std::size_t callNameEnd = identifierEnd(text, 0);
    std::size_t open = skipBlanks(text, callNameEnd);
    if (isControlFunction(text.substr(0, callNameEnd)) && open < text.size() && text[open] == '(')
    {
      Outcome outcome;
      outcome.error = std::string(where) + screenText(text, 80) +
                      ": malformed call (unbalanced brackets or text after the arguments)";
      outcome.sends.push_back({from, errorLine(*outcome.error)});
      return outcome;
    }
    return {};
  }

  Outcome CommandInterpreter::call(std::string_view text)
  {
    text = trim(text);
    if (!text.empty() && (text.back() == ',' || text.back() == ';'))
      text = trim(text.substr(0, text.size() - 1));
    auto form = asCall(text);
    if (!form)
    {
      Outcome outcome;
      outcome.error = std::string(where) + "not a call: '" + screenText(text, 80) +
                      "' (expected a name and its arguments in parentheses, such as midi.setDebug(3))";
      return outcome;
    }
    return callFunction(consoleId, form->name, form->arguments, text);
  }

  Outcome CommandInterpreter::callFunction(unsigned from, const std::string& name, std::string_view arguments,
                                           std::string_view whole)
  {
    Outcome outcome;
    std::string shown = screenText(whole, 80);
    auto fail = [&](const std::string& why) {
      std::string message = where + shown + ": " + why;
      outcome.error = outcome.error ? *outcome.error + "; " + why : message;
    };

    std::vector<unsigned> definers = state_.definers(name);
    if (definers.empty())
    {
      if (from == consoleId || isControlFunction(name))
        fail("no connection has defined " + name);
    }
    else
    {
      std::vector<Json> args;
      bool argumentsOk = true;
      try
      {
        args = ExpressionParser(arguments, [this, from](std::string_view n) { return lookUp(from, n); })
                 .parseArguments();
      }
      catch (const ExpressionError& e)
      {
        fail(std::string("bad arguments: ") + e.what());
        argumentsOk = false;
      }
      for (unsigned id : argumentsOk ? definers : std::vector<unsigned>{})
      {
        const FunctionDefinition* def = state_.function(id, name);
        if (args.size() != def->parameters.size())
        {
          std::size_t n = def->parameters.size();
          fail("takes " + std::to_string(n) + (n == 1 ? " argument" : " arguments") + " (" +
               joinParameters(def->parameters) + ") as " + connectionLabel(id) + " defined it, got " +
               std::to_string(args.size()));
          continue;
        }
        if (!def->midictlTemplate)
        {
          // Script code the server does not run, unless a person asked.
          if (from == consoleId || isControlFunction(name))
            fail(name + " as " + connectionLabel(id) + " defined it sends nothing on midictl");
          continue;
        }
        auto resolve = [&](std::string_view n) -> std::optional<Json> {
          for (std::size_t i = 0; i < def->parameters.size(); ++i)
            if (def->parameters[i] == n)
              return args[i];
          return lookUp(id, n);
        };
        try
        {
          outcome.sends.push_back({id, dataLine("midictl", ExpressionParser(*def->midictlTemplate, resolve).parseWhole())});
        }
        catch (const ExpressionError& e)
        {
          fail("can't evaluate midictl << " + screenText(*def->midictlTemplate, 60) + " as " + connectionLabel(id) +
               " defined it: " + e.what());
        }
      }
    }
    if (outcome.error && from != consoleId)
      outcome.sends.push_back({from, errorLine(*outcome.error)});
    return outcome;
  }

  bool CommandInterpreter::defineFunction(unsigned from, std::string_view text)
  {
    std::size_t nameBegin = skipBlanks(text, 8);
    std::size_t nameEnd = identifierEnd(text, nameBegin);
    std::size_t open = skipBlanks(text, nameEnd);
    if (nameEnd == nameBegin || open >= text.size() || text[open] != '(')
      return false;
    std::size_t close = matchingClose(text, open);
    if (close == std::string_view::npos)
      return false;

    FunctionDefinition def;
    std::string_view list = trim(text.substr(open + 1, close - open - 1));
    while (!list.empty())
    {
      std::size_t comma = list.find(',');
      std::string_view parameter = trim(list.substr(0, comma));
      if (parameter.empty() || identifierEnd(parameter, 0) != parameter.size())
        return false;
      def.parameters.emplace_back(parameter);
      if (comma == std::string_view::npos)
        break;
      list = list.substr(comma + 1);
      if (trim(list).empty())
        return false;  // "a, " lacks its last parameter
    }

    std::size_t bodyOpen = skipBlanks(text, close + 1);
    if (bodyOpen >= text.size() || text[bodyOpen] != '{')
      return false;
    std::size_t bodyClose = matchingClose(text, bodyOpen);
    if (bodyClose == std::string_view::npos || skipBlanks(text, bodyClose + 1) != text.size())
      return false;
    def.body = std::string(text.substr(bodyOpen + 1, bodyClose - bodyOpen - 1));
    def.midictlTemplate = findMidictlTemplate(def.body);
    state_.defineFunction(from, std::string(text.substr(nameBegin, nameEnd - nameBegin)), std::move(def));
    return true;
  }

  std::optional<Json> CommandInterpreter::lookUp(unsigned from, std::string_view name) const
  {
    // connectionID names the connection the code runs for, as in the
    // greeting line; the prompt has none.
    if (name == "connectionID")
      return from == consoleId ? std::nullopt : std::optional<Json>(std::to_string(from));
    if (const Variable* v = state_.variable(std::string(name)))
      return v->value;
    return std::nullopt;
  }
}
