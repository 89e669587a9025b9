// Merges the result files of the benchmark programs into one table on
// standard output and one JSON file: every figure beside its floor, its
// ratio to the floor, its target and whether it was kept. Reports; asserts
// nothing: the exit status says only whether the files could be read.
//
// Usage: bench_report --out=FILE [--machine=TEXT] [--command=TEXT] RESULT.json...
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace
{
  using nlohmann::json;

  std::string number(double v)
  {
    char text[32];
    const double a = v < 0 ? -v : v;
    if (a >= 100 || a == 0)
      std::snprintf(text, sizeof text, "%.0f", v);
    else if (a >= 10)
      std::snprintf(text, sizeof text, "%.1f", v);
    else
      std::snprintf(text, sizeof text, "%.2f", v);
    return text;
  }

  std::string withUnit(const json& value, const std::string& unit)
  {
    if (value.is_null())
      return "-";
    return unit.empty() ? number(value.get<double>()) : number(value.get<double>()) + " " + unit;
  }

  std::string targetText(const json& row)
  {
    const json& t = row["target"];
    if (t.is_null())
      return "";
    const std::string unit = row["unit"].get<std::string>();
    const std::string bound = number(t["bound"].get<double>());
    if (t["of"] == "ratio")
      return "ratio " + t["op"].get<std::string>() + " " + bound;
    return t["op"].get<std::string>() + " " + bound + (unit.empty() ? "" : " " + unit);
  }

  json readFile(const std::string& path)
  {
    std::ifstream in(path);
    if (!in)
      throw std::runtime_error("can't read " + path);
    try
    {
      return json::parse(in);
    }
    catch (const json::exception& e)
    {
      throw std::runtime_error(path + " is not a result file: " + e.what());
    }
  }

  std::string today()
  {
    const std::time_t now = std::time(nullptr);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
    return text;
  }
}

int main(int argc, char** argv)
{
  try
  {
    std::string out, machine, command;
    std::vector<std::string> inputs;
    for (int i = 1; i < argc; ++i)
    {
      const std::string arg = argv[i];
      if (arg.rfind("--out=", 0) == 0)
        out = arg.substr(6);
      else if (arg.rfind("--machine=", 0) == 0)
        machine = arg.substr(10);
      else if (arg.rfind("--command=", 0) == 0)
        command = arg.substr(10);
      else if (arg.rfind("--", 0) == 0)
        throw std::invalid_argument("unknown option " + arg);
      else
        inputs.push_back(arg);
    }
    if (out.empty() || inputs.empty())
      throw std::invalid_argument("usage: bench_report --out=FILE [--machine=TEXT] [--command=TEXT] RESULT.json...");

    json rows = json::array();
    json notes = json::array();
    json programs = json::array();
    for (const std::string& path : inputs)
    {
      const json file = readFile(path);
      programs.push_back(file.value("program", path));
      for (json row : file.at("rows"))
      {
        row["program"] = file.value("program", path);
        rows.push_back(std::move(row));
      }
      for (const json& note : file.value("notes", json::array()))
        notes.push_back(note);
    }

    // The table: one line per figure, columns as wide as their widest cell.
    std::vector<std::vector<std::string>> cells = {
        {"part", "subject", "metric", "value", "floor", "ratio", "target", "kept"}};
    std::size_t targets = 0, kept = 0;
    for (const json& row : rows)
    {
      const std::string unit = row["unit"].get<std::string>();
      std::string met;
      if (!row["met"].is_null())
      {
        ++targets;
        met = row["met"].get<bool>() ? "yes" : "NO";
        if (row["met"].get<bool>())
          ++kept;
      }
      cells.push_back({row["part"].get<std::string>(), row["subject"].get<std::string>(),
                       row["metric"].get<std::string>(), withUnit(row["value"], unit),
                       withUnit(row["floor"], unit),
                       row["ratio"].is_null() ? "-" : number(row["ratio"].get<double>()), targetText(row), met});
    }
    std::vector<std::size_t> widths(cells[0].size(), 0);
    for (const auto& line : cells)
      for (std::size_t c = 0; c < line.size(); ++c)
        widths[c] = std::max(widths[c], line[c].size());
    std::cout << "\n";
    if (!machine.empty())
      std::cout << "machine: " << machine << "\n";
    for (std::size_t l = 0; l < cells.size(); ++l)
    {
      std::string text;
      for (std::size_t c = 0; c < cells[l].size(); ++c)
      {
        const bool right = c >= 3 && c <= 5;  // the numbers
        const std::string& cell = cells[l][c];
        const std::string pad(widths[c] - cell.size(), ' ');
        text += (right ? pad + cell : cell + pad) + "  ";
      }
      while (!text.empty() && text.back() == ' ')
        text.pop_back();
      std::cout << text << "\n";
      if (l == 0)
        std::cout << std::string(text.size(), '-') << "\n";
    }
    std::cout << "\nfloors (each measured in the same run):\n";
    std::vector<std::string> floorNames;
    for (const json& row : rows)
    {
      const std::string name = row["floorName"].get<std::string>();
      if (!name.empty() && name != "none" &&
          std::find(floorNames.begin(), floorNames.end(), name) == floorNames.end())
        floorNames.push_back(name);
    }
    for (const std::string& name : floorNames)
      std::cout << "  - " << name << "\n";
    if (!notes.empty())
    {
      std::cout << "notes:\n";
      for (const json& note : notes)
        std::cout << "  - " << note.get<std::string>() << "\n";
    }
    std::cout << "\n" << kept << " of " << targets << " targets kept\n";

    const json document = {{"date", today()},       {"machine", machine}, {"command", command},
                           {"programs", programs},  {"rows", rows},       {"notes", notes},
                           {"targets", targets},    {"targetsKept", kept}};
    std::ofstream file(out);
    file << document.dump(2) << '\n';
    file.flush();
    if (!file)
      throw std::runtime_error("can't write " + out);
    std::cout << "written to " << out << std::endl;
    return 0;
  }
  catch (const std::exception& e)
  {
    std::cerr << "bench_report: " << e.what() << std::endl;
    return 1;
  }
}
