#pragma once
// The filter of an action, as the configuration file and the "register"
// control command write it: a value and a mask tested against an event's
// first data byte, then a value and a mask tested against the bridge's
// parameter word. Both readers collect the parts they find, in that order,
// and leave the defaults to makeFilter.
//
// Threading: plain values and a pure function; usable from any thread.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

/// The position of each part where a filter is written.
enum FilterPart : std::size_t
{
  valuePart,
  maskPart,
  parameterValuePart,
  parameterMaskPart,
  filterPartCount
};

/// The parts of a filter as written, by FilterPart; an empty part was not given.
using FilterParts = std::array<std::optional<std::uint32_t>, filterPartCount>;

/// An action's filter, as its records store it.
struct Filter
{
  std::uint8_t filterValue = 0;      ///< data1 AND filterMask must equal this
  std::uint8_t filterMask = 0;       ///< mask applied to data1
  std::uint32_t parameterValue = 0;  ///< parameter AND parameterMask must equal this
  std::uint32_t parameterMask = 0;   ///< mask applied to the parameter word
};

/// The filter that `parts` write. Value and mask keep their low 8 bits. An
/// empty mask selects every bit of data1 when the value as given is not 0,
/// and none when it is: a bare value n accepts data1 n, a bare 0 any data1.
/// The other parts are 0 when empty.
Filter makeFilter(const FilterParts& parts);
