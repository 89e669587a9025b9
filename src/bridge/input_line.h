#pragma once
// One MIDI input as the command line or an `input` line of the
// configuration names it.
//
// Threading: a plain value.
#include <string>

/// The device a MIDI input reads and the channel it stands for.
struct InputLine
{
  /// The device's name, matched as --device matches (midi/devicename.h).
  std::string name;
  /// The channel (0 to 15) its channel messages are taken as, or -1 for
  /// their own.
  int channel = -1;

  /// Same name and channel.
  bool operator==(const InputLine& other) const { return name == other.name && channel == other.channel; }
  /// Not the same.
  bool operator!=(const InputLine& other) const { return !(*this == other); }
};
