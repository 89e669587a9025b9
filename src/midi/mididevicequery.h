#pragma once
// Where MidiIn reads the device list from: the MIDI system's two calls (the
// device count and the name of one device), or a test's stand-in.
//
// Threading: called on whichever thread lists the devices (start-up, the
// watch thread of MidiIn, under MidiIn's watch mutex once it is open).
#include <string>

/// The device count and the names of the MIDI input devices.
class MidiDeviceQuery
{
public:
  /// Looks at the MIDI system and answers the number of input devices now listed.
  virtual unsigned int count() = 0;

  /// The name of device `device` of the look that the last count made into
  /// `name`; false when that device can't be asked.
  virtual bool name(unsigned int device, std::string& name) = 0;

  /// The MIDI system's own query (midiInGetNumDevs, midiInGetDevCapsA).
  static MidiDeviceQuery& system();

protected:
  ~MidiDeviceQuery() = default;
};
