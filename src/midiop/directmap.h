#pragma once
// DirectMap: scales one data byte of an event into a script variable on the
// action's robots ("name=value,").
//
// Threading: setup runs on the installing thread before the operation is
// visible to dispatch; execute runs on the MIDI input thread with the
// bridge's lock held, which also guards the reused text buffer.
#include <string>
#include <vector>

#include "bridge/midi.h"

namespace midiop
{
  /// Sends data byte times scale plus offset as a variable assignment.
  class DirectMap : public Midi::Operation
  {
  public:
    /// Name of the script variable that receives the value.
    std::string variable;
    /// 0 takes the value from data1, anything else from data2.
    int sourceByte = 0;
    /// Factor applied to the selected byte.
    double scale = 0;
    /// Added after scaling.
    double offset = 0;
    /// Value sent on an off event; exactly -1 sends nothing then.
    double offValue = -1;
    /// When true, data1 in decimal is appended to the variable name.
    bool appendData1 = false;

    /// Takes variable, sourceByte, scale, offset[, offValue[, appendData1]];
    /// raises boost::bad_lexical_cast for a parameter that is not a number.
    bool setup(const std::vector<std::string>& params) override;
    /// Sends the assignment for one event.
    void execute(int robotMask, int kind, int slot, int data1, int data2) override;

  private:
    std::string text_;  // reused for every event, so sending allocates nothing
  };
}
