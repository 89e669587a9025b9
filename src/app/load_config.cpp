#include "app/load_config.h"

#include <exception>
#include <fstream>
#include <iostream>

#include "bridge/midi.h"

std::string usageText(const char* program)
{
  return std::string("Usage: ") + program +
         " [MidiDeviceNumber] [conffile] [debuglevel]\n"
         "\tParameters defaults to 0, notara.conf and 0 respectively\n";
}

int loadConfiguration(Midi& midi, const std::string& confFile, const char* program)
{
  std::cerr << "parsing " << confFile << std::endl;
  // A file that can't be opened leaves the stream failed; the parser
  // answers false for it.
  std::ifstream conf(confFile);

  bool loaded = false;
  try
  {
    loaded = midi.parseConfig(conf);
  }
  catch (const std::exception& e)
  {
    std::cerr << "notara: configuration error in " << confFile << ": " << e.what() << std::endl;
    return 2;
  }

  if (!loaded)
  {
    std::cerr << " parsing " << confFile << " failed" << std::endl;
    std::cerr << usageText(program) << std::flush;
    return 2;
  }
  return 0;
}
