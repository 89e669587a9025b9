#include "midiop/parameterset.h"

#include <limits>
#include <typeinfo>

#include <boost/lexical_cast.hpp>

#include "midi/midinames.h"
#include "midiop/registration.h"

// Registers the kind during static initialisation; const, so local to this file.
const midiop::Registration<midiop::ParameterSet> registration("ParameterSet");

namespace midiop
{
  bool ParameterSet::setup(const std::vector<std::string>& params)
  {
    if (params.empty())
      return refuseCount("ParameterSet", "MASK", 0);
    const unsigned long value = boost::lexical_cast<unsigned long>(params[0]);
    // Where unsigned long is wider than the word, a larger mask would lose
    // its high bits silently and switch other bits than the ones written.
    if (value > std::numeric_limits<std::uint32_t>::max())
      throw boost::bad_lexical_cast(typeid(std::string), typeid(std::uint32_t));
    mask = static_cast<std::uint32_t>(value);
    if (params.size() != 1)
      return refuseCount("ParameterSet", "MASK", params.size());
    return true;
  }

  void ParameterSet::execute(int /*robotMask*/, int kind, int /*slot*/, int /*data1*/, int data2)
  {
    // A note sets the bits while the key is up; a controller while non-zero.
    const bool set =
        kind == midiname::controlChange ? data2 > 0 : (kind == midiname::noteOff || data2 == 0);
    const std::uint32_t word = midi->parameter;
    const std::uint32_t changed = set ? (word | mask) : (word & ~mask);
    midi->setParameter(static_cast<int>(changed));
  }
}
