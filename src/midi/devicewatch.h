#pragma once
// The decisions of the watch over an open MIDI input device, made from the
// device list alone, so that a device unplugged and plugged back in (under
// whatever number) is closed and opened again. Devices are known by name:
// that is all that the device list tells, on Windows as elsewhere.
//
// Two or more devices of the same name: the watch can't tell them apart.
// It opens the first one of the list, and while it is open it counts the
// devices of that name; when the count falls it can't tell which one went,
// so it gives the device up and opens the first one of that name again at
// the next look (a lost and a found line), rather than keep listening to a
// device that may be gone.
//
// Names are compared as DeviceName::same compares them: ALSA's trailing
// client and port numbers don't count. A watch made for a name given by the
// user starts with no device open and opens the first one that name picks
// (DeviceName::find) once one is listed; while it picks devices of two or
// more names it opens none and says so once. A device opened for a name the
// user gave that goes away comes back under its own name or, when no device
// of that name is listed, as the first device the user's name picks among
// those that were not listed when it went (a JACK client that came back
// under a name of the server's choosing, because another client held its
// own).
//
// Threading: a plain value, used by one thread at a time (MidiIn's watch
// thread, under MidiIn's watch mutex).
#include <cstddef>
#include <string>
#include <vector>

/// What to do with a watched device after one look at the device list.
class DeviceWatch
{
public:
  /// The step that a look decides.
  enum class Step
  {
    keep,  ///< nothing to do
    lose,  ///< the device is gone: close it
    open,  ///< a device of the name is listed again: open `device`
    ambiguous,  ///< the name given picks devices of two or more names: open none
  };

  /// A look's decision: the step, and for `open` the device number.
  struct Decision
  {
    Step step = Step::keep;
    unsigned int device = 0;
  };

  /// Watches the device named `name`, open now, with the list it was opened
  /// from; `wanted`, when not empty, is the name the user gave for it.
  DeviceWatch(std::string name, const std::vector<std::string>& listed, std::string wanted = {});

  /// Waits, with no device open, for a device that `wanted` picks.
  explicit DeviceWatch(std::string wanted);

  /// Decides from the device list `listed` (entry i names device i) and
  /// `failed`, true when the MIDI system closed the open device itself.
  /// A `lose` counts as done: the device is taken as closed afterwards.
  Decision look(const std::vector<std::string>& listed, bool failed);

  /// The device that the last `open` step named is open and started.
  void opened();
  /// Opening it failed; true only for the first failure since it was last
  /// open, so that a device that can't be opened is reported once.
  bool openFailed();

  /// The name of the watched device (the name given, until one is open).
  const std::string& name() const { return name_; }
  /// The name the user gave, or the device's name when it was chosen by number.
  const std::string& wanted() const { return wanted_.empty() ? name_ : wanted_; }
  /// True while the device is open.
  bool isOpen() const { return open_; }

private:
  std::size_t countListed(const std::vector<std::string>& listed) const;

  std::string name_;
  // The name the user gave (empty for a device chosen by number).
  std::string wanted_;
  // The device list when the open device went: none of those devices is it
  // coming back under another name.
  std::vector<std::string> listedAtLoss_;
  // The listed name of the device that the last `open` step named.
  std::string opening_;
  bool open_ = true;
  // Made for a name given by the user and no device of it opened yet.
  bool waiting_ = false;
  bool ambiguityReported_ = false;
  bool failureReported_ = false;
  // Devices of the name listed at the last look (at opening, at first).
  std::size_t alike_ = 0;
  std::size_t alikeAtOpen_ = 0;
};
