#pragma once
// The figures one benchmark program produced, each beside its floor (a
// reference measured in the same run) and its target, written as JSON for
// bench_report, which merges the programs' files into one table.
//
// Threading: use an object from one thread; no callbacks.
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace notara::bench
{
  /// The rows of one benchmark program.
  class ResultTable
  {
  public:
    /// A bound a figure should keep: `of` the value or its ratio to the floor.
    struct Target
    {
      std::string of = "value";  ///< "value" or "ratio"
      std::string op = "<=";     ///< "<=", "<", ">=" or "=="
      double bound = 0;          ///< the bound
    };

    /// One figure.
    struct Row
    {
      std::string part;                 ///< "per-event", "loopback", "system"
      std::string subject;              ///< what was measured
      std::string metric;               ///< "p50", "p99", "allocs/event", ...
      double value = 0;                 ///< the figure
      std::string unit;                 ///< "ns", "us", "events/s", ...
      std::optional<double> floor;      ///< the reference, same metric and unit
      std::string floorName;            ///< what the reference is
      std::optional<Target> target;     ///< the bound it should keep, if any
    };

    /// Starts an empty table for program `program`.
    explicit ResultTable(std::string program);

    /// Appends a row.
    void add(Row row);
    /// Appends a free-text note printed under the table.
    void note(std::string text);
    /// The rows so far.
    const std::vector<Row>& rows() const { return rows_; }

    /// value / floor, when there is a positive floor.
    static std::optional<double> ratio(const Row& row);
    /// Whether the row keeps its target; nothing when it has none.
    static std::optional<bool> met(const Row& row);

    /// Writes one line a row to `out`: subject, metric, value and unit.
    void print(std::ostream& out) const;

    /// Writes the table as JSON to `path`; throws std::runtime_error when
    /// the file can't be written.
    void write(const std::string& path) const;

  private:
    std::string program_;
    std::vector<Row> rows_;
    std::vector<std::string> notes_;
  };
}
