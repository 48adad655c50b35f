// Where the values of an array lie, in an order that suits memory, and how
// a memory-mapped file not yet read is read ahead.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <thread>
#include <utility>
#include <vector>

#include "core/percentile.hpp"

namespace gemlo::core::pct {

struct Dim {
    std::size_t size;
    std::ptrdiff_t stride;
};

// The array's values in an order that suits memory: percentiles do not
// depend on the order, so negative strides are turned round, dimensions
// sorted by stride and merged where they form one run.
struct Layout {
    const std::byte *base = nullptr;
    std::vector<Dim> dims;  // outermost first, never empty
    std::size_t count = 1;
};

Layout normalise(const ArrayView &v);

// Calls f(pointer, count, stride) for the runs along the innermost
// dimension that make up the values [begin, end) of the layout's order.
template <class F>
void for_runs(const Layout &l, std::size_t begin, std::size_t end, F &&f) {
    if (begin >= end) return;
    const std::size_t outer_dims = l.dims.size() - 1;
    const Dim inner = l.dims.back();
    std::vector<std::size_t> index(outer_dims);
    const std::byte *row = l.base;
    std::size_t outer = begin / inner.size, pos = begin % inner.size;
    for (std::size_t d = outer_dims; d-- > 0;) {
        index[d] = outer % l.dims[d].size;
        outer /= l.dims[d].size;
        row += static_cast<std::ptrdiff_t>(index[d]) * l.dims[d].stride;
    }
    for (std::size_t left = end - begin;;) {
        std::size_t n = std::min(inner.size - pos, left);
        f(row + static_cast<std::ptrdiff_t>(pos) * inner.stride, n, inner.stride);
        left -= n;
        if (left == 0) return;
        pos = 0;
        for (std::size_t d = outer_dims; d-- > 0;) {
            row += l.dims[d].stride;
            if (++index[d] < l.dims[d].size) break;
            row -= l.dims[d].stride * static_cast<std::ptrdiff_t>(l.dims[d].size);
            index[d] = 0;
        }
    }
}

// A memory-mapped file not yet read: the sample and the stages would fault
// its pages in a few at a time, each read waited for (the kernel stops
// reading around faults that look random). When the middle page of the
// array is not in memory and the whole fits in half of it, the sample's
// pages are asked for all at once, then a thread of its own asks the
// kernel to read the rest ahead, in order, a few megabytes at a time, so
// that the disk streams while the pages are used.
class ReadAhead {
public:
    // `first`: memory wanted before the rest, read at once in any order.
    ReadAhead(const Layout &l, std::size_t itemsize,
              const std::vector<std::pair<const std::byte *, std::size_t>> &first);
    ~ReadAhead();
    ReadAhead(const ReadAhead &) = delete;
    ReadAhead &operator=(const ReadAhead &) = delete;

private:
    std::atomic<bool> stop_{false};
    std::thread reader_;
};

}  // namespace gemlo::core::pct
