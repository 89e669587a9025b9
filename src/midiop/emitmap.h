#pragma once
// EmitMap: forwards every matching event unchanged to the robots as the
// script event "emit <name>(kind,slot,data1,data2),".
//
// Threading: setup runs on the installing thread before the operation is
// visible to dispatch; execute runs on the MIDI input thread with the
// bridge's lock held, which also guards the reused text buffer.
#include <string>
#include <vector>

#include "bridge/midi.h"

namespace midiop
{
  /// Emits a named script event for every event, on or off alike.
  class EmitMap : public Midi::Operation
  {
  public:
    /// Name of the script event.
    std::string eventName;

    /// Takes exactly one parameter, the event name.
    bool setup(const std::vector<std::string>& params) override;
    /// Emits the event with kind, slot, data1 and data2.
    void execute(int robotMask, int kind, int slot, int data1, int data2) override;

  private:
    std::string text_;  // reused for every event, so sending allocates nothing
  };
}
