#include "midiop/emitmap.h"

#include "midiop/eventtext.h"

namespace
{
  Midi::Operation* createEmitMap()
  {
    return new midiop::EmitMap;
  }

  const Midi::OperationRegistration registration("EmitMap", &createEmitMap);
}

namespace midiop
{
  bool EmitMap::setup(const std::vector<std::string>& params)
  {
    if (params.size() != 1)
      return false;
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
