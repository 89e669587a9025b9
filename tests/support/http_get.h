#pragma once
// A plain HTTP/1.1 GET to 127.0.0.1, for tests that read notara's status
// server (its /metrics and /status.json).
//
// Threading: any thread; each call opens a connection of its own.
#include <cstdint>
#include <string>

namespace notara::test
{
  /// The body of GET `target` on 127.0.0.1:`port`; throws std::runtime_error
  /// naming the target when the answer is not 200 or does not come.
  std::string httpGet(unsigned port, const std::string& target);

  /// The value of the Prometheus sample whose line starts with `prefix`
  /// (the metric name and the start of its labels) and whose labels contain
  /// `contains`, in the text `metrics`; throws std::runtime_error naming
  /// them when there is none.
  double metricValue(const std::string& metrics, const std::string& prefix, const std::string& contains = "");
}
