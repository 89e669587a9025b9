#pragma once
// TagSwitch: toggles tagged script code on every on event, between running
// (unfrozen) and frozen; off events are ignored.
//
// Threading: setup runs on the installing thread before the operation is
// visible to dispatch; execute runs on the MIDI input thread with the
// bridge's lock held, which serialises the read-flip-send of `active` for
// all the slots that share one TagSwitch.
#include <string>
#include <vector>

#include "bridge/midi.h"

namespace midiop
{
  /// Flips a tag between unfrozen and frozen on each on event.
  class TagSwitch : public Midi::Operation
  {
  public:
    /// The tag.
    std::string tag;
    /// True when the last text sent was an unfreeze.
    bool active = false;

    /// Takes the tag and the initial state as the number 0 or 1; raises
    /// boost::bad_lexical_cast for any other second word.
    bool setup(const std::vector<std::string>& params) override;
    /// On an on event flips `active` and sends the matching text.
    void execute(int robotMask, int kind, int slot, int data1, int data2) override;

  private:
    std::string text_;  // reused for every event, so sending allocates nothing
  };
}
