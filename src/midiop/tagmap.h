#pragma once
// TagMap: lets tagged script code run while a key is held: an on event
// unfreezes the tag, an off event freezes it.
//
// Threading: setup runs on the installing thread before the operation is
// visible to dispatch; execute runs on the MIDI input thread with the
// bridge's lock held, which also guards the reused text buffer.
#include <string>
#include <vector>

#include "bridge/midi.h"

namespace midiop
{
  /// Unfreezes a tag on on events and freezes it on off events.
  class TagMap : public Midi::Operation
  {
  public:
    /// The tag, or the prefix of the tags when appendData1 is true.
    std::string tag;
    /// When true, data1 in decimal is appended to the tag.
    bool appendData1 = false;

    /// Takes the tag and optionally "1" or "true" to append data1; any other
    /// second word leaves appendData1 false.
    bool setup(const std::vector<std::string>& params) override;
    /// Sends "unfreeze <tag>," or "freeze <tag>,".
    void execute(int robotMask, int kind, int slot, int data1, int data2) override;

  private:
    std::string text_;  // reused for every event, so sending allocates nothing
  };
}
