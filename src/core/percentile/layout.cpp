#include "core/percentile/layout.hpp"

#include <cstdint>
#include <stdexcept>

#include <sys/mman.h>
#include <unistd.h>

namespace gemlo::core::pct {

Layout normalise(const ArrayView &v) {
    if (v.shape.size() != v.strides.size()) {
        throw std::invalid_argument("percentiles: shape and strides differ in length");
    }
    Layout l;
    l.base = static_cast<const std::byte *>(v.data);
    for (std::size_t i = 0; i < v.shape.size(); ++i) {
        if (v.shape[i] < 0) throw std::invalid_argument("percentiles: negative dimension");
        auto size = static_cast<std::size_t>(v.shape[i]);
        l.count *= size;
        if (size == 1) continue;
        std::ptrdiff_t stride = v.strides[i];
        if (stride < 0) {
            l.base += stride * static_cast<std::ptrdiff_t>(size - 1);
            stride = -stride;
        }
        l.dims.push_back({size, stride});
    }
    std::stable_sort(l.dims.begin(), l.dims.end(),
                     [](const Dim &a, const Dim &b) { return a.stride > b.stride; });
    std::vector<Dim> merged;
    for (const Dim &d : l.dims) {
        if (!merged.empty() &&
            merged.back().stride == d.stride * static_cast<std::ptrdiff_t>(d.size)) {
            merged.back() = {merged.back().size * d.size, d.stride};
        } else {
            merged.push_back(d);
        }
    }
    l.dims = merged.empty() ? std::vector<Dim>{{1, 0}} : merged;
    return l;
}

ReadAhead::ReadAhead(const Layout &l, std::size_t itemsize,
                     const std::vector<std::pair<const std::byte *, std::size_t>> &first) {
    const auto page = std::size_t(sysconf(_SC_PAGESIZE));
    const auto pages = std::size_t(sysconf(_SC_PHYS_PAGES));
    std::size_t extent = itemsize;
    for (const Dim &d : l.dims) extent += (d.size - 1) * std::size_t(d.stride);
    const auto from = reinterpret_cast<std::uintptr_t>(l.base) / page * page;
    const auto to = reinterpret_cast<std::uintptr_t>(l.base) + extent;
    if (to - from < (std::size_t{64} << 20) || (to - from) / page > pages / 2) return;
    unsigned char resident = 0;
    const std::uintptr_t middle = (from + (to - from) / 2) / page * page;
    if (mincore(reinterpret_cast<void *>(middle), page, &resident) != 0 || (resident & 1)) return;
    for (auto [p, bytes] : first) {
        const auto at = reinterpret_cast<std::uintptr_t>(p) / page * page;
        madvise(reinterpret_cast<void *>(at), reinterpret_cast<std::uintptr_t>(p) + bytes - at,
                MADV_WILLNEED);
    }
    reader_ = std::thread([this, from, to] {
        constexpr std::size_t kStep = std::size_t{4} << 20;
        for (std::uintptr_t at = from; at < to && !stop_; at += kStep)
            madvise(reinterpret_cast<void *>(at), std::min<std::size_t>(kStep, to - at),
                    MADV_WILLNEED);
    });
}

ReadAhead::~ReadAhead() {
    stop_ = true;
    if (reader_.joinable()) reader_.join();
}

}  // namespace gemlo::core::pct
