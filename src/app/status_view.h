#pragma once
// The bridge as the status server sees it.
//
// Threading: constructed on the main thread before the server starts;
// snapshot runs on the status server's thread and reads the bridge's
// relaxed atomics, its event ring and its robot links' views (RobotLinks'
// mutex, which the MIDI thread never takes). It takes no lock of the MIDI
// thread's.
#include <cstdint>
#include <string>

#include "status/status_source.h"

class Midi;

/// The status source of a running bridge.
class StatusView : public status::StatusSource
{
public:
  /// A view of `midi`, whose input device is called `device`; uptime
  /// counts from now.
  StatusView(Midi& midi, std::string device);
  /// The bridge's state now.
  status::Snapshot snapshot() override;

private:
  Midi& midi_;
  const std::string device_;
  const std::int64_t startUs_;
};
