#pragma once
// ParameterSet: sets and clears bits of the bridge's parameter word, which
// every action's filter tests, and publishes the word.
//
// Threading: setup runs on the installing thread before the operation is
// visible to dispatch; execute runs on the MIDI input thread with the
// bridge's lock held.
#include <cstdint>
#include <string>
#include <vector>

#include "bridge/midi.h"

namespace midiop
{
  /// Sets `mask` in the parameter word while a key is up or a controller is
  /// non-zero, and clears it while the key is held or the controller is 0.
  class ParameterSet : public Midi::Operation
  {
  public:
    /// The bits this operation sets and clears.
    std::uint32_t mask = 0;

    /// Takes exactly one unsigned decimal mask; raises boost::bad_lexical_cast
    /// for one that is not a number or does not fit in 32 bits.
    bool setup(const std::vector<std::string>& params) override;
    /// Computes the new word and publishes it, changed or not.
    void execute(int robotMask, int kind, int slot, int data1, int data2) override;
  };
}
