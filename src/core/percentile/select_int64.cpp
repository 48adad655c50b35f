// Selection of 64-bit integers, signed and unsigned.
#include "core/percentile/selector.hpp"

namespace gemlo::core::pct {

GEMLO_SELECT_PERCENTILES(, std::uint64_t, NumberKind::Signed);
GEMLO_SELECT_PERCENTILES(, std::uint64_t, NumberKind::Unsigned);

}  // namespace gemlo::core::pct
