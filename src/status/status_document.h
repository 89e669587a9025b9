#pragma once
// The status server's two documents, made from a snapshot: the JSON status
// document and the metrics in the Prometheus text format (version 0.0.4).
//
// Threading: pure functions of their argument; the server's thread.
#include <string>

#include "status/snapshot.h"

namespace status
{
  /// The JSON document of `snapshot` (docs/status.md lists its names). Bytes
  /// that are not UTF-8 in a robot's text or a name show as U+FFFD.
  std::string statusJson(const Snapshot& snapshot);
  /// The metrics of `snapshot`, every name prefixed notara_.
  std::string metricsText(const Snapshot& snapshot);
}
