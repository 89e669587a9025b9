#include "bridge/midi.h"

#include <iostream>
#include <mutex>

#include "bridge/actionowners.h"
#include "bridge/time_source.h"
#include "libgantry/utime.h"

Midi::Midi(TextSink* sink, TimeSource* time)
    : debugLevel(0),
      ticksPerBeat(1),
      parameter(0),
      actions(),
      lock(),
      owners(std::make_unique<ActionOwners>()),
      robots(),
      clockCount(0),
      running(false),
      sink_(sink),
      time_(time)
{
}

// Members go in reverse declaration order: the robot links (their threads
// stop), the owners' counts, the mutex handle, then the action tables from
// slot 31 down to slot 0. The operations in the tables are not freed, so
// they stay alive.
Midi::~Midi() = default;

std::int64_t Midi::now()
{
  return time_ ? time_->microseconds() : libgantry::utime();
}

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
