// Selection of 16-bit integers, signed and unsigned.
#include "core/percentile/selector.hpp"

namespace gemlo::core::pct {

GEMLO_SELECT_PERCENTILES(, std::uint16_t, NumberKind::Signed);
GEMLO_SELECT_PERCENTILES(, std::uint16_t, NumberKind::Unsigned);

}  // namespace gemlo::core::pct
