// The percentiles' entry: checks the request, lays out the array and hands
// it to the selection of its type (percentile/selector.hpp says how it goes).
#include "core/percentile.hpp"

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <thread>

#include "core/percentile/layout.hpp"
#include "core/percentile/select.hpp"

namespace gemlo::core {

bool percentile_supported(NumberKind kind, std::size_t itemsize) {
    if (kind == NumberKind::Float) return itemsize == 4 || itemsize == 8;
    return itemsize == 1 || itemsize == 2 || itemsize == 4 || itemsize == 8;
}

std::vector<double> percentiles(const ArrayView &view, std::span<const double> points,
                                unsigned threads, PercentileStats *stats) {
    if (!percentile_supported(view.kind, view.itemsize)) {
        throw std::invalid_argument("percentiles: unsupported kind of values");
    }
    for (double p : points) {
        if (!(p >= 0 && p <= 100)) {
            throw std::invalid_argument("Percentiles must be in the range [0, 100]");
        }
    }
    pct::Layout layout = pct::normalise(view);
    if (layout.count == 0) {
        throw std::invalid_argument(kNoValuesMessage);
    }
    if (threads == 0) {
        // Threads pay off only on arrays well beyond the caches.
        threads = static_cast<unsigned>(std::min<std::size_t>(
            std::max(1u, std::thread::hardware_concurrency()), 1 + (layout.count >> 18)));
    }
    threads = static_cast<unsigned>(std::min<std::size_t>(threads, layout.count));

    using pct::select_percentiles;
    const bool swapped = view.byteswapped;
    if (view.kind == NumberKind::Float) {
        if (view.itemsize == 4)
            return select_percentiles<std::uint32_t, NumberKind::Float>(layout, swapped, points,
                                                                        threads, stats);
        return select_percentiles<std::uint64_t, NumberKind::Float>(layout, swapped, points,
                                                                    threads, stats);
    }
    const bool s = view.kind == NumberKind::Signed;
    using enum NumberKind;
    switch (view.itemsize) {
        case 1:
            return s ? select_percentiles<std::uint8_t, Signed>(layout, swapped, points, threads,
                                                                stats)
                     : select_percentiles<std::uint8_t, Unsigned>(layout, swapped, points, threads,
                                                                  stats);
        case 2:
            return s ? select_percentiles<std::uint16_t, Signed>(layout, swapped, points, threads,
                                                                 stats)
                     : select_percentiles<std::uint16_t, Unsigned>(layout, swapped, points, threads,
                                                                   stats);
        case 4:
            return s ? select_percentiles<std::uint32_t, Signed>(layout, swapped, points, threads,
                                                                 stats)
                     : select_percentiles<std::uint32_t, Unsigned>(layout, swapped, points, threads,
                                                                   stats);
        default:
            return s ? select_percentiles<std::uint64_t, Signed>(layout, swapped, points, threads,
                                                                 stats)
                     : select_percentiles<std::uint64_t, Unsigned>(layout, swapped, points, threads,
                                                                   stats);
    }
}

}  // namespace gemlo::core
