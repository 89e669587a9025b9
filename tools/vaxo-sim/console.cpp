#include "vaxo-sim/console.h"

#include <ostream>

#include "vaxo-sim/options.h"
#include "vaxo-sim/screen_text.h"

namespace vaxosim
{
  namespace
  {
    bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
  }

  Console::Console(Server& server, std::function<void()> onQuit) : server_(server), onQuit_(std::move(onQuit)) {}

  void Console::handle(const std::string& line)
  {
    std::size_t begin = 0;
    std::size_t end = line.size();
    while (begin < end && isBlank(line[begin]))
      ++begin;
    while (end > begin && isBlank(line[end - 1]))
      --end;
    if (begin == end)
      return;
    std::string text = line.substr(begin, end - begin);
    std::size_t wordEnd = 0;
    while (wordEnd < text.size() && !isBlank(text[wordEnd]) && text[wordEnd] != '(')
      ++wordEnd;
    std::string word = text.substr(0, wordEnd);
    bool alone = wordEnd == text.size();

    if (word == "help" && alone)
      server_.out() << consoleHelpText() << std::flush;
    else if (word == "state" && alone)
      server_.out() << server_.state().describe() << std::flush;
    else if (word == "connections" && alone)
      server_.out() << server_.describeConnections() << std::flush;
    else if ((word == "quit" || word == "exit") && alone)
      onQuit_();
    else if (word == "send")
    {
      // The text to send keeps its trailing blanks; only the line break goes.
      std::string raw = line.substr(begin);
      while (!raw.empty() && (raw.back() == '\n' || raw.back() == '\r'))
        raw.pop_back();
      sendCommand(raw.substr(wordEnd));
    }
    else if (text.find('(') != std::string::npos)
      server_.deliver(server_.interpreter().call(text));
    else
      server_.err() << "vaxo-sim: Console::handle: unknown command '" << screenText(text, 60)
                    << "' (type help for the commands)" << std::endl;
  }

  void Console::sendCommand(const std::string& rest)
  {
    std::size_t pos = 0;
    while (pos < rest.size() && isBlank(rest[pos]))
      ++pos;
    std::size_t idEnd = pos;
    while (idEnd < rest.size() && rest[idEnd] >= '0' && rest[idEnd] <= '9')
      ++idEnd;
    // Exactly one blank separates the id from the text, so the text may
    // start with blanks of its own.
    bool wellFormed = idEnd > pos && idEnd - pos <= 9 && idEnd < rest.size() && isBlank(rest[idEnd]);
    if (!wellFormed)
    {
      server_.err() << "vaxo-sim: Console::sendCommand: expected 'send ID TEXT', got 'send "
                    << screenText(rest, 60) << "'" << std::endl;
      return;
    }
    unsigned id = static_cast<unsigned>(std::stoul(rest.substr(pos, idEnd - pos)));
    if (!server_.sendRaw(id, rest.substr(idEnd + 1) + "\n"))
      server_.err() << "vaxo-sim: Console::sendCommand: no connection " << id << " (type connections)"
                    << std::endl;
  }
}
