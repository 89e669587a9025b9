#pragma once
// Where a PatternPlayer takes its events from, one at a time in playing
// order: a pattern's list, or a song file walked as it plays.
//
// Threading: called on the player's thread only.
#include "midi-pattern/pattern.h"

namespace midipattern
{
  /// Hands out timed events in order.
  class EventSource
  {
  public:
    virtual ~EventSource() = default;
    /// The next event into `event`; false at the end.
    virtual bool next(PatternEvent& event) = 0;
  };
}
