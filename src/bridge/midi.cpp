#include "bridge/midi.h"

#include <algorithm>
#include <iostream>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "bridge/actionowners.h"
#include "bridge/time_source.h"
#include "libgantry/utime.h"
#include "log/stderr_line.h"

Midi::Midi() : Midi(RobotClientFactory())
{
}

Midi::Midi(RobotClientFactory clients, TextSink* sink, TimeSource* time)
    : debugLevel(0),
      ticksPerBeat(1),
      parameter(0),
      actions(),
      lock(),
      owners(std::make_unique<ActionOwners>()),
      robots(std::move(clients)),
      clockCount(0),
      running(false),
      sink_(sink),
      time_(time)
{
  for (auto& channel : inputChannels_)
    channel.store(-1);
  for (auto& count : clocksIgnored_)
    count.store(0);
}

void Midi::setFirstInput(const InputLine& line)
{
  {
    std::lock_guard<std::mutex> guard(firstInputMutex_);
    firstInput_ = line;
  }
  setInputChannel(0, line.channel);
}

void Midi::setInputChannel(int input, int channel)
{
  if (input >= 0 && input < Inputs::maxInputs)
    inputChannels_[static_cast<std::size_t>(input)].store(channel >= 0 && channel < 16 ? channel : -1);
}

std::vector<InputView> Midi::inputViews() const
{
  std::vector<InputView> views;
  InputView first;
  first.index = 0;
  {
    std::lock_guard<std::mutex> guard(firstInputMutex_);
    first.line = firstInput_;
  }
  first.midi = inputView();
  views.push_back(std::move(first));
  for (InputView& view : inputs_.views())
  {
    view.clocksIgnored = clocksIgnored_[static_cast<std::size_t>(view.index)].load(std::memory_order_relaxed);
    views.push_back(std::move(view));
  }
  return views;
}

ClockView Midi::clockView() const
{
  ClockView view;
  view.running = clockRunning_.load(std::memory_order_relaxed);
  if (const std::int64_t bpm = lastBpm_.load(std::memory_order_relaxed); bpm != noTempo)
    view.bpm = bpm;
  return view;
}

SettingsView Midi::settingsView() const
{
  return {parameter.load(std::memory_order_relaxed), debugLevel.load(std::memory_order_relaxed)};
}

// Members go in reverse declaration order: the robot links (their threads
// stop), the owners' counts, the mutex handle, then the action tables from
// slot 31 down to slot 0, and with the last record of each operation the
// operation.
Midi::~Midi() = default;

std::int64_t Midi::now()
{
  return time_ ? time_->microseconds() : libgantry::utime();
}

bool Midi::Operation::setup(const std::vector<std::string>&)
{
  return true;
}

bool Midi::Operation::refuse(std::string why)
{
  refusal_ = std::move(why);
  return false;
}

bool Midi::Operation::refuseCount(const char* kind, const char* usage, std::size_t given)
{
  return refuse(std::string(kind) + ": needs " + usage + ", got " + std::to_string(given) +
                (given == 1 ? " parameter" : " parameters"));
}

std::size_t Midi::withdrawActions(int robotSlot)
{
  std::size_t withdrawn = 0;
  {
    std::lock_guard<Lockable> guard(lock);
    withdrawn = owners->withdraw(actions, robotSlot);
  }
  if (withdrawn > 0 && debugLevel > 3)
    notara::StderrLine() << "Withdrew " << withdrawn << " actions registered by robot " << robotSlot;
  return withdrawn;
}

std::size_t Midi::adoptActions(Midi& staged, std::uint32_t goneRobots)
{
  // The new tables are made before the lock; under it the robots' records
  // are appended to them (the tables may grow then) and the tables swapped.
  ActionOwners::Tables next;
  for (std::size_t i = 0; i < next.size(); ++i)
  {
    next[i] = std::move(staged.actions[i]);
    staged.actions[i].clear();
    for (Action& action : next[i])
      action.operation->midi = this;
  }
  // The configuration's old records, let go of after the lock: with the
  // last record of an operation the operation goes.
  std::vector<Action> old;
  std::size_t inForce = 0;
  {
    std::lock_guard<Lockable> guard(lock);
    for (int slot = 0; slot < slotCount; ++slot)
      if ((goneRobots & (std::uint32_t{1} << slot)) != 0)
        owners->withdraw(actions, slot);
    for (std::size_t i = 0; i < actions.size(); ++i)
    {
      // The new configuration's records, then the robots' that stay, in
      // their order: as a start followed by those registrations.
      for (const Action& action : actions[i])
        if (action.owner == configurationOwner)
          old.push_back(action);
        else
          next[i].push_back(action);
      actions[i].swap(next[i]);
      inForce += actions[i].size();
    }
  }
  // No walk can run one of them now: each walk holds the lock, and the
  // tables it walks hold them no more.
  old.clear();
  return inForce;
}
