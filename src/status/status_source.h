#pragma once
// What the status server asks of the program it watches.
//
// Threading: snapshot runs on the status server's thread, never on the MIDI
// thread or a robot link's. An implementation reads relaxed atomics and
// fixed rings only and takes no lock that the MIDI thread or a robot link
// takes, so that no client of the server can delay them.
#include "status/snapshot.h"

namespace status
{
  /// The state the status server shows, read on demand.
  class StatusSource
  {
  public:
    virtual ~StatusSource() = default;
    /// A copy of the present state.
    virtual Snapshot snapshot() = 0;
  };
}
