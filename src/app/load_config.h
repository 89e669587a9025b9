#pragma once
// Loading the configuration file into the bridge, shared by a start and by
// the configuration check so that both say the same about a bad file.
//
// Threading: the main thread, during start-up; no lock is held.
#include <string>

class Midi;

/// The usage text of `program` (argv[0]), two lines with the defaults.
std::string usageText(const char* program);

/// Writes "parsing <confFile>", reads the file into `midi` and reports a
/// failure on standard error: the " failed" line and the usage text for a
/// file that can't be opened, one line for a malformed one. 0 when loaded,
/// else 2, the exit status of a configuration failure.
int loadConfiguration(Midi& midi, const std::string& confFile, const char* program);
