#pragma once
// Where the bridge's robot texts go instead of the robot links: the
// renderer collects them here, with no robot connected.
//
// Threading: send is called where Midi::send is (the MIDI input thread, a
// robot connection's I/O thread), with no lock of the bridge held.
#include <string>

/// Receives every text the bridge sends to robots.
class TextSink
{
public:
  virtual ~TextSink() = default;
  /// Takes `text` for the robots of `robotMask` (bit i = slot i).
  virtual void send(int robotMask, const std::string& text) = 0;
};
