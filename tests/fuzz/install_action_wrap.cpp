// Wraps Midi::installAction for the harnesses that install actions
// (-Wl,--wrap; the symbols are the Itanium ABI names of the member, whose
// first argument is `this`). An operation that comes back without a single
// record in the tables (a channel mask of 0) is owned by nobody: it is
// released here, so that the leak checker of each input sees only leaks
// the harness can't explain.
#include <cstdint>
#include <string>
#include <vector>

#include "bridge/midi.h"

using InstallArguments = Midi::Operation*(Midi*, std::uint32_t, std::uint8_t, std::uint8_t, std::uint32_t,
                                          std::uint32_t, const std::string&, const std::vector<std::string>&,
                                          int);

extern "C" InstallArguments
    __real__ZN4Midi13installActionEjhhjjRKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEERKSt6vectorIS5_SaIS5_EEi;

extern "C" Midi::Operation*
__wrap__ZN4Midi13installActionEjhhjjRKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEERKSt6vectorIS5_SaIS5_EEi(
    Midi* midi, std::uint32_t channelMask, std::uint8_t filterValue, std::uint8_t filterMask,
    std::uint32_t parameterValue, std::uint32_t parameterMask, const std::string& name,
    const std::vector<std::string>& params, int robotMask)
{
  Midi::Operation* operation =
      __real__ZN4Midi13installActionEjhhjjRKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEERKSt6vectorIS5_SaIS5_EEi(
          midi, channelMask, filterValue, filterMask, parameterValue, parameterMask, name, params, robotMask);
  if (operation == nullptr)
    return nullptr;
  for (const auto& table : midi->actions)
    for (const Midi::Action& action : table)
      if (action.operation == operation)
        return operation;
  delete operation;
  return operation;   // only printed by the callers, never used
}
