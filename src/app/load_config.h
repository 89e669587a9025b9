#pragma once
// Loading the configuration file into the bridge, shared by a start and by
// the configuration check so that both say the same about a bad file.
//
// Threading: the thread that reads the configuration (the main thread at
// start-up, the reloader's later); no lock is held.
#include <string>

class Midi;

/// The usage text of `program` (argv[0]), two lines with the defaults.
std::string usageText(const char* program);

/// Reads `confFile` into `midi`; empty, or what failed: "parsing FILE
/// failed" for a file that can't be opened, "configuration error in FILE:
/// ..." for a malformed one. Writes nothing of its own.
std::string readConfiguration(Midi& midi, const std::string& confFile);

/// Writes "parsing <confFile>", reads the file into `midi` and reports a
/// failure on standard error: the " failed" line and the usage text for a
/// file that can't be opened, one line for a malformed one. 0 when loaded,
/// else 2, the exit status of a configuration failure.
int loadConfiguration(Midi& midi, const std::string& confFile, const char* program);
