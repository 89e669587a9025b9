#pragma once
// The bridge's MIDI inputs after the first, which is the bridge's own
// MidiIn: each a device of its own, opened, watched and reopened by itself,
// whose events enter the bridge's one dispatch entry (Midi::dispatchFrom)
// with its input number.
//
// Threading:
// - open, apply and close run on the thread that starts or reloads the
//   configuration (main, then the reloader), one at a time; they take
//   `mutex_`, which no input thread takes;
// - each input's MIDI thread runs its InputPort's onMessage, onMoreInput
//   and onInputEnd, and so Midi::dispatchFrom, with no lock of this
//   object held;
// - views runs on any thread but an input thread; it takes `mutex_` and
//   reads each input's relaxed atomics (MidiIn::inputView).
#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bridge/input_line.h"
#include "midi/midi_input_view.h"
#include "midi/midiin.h"

class Midi;

/// One input of the bridge after the first: a MidiIn whose messages go to
/// the bridge's dispatch under its number.
class InputPort final : public MidiIn
{
public:
  /// Input number `index` (1 and up) of `bridge`, which outlives it.
  InputPort(Midi& bridge, int index);
  /// Ends the watch and closes the device.
  ~InputPort();
  InputPort(const InputPort&) = delete;
  InputPort& operator=(const InputPort&) = delete;

  /// Hands the message to the bridge's dispatch (input thread).
  void onMessage(std::uint8_t kind, std::uint8_t channel, std::uint8_t data1, std::uint8_t data2) override;
  /// More messages are in hand: the robots' texts wait (input thread).
  void onMoreInput() override;
  /// Writes what onMoreInput held (input thread).
  void onInputEnd() override;

private:
  Midi& bridge_;
  const int index_;
};

/// What the status shows of one input.
struct InputView
{
  int index = 0;              ///< 0 for the first input
  InputLine line;             ///< the name asked for and the channel given
  MidiInputView midi;         ///< the device, its state and its counts
  std::uint64_t clocksIgnored = 0;  ///< clock, start, stop and continue not taken
};

/// The bridge's inputs 1 to maxInputs - 1.
class Inputs
{
public:
  /// Inputs in all, the first (the bridge's own) among them.
  static constexpr int maxInputs = 8;

  /// For `bridge`, which outlives the object.
  explicit Inputs(Midi& bridge);
  /// Closes every input.
  ~Inputs();
  Inputs(const Inputs&) = delete;
  Inputs& operator=(const Inputs&) = delete;

  /// Opens an input for `line` (or waits for it, as --device does) at the
  /// lowest free number, from the device list `devices`; its number, or
  /// -1 when every number is taken, or -2 when its name picks devices of
  /// two or more names (the caller says which).
  int open(const InputLine& line, const std::vector<std::string>& devices);
  /// Makes the inputs that came from the configuration those of `lines`:
  /// an input whose line is unchanged stays open and loses nothing; others
  /// are closed, and new lines opened. Inputs opened by the command line
  /// are left alone. What changed, for the reload's line.
  std::string apply(const std::vector<InputLine>& lines, const std::vector<std::string>& devices);
  /// Marks the inputs open now as the command line's (apply leaves them).
  void markCommandLine();
  /// With `first`, the configuration's first input line is the bridge's own
  /// device (the command line named none): apply leaves that line out.
  void setFirstFromConfiguration(bool first);
  /// Each open input in number order (the first not among them).
  std::vector<InputView> views() const;
  /// Closes every input.
  void close();

private:
  struct Slot
  {
    std::unique_ptr<InputPort> port;
    InputLine line;
    bool fromCommandLine = false;
  };

  // With mutex_ held.
  int openLocked(const InputLine& line, const std::vector<std::string>& devices);

  Midi& bridge_;
  mutable std::mutex mutex_;
  bool firstFromConfiguration_ = false;
  std::array<Slot, maxInputs> slots_{};  // slot 0 stays empty: the bridge's own
};
