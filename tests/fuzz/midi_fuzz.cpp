// midi_fuzz: MIDI input as the MIDI system delivers it, through the input
// callback, decoding and dispatch to actions of every kind. The first byte
// sets the debug level (so the traces run too); then each group of five
// bytes is one callback: the message kind (data, long data, error, open,
// close, or another number) and the packed short message. Checks: every
// text sent ends in ","; every action record points to a live operation.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <stdexcept>

#include "fuzz/fuzz_support.h"

using notara::fuzz::fail;

namespace
{
  // Actions of every kind on notes and controllers of channels 0 and 1,
  // some of them switched by the parameter word.
  constexpr const char* kActions =
      "action 10000 64 3 ParameterSet 1\n"
      "action 30000 65/127=0/0 3 ParameterSet 2\n"
      "action 1 0/0=0/1 1 DirectMap arm.pos 0 2 10\n"
      "action 1 0/0=1/1 3 EmitMap midi.key\n"
      "action 10000 7 1 DirectMap head.tilt 1 0.5 -32\n"
      "action 2 36 1 TagMap walk \n"
      "action 2 38 2 TagSwitch dance 0\n"
      "action 2 48/240 1 TagMap light 1\n"
      "action 2 40/252 1 DirectMap grip 1 1 0 0 1\n"
      "action ffffffff 0 80000000 EmitMap any\n";

  notara::fuzz::Bridge& bridge()
  {
    static notara::fuzz::Bridge* made = [] {
      auto* b = new notara::fuzz::Bridge({0, 1, 31});
      std::istringstream in(kActions);
      notara::test::CerrCapture sink;
      if (!b->midi.parseConfig(in))
        fail("the harness's actions did not install");
      return b;
    }();
    return *made;
  }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  if (size == 0)
    return 0;
  notara::fuzz::Bridge& b = bridge();
  static const int levels[] = {0, 7, 10, 11, 21, 51, 1001, 10001};
  b.midi.debugLevel = levels[data[0] & 7u];
  b.midi.parameter = 0;
  b.midi.running = false;
  b.midi.clockCount = 0;
  b.midi.lastBeatTime = 0;

  static const UINT kinds[] = {MIM_DATA, MIM_DATA, MIM_DATA, MIM_DATA, MIM_ERROR, MIM_LONGDATA, MIM_OPEN, 0};
  notara::test::CerrCapture sink;
  for (std::size_t at = 1; at + 5 <= size; at += 5)
  {
    const UINT kind = kinds[data[at] & 7u];
    const DWORD_PTR param1 = data[at + 1] | (data[at + 2] << 8) | (data[at + 3] << 16) |
                             (static_cast<DWORD_PTR>(data[at + 4]) << 24);
    midiInCallback(nullptr, kind, reinterpret_cast<DWORD_PTR>(static_cast<MidiIn*>(&b.midi)), param1, 0);
  }
  b.checkRecordsLive();
  b.checkSends();
  return 0;
}
