// Stand-ins until actions carry their owner.
#include "bridge/midi.h"

VCallbackAction Midi::onControl(const VMessage& msg, int)
{
  return onControl(msg);
}

std::size_t Midi::withdrawActions(int)
{
  return 0;
}
