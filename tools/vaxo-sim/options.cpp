#include "vaxo-sim/options.h"

#include <stdexcept>

#include "common/command_line.h"

namespace vaxosim
{
  namespace
  {
    std::uint16_t parsePort(const std::string& text)
    {
      std::size_t used = 0;
      unsigned long value = 0;
      try
      {
        value = std::stoul(text, &used, 10);
      }
      catch (const std::exception&)
      {
        used = 0;
      }
      if (text.empty() || used != text.size() || text[0] == '-' || text[0] == '+' || value > 65535)
        throw std::invalid_argument("parseCommandLine: bad port '" + text + "' (expected 0 to 65535)");
      return static_cast<std::uint16_t>(value);
    }
  }

  SimOptions parseCommandLine(const std::vector<std::string>& args)
  {
    SimOptions options;
    toolcommon::CommandLine line(args, "parseCommandLine: ");
    while (line.next())
    {
      const std::string& arg = line.name();
      if (arg == "--help" || arg == "-h")
      {
        line.noValue();
        options.help = true;
      }
      else if (arg == "--host")
      {
        options.host = line.value();
        if (options.host.empty())
          throw std::invalid_argument("parseCommandLine: --host needs a host name or address");
      }
      else if (arg == "--port" || arg == "-p")
        options.port = parsePort(line.value());
      else if (arg == "--record")
      {
        std::string dir = line.value();
        if (dir.empty())
          throw std::invalid_argument("parseCommandLine: --record needs a directory");
        options.recordDir = dir;
      }
      else if (arg == "--full")
      {
        line.noValue();
        options.fullStatements = true;
      }
      else
        throw std::invalid_argument("parseCommandLine: unknown argument '" + line.whole() + "' (see --help)");
    }
    return options;
  }

  std::string usageText()
  {
    return R"(Usage: vaxo-sim [--host ADDRESS] [--port PORT] [--record DIR] [--full]

A stand-in robot-control server for rehearsing notara without robots.
It accepts any number of connections, prints every statement it receives,
keeps the state those statements imply, and answers calls of the control
functions that a connection's uploaded script defined.

Options:
  --host ADDRESS  address to listen on (default 127.0.0.1)
  --port PORT     port to listen on (default 54000; 0 picks a free port)
  --record DIR    write every byte each connection sends, unchanged, to
                  DIR/connection-<id>.bin (the directory is created)
  --full          print long statements whole instead of shortened
  -h, --help      print this text

The first line on standard output says where the server listens, e.g.
  vaxo-sim listening on 127.0.0.1:54000

Each connection gets an id (1, 2, ...) and the greeting line
  {"tag":"__system","system":"hello","connection":"<id>"}
Its bytes are split into statements at ',' and ';' outside (), [], {} and
"..." strings. Each statement is printed with the id, e.g.
  [2] emit midi.key(9,0,60,100)
Lines the server sends are shown as
  [2] <- {"tag":"midictl","value":["debug",12]}

The server understands assignments (name = value, var name = value), emit
name(payload), freeze tag, unfreeze tag and function definitions. When a
connection's uploaded text defines midi.setDebug, midi.setParameter and
midi.registerAction, a call of one of them, at the prompt or from any
connection, is answered with the list that function sends on the tag
midictl, on every connection that defined it:
  midi.registerAction(1, [60], "EmitMap", ["midi.key"], 1)
  -> {"tag":"midictl","value":["register",1,[60],"EmitMap",["midi.key"],1]}
A bad call is reported here and, when a connection made it, answered with
{"tag":"error","error":"..."} on that connection.

)" + consoleHelpText() +
           R"(
Without a terminal (standard input closed or a pipe) the server keeps
serving after the end of its input. SIGINT (Ctrl-C) or SIGTERM stops it.
)";
  }

  std::string consoleHelpText()
  {
    return R"(Commands at the prompt (one per line):
  midi.setDebug(LEVEL)            send ["debug",LEVEL] on midictl
  midi.setParameter(VALUE)        send ["setparameter",VALUE]
  midi.registerAction(CHANNELMASK, [FILTER...], "OPERATION", [PARAMETERS...], ROBOTMASK)
                                  send ["register",...]
  send ID TEXT                    send TEXT and a line break, as it is, to connection ID
  state                           show variables, events, tags and functions
  connections                     list the open connections
  help                            show these commands
  quit                            stop the server
Arguments are numbers, "strings", [lists], true, false, null, or names of
variables the connections assigned.
)";
  }
}
