#include "bridge/filter.h"

Filter makeFilter(const FilterParts& parts)
{
  const std::uint32_t value = parts[valuePart].value_or(0);
  // The rule looks at the value as given, before it is cut to 8 bits.
  const std::uint32_t mask = parts[maskPart].value_or(value != 0 ? 0xFF : 0);
  return Filter{static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(mask),
                parts[parameterValuePart].value_or(0), parts[parameterMaskPart].value_or(0)};
}
