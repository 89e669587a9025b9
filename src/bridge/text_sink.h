#pragma once
// Where the bridge's robot texts go instead of the robot links: the
// renderer collects them here, with no robot connected.
//
// Threading: send is called where Midi::send is: on the MIDI input thread,
// with the bridge's `lock` held when an action's operation sends (the
// dispatch walk) and the dispatch mutex held for every event's texts; on a
// robot connection's I/O thread (the control channel), with no lock of the
// bridge held.
#include <string>

/// Receives every text the bridge sends to robots.
class TextSink
{
public:
  virtual ~TextSink() = default;
  /// Takes `text` for the robots of `robotMask` (bit i = slot i).
  virtual void send(int robotMask, const std::string& text) = 0;
};
