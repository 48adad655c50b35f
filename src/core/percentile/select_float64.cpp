// Selection of float64 values.
#include "core/percentile/selector.hpp"

namespace gemlo::core::pct {

GEMLO_SELECT_PERCENTILES(, std::uint64_t, NumberKind::Float);

}  // namespace gemlo::core::pct
