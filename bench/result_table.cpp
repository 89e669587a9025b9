#include "result_table.h"

#include <fstream>
#include <stdexcept>
#include <utility>

#include <nlohmann/json.hpp>

namespace notara::bench
{
  ResultTable::ResultTable(std::string program) : program_(std::move(program)) {}

  void ResultTable::add(Row row)
  {
    rows_.push_back(std::move(row));
  }

  void ResultTable::note(std::string text)
  {
    notes_.push_back(std::move(text));
  }

  std::optional<double> ResultTable::ratio(const Row& row)
  {
    if (!row.floor || *row.floor <= 0)
      return std::nullopt;
    return row.value / *row.floor;
  }

  std::optional<bool> ResultTable::met(const Row& row)
  {
    if (!row.target)
      return std::nullopt;
    double x = row.value;
    if (row.target->of == "ratio")
    {
      const auto r = ratio(row);
      if (!r)
        return false;  // a ratio target without a usable floor can't be judged kept
      x = *r;
    }
    const double bound = row.target->bound;
    const std::string& op = row.target->op;
    if (op == "<=")
      return x <= bound;
    if (op == "<")
      return x < bound;
    if (op == ">=")
      return x >= bound;
    if (op == "==")
      return x == bound;
    throw std::invalid_argument("ResultTable::met: unknown operator " + op);
  }

  void ResultTable::write(const std::string& path) const
  {
    nlohmann::json rows = nlohmann::json::array();
    for (const Row& row : rows_)
    {
      nlohmann::json j = {{"part", row.part},       {"subject", row.subject}, {"metric", row.metric},
                          {"value", row.value},     {"unit", row.unit},       {"floorName", row.floorName},
                          {"floor", nullptr},       {"ratio", nullptr},       {"target", nullptr},
                          {"met", nullptr}};
      if (row.floor)
        j["floor"] = *row.floor;
      if (const auto r = ratio(row))
        j["ratio"] = *r;
      if (row.target)
      {
        j["target"] = {{"of", row.target->of}, {"op", row.target->op}, {"bound", row.target->bound}};
        j["met"] = *met(row);
      }
      rows.push_back(std::move(j));
    }
    const nlohmann::json document = {{"program", program_}, {"rows", rows}, {"notes", notes_}};

    std::ofstream out(path);
    out << document.dump(2) << '\n';
    out.flush();
    if (!out)
      throw std::runtime_error("ResultTable::write: can't write " + path);
  }

  void ResultTable::print(std::ostream& out) const
  {
    for (const auto& row : rows_)
      out << "  " << row.subject << "  " << row.metric << " " << row.value << " " << row.unit << '\n';
  }
}
