#pragma once
// Numbered runs of MIDI events for end-to-end tests: event k is a note on
// of channel 0 whose key and velocity carry k (k below 16,256), and the
// text an "EmitMap NAME" action makes of it.
//
// Threading: plain functions.
#include <string>
#include <vector>

namespace notara::test
{
  /// Event k's key.
  inline int keyOf(int k) { return k % 128; }
  /// Event k's velocity (never 0, which would make a note off).
  inline int velocityOf(int k) { return 1 + (k / 128) % 127; }
  /// The text "EmitMap `name`" makes of event k.
  std::string textOf(int k, const std::string& name = "midi.key");
  /// The numbers of the events whose texts of `name` make up `texts`, in
  /// order; -1 for a text that is no such event's (and nothing after it).
  std::vector<int> eventsIn(const std::string& texts, const std::string& name = "midi.key");
}
