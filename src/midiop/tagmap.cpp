#include "midiop/tagmap.h"

#include <iostream>

#include "midiop/eventtext.h"
#include "midiop/registration.h"
#include "log/stderr_line.h"

// Registers the kind during static initialisation; const, so local to this file.
const midiop::Registration<midiop::TagMap> registration("TagMap");

namespace midiop
{
  bool TagMap::setup(const std::vector<std::string>& params)
  {
    if (params.size() != 1 && params.size() != 2)
      return refuseCount("TagMap", "TAG [APPENDNOTE]", params.size());
    tag = params[0];
    appendData1 = params.size() == 2 && (params[1] == "1" || params[1] == "true");
    return true;
  }

  void TagMap::execute(int robotMask, int kind, int /*slot*/, int data1, int data2)
  {
    if (midi->debugLevel > 10)
      notara::StderrLine() << "TagMap midiData";

    text_.clear();
    if (!isOffEvent(kind, data2))
      text_ += "un";
    text_ += "freeze ";
    text_ += tag;
    if (appendData1)
      appendDecimal(text_, data1);
    text_ += ',';
    midi->send(robotMask, text_);
  }
}
