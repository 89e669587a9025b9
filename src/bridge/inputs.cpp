// The bridge's further MIDI inputs: each an InputPort (a MidiIn of its own
// device) whose messages go to Midi::dispatchFrom.
#include "bridge/inputs.h"

#include <string>

#include "bridge/midi.h"
#include "log/stderr_line.h"
#include "midi/devicename.h"
#include "vaxo/client.h"

InputPort::InputPort(Midi& bridge, int index) : bridge_(bridge), index_(index) {}

InputPort::~InputPort()
{
  // The watch and the device's thread end here, before the members that
  // their calls use.
  close();
}

void InputPort::onMessage(std::uint8_t kind, std::uint8_t channel, std::uint8_t data1, std::uint8_t data2)
{
  bridge_.dispatchFrom(index_, kind, channel, data1, data2);
}

void InputPort::onMoreInput()
{
  bridge_.beginRound();
}

void InputPort::onInputEnd()
{
  bridge_.endRound();
}

Inputs::Inputs(Midi& bridge) : bridge_(bridge) {}

Inputs::~Inputs()
{
  close();
}

int Inputs::open(const InputLine& line, const std::vector<std::string>& devices)
{
  std::lock_guard<std::mutex> guard(mutex_);
  return openLocked(line, devices);
}

int Inputs::openLocked(const InputLine& line, const std::vector<std::string>& devices)
{
  const std::vector<std::size_t> found = DeviceName::find(line.name, devices);
  if (!found.empty() && DeviceName::ambiguous(found, devices))
    return -2;
  for (int index = 1; index < maxInputs; ++index)
  {
    Slot& slot = slots_[static_cast<std::size_t>(index)];
    if (slot.port)
      continue;
    bridge_.setInputChannel(index, line.channel);
    auto port = std::make_unique<InputPort>(bridge_, index);
    // A device not there yet is waited for, as one that goes away is.
    if (found.empty())
      port->waitFor(line.name);
    else if (!port->open(static_cast<int>(found.front()), devices, line.name))
    {
      notara::StderrLine() << "Inputs::open: MIDI device \"" << devices[found.front()]
                           << "\" can't be opened: " << port->openError() << "; waiting for it";
      port->waitFor(line.name);
    }
    if (!found.empty())
      notara::StderrLine() << "Input " << index << ": MIDI device \"" << devices[found.front()] << "\" (number "
                           << found.front() << ")"
                           << (line.channel >= 0 ? ", its channel messages as channel " + std::to_string(line.channel)
                                                 : std::string());
    slot.port = std::move(port);
    slot.line = line;
    slot.fromCommandLine = false;
    return index;
  }
  return -1;
}

void Inputs::markCommandLine()
{
  std::lock_guard<std::mutex> guard(mutex_);
  for (Slot& slot : slots_)
    if (slot.port)
      slot.fromCommandLine = true;
}

void Inputs::setFirstFromConfiguration(bool first)
{
  std::lock_guard<std::mutex> guard(mutex_);
  firstFromConfiguration_ = first;
}

std::string Inputs::apply(const std::vector<InputLine>& allLines, const std::vector<std::string>& devices)
{
  std::lock_guard<std::mutex> guard(mutex_);
  // The first line's input is the bridge's own, which stays as it is.
  const std::vector<InputLine> lines(allLines.begin() + (firstFromConfiguration_ && !allLines.empty() ? 1 : 0),
                                     allLines.end());
  // Each line keeps the first open input of the same line; the lines left
  // over open afresh, the inputs left over close.
  std::vector<bool> kept(static_cast<std::size_t>(maxInputs), false);
  std::vector<InputLine> added;
  for (const InputLine& line : lines)
  {
    bool found = false;
    for (int index = 1; index < maxInputs && !found; ++index)
    {
      const Slot& slot = slots_[static_cast<std::size_t>(index)];
      if (slot.port && !slot.fromCommandLine && !kept[static_cast<std::size_t>(index)] && slot.line == line)
      {
        kept[static_cast<std::size_t>(index)] = true;
        found = true;
      }
    }
    if (!found)
      added.push_back(line);
  }
  std::string removedText;
  for (int index = 1; index < maxInputs; ++index)
  {
    Slot& slot = slots_[static_cast<std::size_t>(index)];
    if (!slot.port || slot.fromCommandLine || kept[static_cast<std::size_t>(index)])
      continue;
    removedText += (removedText.empty() ? "" : ", ") + std::to_string(index);
    // Destroying the port ends its threads; a message being dispatched
    // finishes first.
    slot.port.reset();
    slot.line = InputLine{};
    bridge_.setInputChannel(index, -1);
  }
  std::string addedText;
  for (const InputLine& line : added)
  {
    const int index = openLocked(line, devices);
    if (index >= 0)
      addedText += (addedText.empty() ? "" : ", ") + std::to_string(index);
    else if (index == -2)
      notara::StderrLine() << "Inputs::apply: input \"" << line.name << "\" names more than one MIDI device; not opened";
    else
      notara::StderrLine() << "Inputs::apply: input \"" << line.name << "\" not opened: notara reads "
                           << maxInputs << " inputs at most";
  }
  return "input numbers added " + (addedText.empty() ? std::string("none") : addedText) + ", removed " +
         (removedText.empty() ? std::string("none") : removedText);
}

std::vector<InputView> Inputs::views() const
{
  std::vector<InputView> views;
  std::lock_guard<std::mutex> guard(mutex_);
  for (int index = 1; index < maxInputs; ++index)
  {
    const Slot& slot = slots_[static_cast<std::size_t>(index)];
    if (!slot.port)
      continue;
    InputView view;
    view.index = index;
    view.line = slot.line;
    view.midi = slot.port->inputView();
    views.push_back(std::move(view));
  }
  return views;
}

void Inputs::close()
{
  std::lock_guard<std::mutex> guard(mutex_);
  for (Slot& slot : slots_)
    slot.port.reset();
}
