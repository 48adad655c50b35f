// Selection of 32-bit integers, signed and unsigned.
#include "core/percentile/selector.hpp"

namespace gemlo::core::pct {

GEMLO_SELECT_PERCENTILES(, std::uint32_t, NumberKind::Signed);
GEMLO_SELECT_PERCENTILES(, std::uint32_t, NumberKind::Unsigned);

}  // namespace gemlo::core::pct
