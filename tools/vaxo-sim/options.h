#pragma once
// The command line of vaxo-sim.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vaxosim
{
  /// What the command line asks for.
  struct SimOptions
  {
    std::string host = "127.0.0.1";                 ///< address to listen on
    std::uint16_t port = 54000;                     ///< port to listen on; 0 picks a free one
    std::optional<std::filesystem::path> recordDir; ///< where to keep each connection's bytes
    bool fullStatements = false;                    ///< print long statements whole
    bool help = false;                              ///< only print the usage
  };

  /// Parses the arguments after the program name. Throws
  /// std::invalid_argument with a message naming the bad argument.
  SimOptions parseCommandLine(const std::vector<std::string>& args);

  /// The text of vaxo-sim --help.
  std::string usageText();

  /// The commands of the prompt, as "help" shows them.
  std::string consoleHelpText();
}
