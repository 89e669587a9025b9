#pragma once
// One MIDI input port of the Windows multimedia interface.
//
// Threading: listDevices and open run on the caller's thread (start-up).
// midiInCallback, handleInput and onMessage run on the MIDI system's input
// thread, one message at a time. MidiIn takes no lock; an override of
// onMessage brings its own.
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include <windows.h>
#include <mmsystem.h>

/// A MIDI input device that turns each short message into onMessage.
class MidiIn
{
public:
  /// When true, every callback is logged as a "message <code> <param1>" line.
  bool traceRaw = false;
  /// The device, once midiInOpen succeeded.
  HMIDIIN handle = nullptr;

  /// Names of the MIDI input devices; entry i is device number i.
  std::vector<std::string> listDevices();

  /// Opens and starts device `device`; true only when both succeeded.
  bool open(int device);

  /// Handles one callback of the MIDI system: MIM_DATA becomes onMessage.
  void handleInput(std::uint32_t msg, std::uint32_t param1, std::uint32_t param2);

  /// Called for each short message; by default writes its trace line.
  virtual void onMessage(std::uint8_t kind, std::uint8_t channel, std::uint8_t data1,
                         std::uint8_t data2);

  /// Writes the one-line trace of an event to `out` and flushes it.
  static void printMessage(std::ostream& out, std::uint8_t kind, std::uint8_t channel,
                           std::uint8_t data1, std::uint8_t data2);

protected:
  // Objects are destroyed only as the bridge, never through this base.
  ~MidiIn() = default;
};

/// The callback given to midiInOpen; `instance` is the MidiIn object.
void CALLBACK midiInCallback(HMIDIIN device, UINT msg, DWORD_PTR instance, DWORD_PTR param1,
                             DWORD_PTR param2);
