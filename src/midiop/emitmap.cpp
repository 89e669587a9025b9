#include "midiop/emitmap.h"

#include "midiop/eventtext.h"
#include "midiop/registration.h"

// Registers the kind during static initialisation; const, so local to this file.
const midiop::Registration<midiop::EmitMap> registration("EmitMap");

namespace midiop
{
  bool EmitMap::setup(const std::vector<std::string>& params)
  {
    if (params.size() != 1)
      return refuseCount("EmitMap", "EVENTNAME", params.size());
    eventName = params[0];
    return true;
  }

  void EmitMap::execute(int robotMask, int kind, int slot, int data1, int data2)
  {
    text_.clear();
    text_ += "emit ";
    text_ += eventName;
    text_ += '(';
    appendDecimal(text_, kind);
    text_ += ',';
    appendDecimal(text_, slot);
    text_ += ',';
    appendDecimal(text_, data1);
    text_ += ',';
    appendDecimal(text_, data2);
    text_ += "),";
    midi->send(robotMask, text_);
  }
}
