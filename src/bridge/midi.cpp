#include "bridge/midi.h"

#include <iostream>
#include <mutex>

#include "bridge/actionowners.h"

Midi::Midi() : Midi(RobotClientFactory())
{
}

Midi::Midi(RobotClientFactory clients)
    : debugLevel(0),
      ticksPerBeat(1),
      parameter(0),
      actions(),
      lock(),
      owners(std::make_unique<ActionOwners>()),
      robots(std::move(clients)),
      clockCount(0),
      running(false)
{
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
// slot 31 down to slot 0. The operations in the tables are not freed, so
// they stay alive.
Midi::~Midi() = default;

bool Midi::Operation::setup(const std::vector<std::string>&)
{
  return true;
}

std::size_t Midi::withdrawActions(int robotSlot)
{
  std::size_t withdrawn = 0;
  {
    std::lock_guard<Lockable> guard(lock);
    withdrawn = owners->withdraw(actions, robotSlot);
  }
  if (withdrawn > 0 && debugLevel > 3)
    std::cerr << "Withdrew " << withdrawn << " actions registered by robot " << robotSlot
              << std::endl;
  return withdrawn;
}
