#pragma once
// One MIDI input port of the Windows multimedia interface.
//
// Once open, a watch thread of the object looks at the device list every
// quarter of a second: when no device of the open device's name is listed
// any more (unplugged, its MIDI system gone), it closes the device and says
// so in one line; when one of that name is listed again, under whatever
// number, it opens and starts it, with one line. DeviceWatch holds the
// decisions, and what it does with two devices of the same name.
//
// Threading: listDevices, open and close run on the caller's thread
// (start-up, the end of the process). midiInCallback, handleInput,
// onMessage, onMoreInput and onInputEnd run on the MIDI system's input
// thread, one message at a time, with no lock of MidiIn held; an override
// of onMessage brings its own. The
// watch thread opens and closes the device under the object's watch mutex,
// which open and close take too. inputView runs on any other thread: it
// reads relaxed atomics that the input thread counts, and the device name
// under a small mutex that the input thread never takes.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <iosfwd>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>
#include <mmsystem.h>

#include "midi/devicewatch.h"
#include "midi/midi_input_view.h"

class MidiDeviceQuery;

/// A MIDI input device that turns each short message into onMessage.
class MidiIn
{
public:
  /// The device, once midiInOpen succeeded.
  HMIDIIN handle = nullptr;

  /// Names of the MIDI input devices, all from one look at the MIDI
  /// system; entry i is device number i.
  std::vector<std::string> listDevices();

  /// Opens and starts device `device`, then watches it; true only when
  /// both succeeded.
  bool open(int device);

  /// The same with `listed`, the list that the last listDevices made, so
  /// that the number is the one chosen from it; `wanted`, when not empty,
  /// is the name the user picked it by, which the watch also matches when
  /// the device comes back under another name (midi/devicewatch.h).
  bool open(int device, const std::vector<std::string>& listed, const std::string& wanted = {});

  /// Opens no device now: writes `waiting for MIDI device "<wanted>"` and
  /// lets the watch open the first device that `wanted` picks (see
  /// DeviceName::find) once it is listed. False once the object is closed.
  bool waitFor(const std::string& wanted);

  /// Why the last open failed, in the MIDI system's words.
  std::string openError() const;

  /// Ends the watch and closes the device; nothing opens it afterwards.
  void close();

  /// Handles one callback of the MIDI system: MIM_DATA and MIM_MOREDATA
  /// become onMessage, the latter after onMoreInput; every code but
  /// MIM_MOREDATA is followed by onInputEnd.
  void handleInput(std::uint32_t msg, std::uint32_t param1, std::uint32_t param2);

  /// Called for each short message; by default writes its trace line.
  virtual void onMessage(std::uint8_t kind, std::uint8_t channel, std::uint8_t data1,
                         std::uint8_t data2);

  /// Called on the input thread before a message that more follow (the
  /// MIDI system has them in hand); does nothing by default.
  virtual void onMoreInput();
  /// Called on the input thread after the last message in hand; does
  /// nothing by default.
  virtual void onInputEnd();

  /// The device, its state and its counts now. Never called on the MIDI
  /// input thread; takes only the name's mutex, which that thread never takes.
  MidiInputView inputView() const;

  /// Writes the trace of an event to `out`, without the end of the line.
  static void printMessage(std::ostream& out, std::uint8_t kind, std::uint8_t channel,
                           std::uint8_t data1, std::uint8_t data2);

protected:
  /// Lists the devices through the MIDI system.
  MidiIn();
  /// Lists the devices through `devices`, which outlives the object.
  explicit MidiIn(MidiDeviceQuery& devices);

  // Objects are destroyed only as the bridge, never through this base. The
  // watch ends with the object; the device stays as it is.
  ~MidiIn();

private:
  // Opens and starts device `device` into `handle`; closes it again when
  // the start fails. With watchMutex_ held.
  bool openDevice(UINT device);
  // Publishes the state and, when given, the device's name for inputView.
  void publish(MidiInputView::State state, const std::string* name = nullptr);
  // Stops and closes `handle`. With watchMutex_ held.
  void closeDevice();
  void watchLoop();
  // One look at the device list and what it decides. With watchMutex_ held.
  void lookOnce();
  void endWatch();
  // Starts the watch thread unless it runs. With watchMutex_ held.
  void startWatch();

  MidiDeviceQuery& devices_;

  std::mutex watchMutex_;  // guards handle's changes, watch_, ending_ and lastError_
  std::condition_variable watchWake_;
  std::optional<DeviceWatch> watch_;
  bool ending_ = false;
  MMRESULT lastError_ = MMSYSERR_NOERROR;
  // What inputView reads: counted on the input thread (relaxed), the state
  // set by open, close and the watch, the name under its own mutex.
  std::atomic<std::uint64_t> eventsRead_{0};
  std::atomic<std::uint64_t> dropped_{0};
  std::atomic<std::uint64_t> received_{0};
  std::atomic<std::uint64_t> periodsMissed_{0};
  std::atomic<MidiInputView::State> state_{MidiInputView::State::closed};
  mutable std::mutex nameMutex_;  // guards deviceName_ only
  std::string deviceName_;
  std::thread watchThread_;
};

/// The callback given to midiInOpen; `instance` is the MidiIn object.
void CALLBACK midiInCallback(HMIDIIN device, UINT msg, DWORD_PTR instance, DWORD_PTR param1,
                             DWORD_PTR param2);
