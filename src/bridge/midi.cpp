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
  // The robot slots are filled last, after the mutex exists; a failure to
  // get their storage unwinds the members built so far in reverse order.
  robots = std::vector<std::atomic<VSyncClient*>>(slotCount);
  for (auto& robot : robots)
    robot.store(nullptr);
}

// Members go in reverse declaration order: the robot slots' storage, then the
// mutex handle, then the action tables from slot 31 down to slot 0. Neither
// the robot clients nor the operations are owned, so both stay alive.
Midi::~Midi() = default;

bool Midi::Operation::setup(const std::vector<std::string>&)
{
  return true;
}
