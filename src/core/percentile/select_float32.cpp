// Selection of float32 values.
#include "core/percentile/selector.hpp"

namespace gemlo::core::pct {

GEMLO_SELECT_PERCENTILES(, std::uint32_t, NumberKind::Float);

}  // namespace gemlo::core::pct
