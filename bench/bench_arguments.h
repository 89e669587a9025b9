#pragma once
// The command-line arguments the benchmark programs share: --smoke and
// --json=FILE, and options that carry a value after their name; and the
// main function of the programs that take only those two.
//
// Threading: plain functions, called from main on its thread.
#include <functional>
#include <optional>
#include <string>

#include "result_table.h"

namespace notara::bench
{
  /// What a program that takes only [--smoke] [--json=FILE] was given.
  struct SmokeArguments
  {
    bool smoke = false;  ///< a short run that only shows the program works
    std::string json;    ///< where to write the result table; empty: nowhere
  };

  /// Reads `argv` as [--smoke] [--json=FILE], in that order; on anything
  /// else, writes "usage: `program` [--smoke] [--json=FILE]" to standard
  /// error and returns nothing.
  std::optional<SmokeArguments> smokeArguments(int argc, char** argv, const std::string& program);

  /// The whole main function of a program named `program` that takes
  /// [--smoke] [--json=FILE]: status 2 when the arguments don't fit;
  /// otherwise runs `measure` with an empty table and whether this is a
  /// smoke run, prints the table's rows on standard output, writes it to
  /// the JSON file if one was named and returns 0. When anything throws,
  /// writes "`program`: " and the message to standard error and returns 1.
  int smokeMain(int argc, char** argv, const std::string& program,
                const std::function<void(ResultTable& table, bool smoke)>& measure);

  /// Reads `text` into `out` as it is.
  void readValue(const std::string& text, std::string& out);
  /// Reads `text` into `out` as a number; throws std::invalid_argument or
  /// std::out_of_range as std::stod does.
  void readValue(const std::string& text, double& out);
  /// Reads `text` into `out` as a number; throws as std::stoi does.
  void readValue(const std::string& text, int& out);

  /// When `arg` starts with `prefix` (as "--hold="), reads the rest into
  /// `out` and returns true; otherwise leaves `out` alone and returns false.
  template <typename T>
  bool takeValue(const std::string& arg, const std::string& prefix, T& out)
  {
    if (arg.rfind(prefix, 0) != 0)
      return false;
    readValue(arg.substr(prefix.size()), out);
    return true;
  }
}
