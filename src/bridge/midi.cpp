#include "bridge/midi.h"

Midi::Midi()
    : debugLevel(0),
      ticksPerBeat(1),
      parameter(0),
      actions(),
      lock(),
      robots(),
      clockCount(0),
      running(false)
{
}

// Members go in reverse declaration order: the robot links (their threads
// stop), then the mutex handle, then the action tables from slot 31 down to
// slot 0. The operations are not owned, so they stay alive.
Midi::~Midi() = default;

bool Midi::Operation::setup(const std::vector<std::string>&)
{
  return true;
}
