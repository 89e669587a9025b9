#include "app/load_config.h"

#include <exception>
#include <fstream>
#include <iostream>

#include "bridge/midi.h"
#include "log/stderr_line.h"

std::string usageText(const char* program)
{
  return std::string("Usage: ") + program +
         " [MidiDeviceNumber] [conffile] [debuglevel]\n"
         "\tParameters defaults to 0, notara.conf and 0 respectively\n";
}

std::string readConfiguration(Midi& midi, const std::string& confFile)
{
  // A file that can't be opened leaves the stream failed; the parser
  // answers false for it.
  std::ifstream conf(confFile);
  try
  {
    if (!midi.parseConfig(conf))
      return "parsing " + confFile + " failed";
  }
  catch (const std::exception& e)
  {
    return "configuration error in " + confFile + ": " + e.what();
  }
  return {};
}

int loadConfiguration(Midi& midi, const std::string& confFile, const char* program)
{
  notara::StderrLine() << "parsing " << confFile;
  const std::string error = readConfiguration(midi, confFile);
  if (error.empty())
    return 0;
  if (error.rfind("parsing ", 0) == 0)
  {
    notara::StderrLine() << ' ' << error;
    std::string usage = usageText(program);
    if (!usage.empty() && usage.back() == '\n')
      usage.pop_back();
    notara::writeStderrLine(usage);
  }
  else
    notara::StderrLine() << "notara: " << error;
  return 2;
}
