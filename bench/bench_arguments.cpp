#include "bench_arguments.h"

#include <exception>
#include <iostream>
#include <vector>

namespace notara::bench
{
  std::optional<SmokeArguments> smokeArguments(int argc, char** argv, const std::string& program)
  {
    const std::vector<std::string> args(argv + 1, argv + argc);
    SmokeArguments result;
    result.smoke = !args.empty() && args[0] == "--smoke";
    if (args.size() == 1 + std::size_t{result.smoke} && takeValue(args.back(), "--json=", result.json))
      return result;
    if (args.size() == std::size_t{result.smoke})
      return result;
    std::cerr << "usage: " << program << " [--smoke] [--json=FILE]" << std::endl;
    return std::nullopt;
  }

  int smokeMain(int argc, char** argv, const std::string& program,
                const std::function<void(ResultTable& table, bool smoke)>& measure)
  {
    const auto arguments = smokeArguments(argc, argv, program);
    if (!arguments)
      return 2;
    try
    {
      ResultTable table(program);
      measure(table, arguments->smoke);
      table.print(std::cout);
      if (!arguments->json.empty())
        table.write(arguments->json);
      return 0;
    }
    catch (const std::exception& e)
    {
      std::cerr << program << ": " << e.what() << std::endl;
      return 1;
    }
  }

  void readValue(const std::string& text, std::string& out) { out = text; }

  void readValue(const std::string& text, double& out) { out = std::stod(text); }

  void readValue(const std::string& text, int& out) { out = std::stoi(text); }
}
