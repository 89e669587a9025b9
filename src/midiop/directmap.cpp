#include "midiop/directmap.h"

#include <boost/lexical_cast.hpp>

#include "midiop/eventtext.h"
#include "midiop/registration.h"

// Registers the kind during static initialisation; const, so local to this file.
const midiop::Registration<midiop::DirectMap> registration("DirectMap");

namespace midiop
{
  bool DirectMap::setup(const std::vector<std::string>& params)
  {
    offValue = -1;
    appendData1 = false;

    // Every present parameter among the first six is converted before the
    // count is judged, so a malformed number is reported even then.
    const std::size_t n = params.size();
    if (n > 0)
      variable = params[0];
    if (n > 1)
      sourceByte = boost::lexical_cast<int>(params[1]);
    if (n > 2)
      scale = boost::lexical_cast<double>(params[2]);
    if (n > 3)
      offset = boost::lexical_cast<double>(params[3]);
    if (n > 4)
      offValue = boost::lexical_cast<double>(params[4]);
    if (n > 5)
      appendData1 = boost::lexical_cast<bool>(params[5]);
    if (n < 4 || n > 6)
      return refuseCount("DirectMap", "VARIABLE SOURCEBYTE SCALE OFFSET [OFFVALUE [APPENDNOTE]]", n);
    return true;
  }

  void DirectMap::execute(int robotMask, int kind, int /*slot*/, int data1, int data2)
  {
    double value;
    if (isOffEvent(kind, data2))
    {
      if (offValue == -1)
        return;
      value = offValue;
    }
    else
    {
      const int x = sourceByte == 0 ? data1 : data2;
      value = x * scale + offset;
    }

    text_.clear();
    text_ += variable;
    if (appendData1)
      appendDecimal(text_, data1);
    text_ += '=';
    appendDouble(text_, value);
    text_ += ',';
    midi->send(robotMask, text_);
  }
}
