#include "midiop/tagswitch.h"

#include <boost/lexical_cast.hpp>

#include "midiop/eventtext.h"
#include "midiop/registration.h"

// Registers the kind during static initialisation; const, so local to this file.
const midiop::Registration<midiop::TagSwitch> registration("TagSwitch");

namespace midiop
{
  bool TagSwitch::setup(const std::vector<std::string>& params)
  {
    if (params.size() < 2)
      return refuseCount("TagSwitch", "TAG INITIALSTATE", params.size());
    tag = params[0];
    // Converted even when there are too many parameters, so a malformed
    // state is reported as such.
    active = boost::lexical_cast<bool>(params[1]);
    if (params.size() != 2)
      return refuseCount("TagSwitch", "TAG INITIALSTATE", params.size());
    return true;
  }

  void TagSwitch::execute(int robotMask, int kind, int /*slot*/, int /*data1*/, int data2)
  {
    if (isOffEvent(kind, data2))
      return;
    active = !active;

    text_.clear();
    if (active)
      text_ += "un";
    text_ += "freeze ";
    text_ += tag;
    text_ += ',';
    midi->send(robotMask, text_);
  }
}
