// The percentiles of values of one type, each type compiled in a file of
// its own (select_*.cpp) so that they build in parallel.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/percentile.hpp"
#include "core/percentile/layout.hpp"

namespace gemlo::core::pct {

// numpy.percentile of the layout's values, stored as U (in the other byte
// order when `byteswapped`) and meaning numbers of `Kind`.
template <class U, NumberKind Kind>
std::vector<double> select_percentiles(const Layout &l, bool byteswapped, std::span<const double> p,
                                       unsigned threads, PercentileStats *stats);

#define GEMLO_SELECT_PERCENTILES(extern_, U, Kind)                    \
    extern_ template std::vector<double> select_percentiles<U, Kind>( \
        const Layout &, bool, std::span<const double>, unsigned, PercentileStats *)

GEMLO_SELECT_PERCENTILES(extern, std::uint8_t, NumberKind::Signed);
GEMLO_SELECT_PERCENTILES(extern, std::uint8_t, NumberKind::Unsigned);
GEMLO_SELECT_PERCENTILES(extern, std::uint16_t, NumberKind::Signed);
GEMLO_SELECT_PERCENTILES(extern, std::uint16_t, NumberKind::Unsigned);
GEMLO_SELECT_PERCENTILES(extern, std::uint32_t, NumberKind::Float);
GEMLO_SELECT_PERCENTILES(extern, std::uint32_t, NumberKind::Signed);
GEMLO_SELECT_PERCENTILES(extern, std::uint32_t, NumberKind::Unsigned);
GEMLO_SELECT_PERCENTILES(extern, std::uint64_t, NumberKind::Float);
GEMLO_SELECT_PERCENTILES(extern, std::uint64_t, NumberKind::Signed);
GEMLO_SELECT_PERCENTILES(extern, std::uint64_t, NumberKind::Unsigned);

}  // namespace gemlo::core::pct
