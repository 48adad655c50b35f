#include "core/chunkselect.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <type_traits>

namespace gemlo::core::chunkselect {

namespace {

template <class T>
using UInt = std::conditional_t<
    sizeof(T) == 1, std::uint8_t,
    std::conditional_t<sizeof(T) == 2, std::uint16_t,
                       std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>>>;

template <class T>
constexpr UInt<T> kSign = UInt<T>(UInt<T>(1) << (8 * sizeof(T) - 1));

// Floats: a set sign bit flips all bits (more negative sorts lower), a clear one
// sets the sign bit, so -0.0 sorts just below +0.0 and infinities at the ends.
template <class T>
inline UInt<T> key(T value) {
    const auto u = std::bit_cast<UInt<T>>(value);
    if constexpr (std::is_floating_point_v<T>) {
        const UInt<T> mask = UInt<T>(UInt<T>(0) - UInt<T>(u >> (8 * sizeof(T) - 1))) | kSign<T>;
        return UInt<T>(u ^ mask);
    } else if constexpr (std::is_signed_v<T>) {
        return UInt<T>(u ^ kSign<T>);
    } else {
        return u;
    }
}

template <class T>
inline T unkey(UInt<T> k) {
    if constexpr (std::is_floating_point_v<T>) {
        return std::bit_cast<T>(k & kSign<T> ? UInt<T>(k ^ kSign<T>) : UInt<T>(~k));
    } else if constexpr (std::is_signed_v<T>) {
        return std::bit_cast<T>(UInt<T>(k ^ kSign<T>));
    } else {
        return k;
    }
}

template <class T>
inline bool is_nan(T value) {
    if constexpr (std::is_floating_point_v<T>)
        return value != value;
    else
        return false;
}

// A unit interval draw per sample position; splitmix64 is enough for spreading.
inline double uniform(std::uint64_t &state) {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) * 0x1.0p-53;
}

template <class T>
Summary summarize_typed(const T *data, std::size_t size, std::size_t sample_size,
                        std::uint64_t seed) {
    Summary out;
    UInt<T> lo = std::numeric_limits<UInt<T>>::max(), hi = 0;
    std::uint64_t nulls = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const T v = data[i];
        if (is_nan(v)) {
            ++nulls;
            continue;
        }
        const UInt<T> k = key(v);
        lo = std::min(lo, k);
        hi = std::max(hi, k);
    }
    out.nulls = nulls;
    out.count = size - nulls;
    if (out.count == 0) return out;
    out.min_key = lo;
    out.max_key = hi;
    const std::size_t taken = std::min(sample_size, size);
    if (taken == 0) return out;
    const double step = static_cast<double>(size) / static_cast<double>(taken);
    std::uint64_t state = seed;
    out.sample.reserve(taken);
    for (std::size_t i = 0; i < taken; ++i) {
        auto at = static_cast<std::size_t>((static_cast<double>(i) + uniform(state)) * step);
        at = std::min(at, size - 1);
        if (!is_nan(data[at])) out.sample.push_back(key(data[at]));
    }
    return out;
}

template <class T>
std::vector<WindowCounts> scan_typed(const T *data, std::size_t size,
                                     std::span<const Window> windows, std::size_t cap) {
    using K = UInt<T>;
    const std::size_t n = windows.size();
    std::vector<WindowCounts> out(n);
    std::vector<K> lo(n), hi(n);
    std::vector<unsigned> shift(n);
    std::vector<std::uint64_t> below(n, 0), inside(n, 0);
    std::vector<std::uint64_t *> bins(n, nullptr);
    for (std::size_t w = 0; w < n; ++w) {
        const Window &win = windows[w];
        if (win.lo > win.hi || win.hi > std::numeric_limits<K>::max())
            throw std::invalid_argument("a window's keys are out of order or out of range");
        lo[w] = static_cast<K>(win.lo);
        hi[w] = static_cast<K>(win.hi);
        shift[w] = win.shift;
        if (win.shift != kGather) {
            const std::uint64_t span = win.shift >= 64 ? 0 : (win.hi - win.lo) >> win.shift;
            if (span >= kMaxBins) throw std::invalid_argument("too many histogram bins");
            out[w].bins.assign(span + 1, 0);
            bins[w] = out[w].bins.data();
        }
    }
    for (std::size_t i = 0; i < size; ++i) {
        const T v = data[i];
        if (is_nan(v)) continue;
        const K k = key(v);
        for (std::size_t w = 0; w < n; ++w) {
            if (k < lo[w]) {
                ++below[w];
            } else if (k <= hi[w]) {
                const std::uint64_t got = ++inside[w];
                if (bins[w] != nullptr) {
                    ++bins[w][shift[w] >= 64 ? 0 : (k - lo[w]) >> shift[w]];
                } else if (got <= cap) {
                    out[w].keys.push_back(k);
                } else if (got == cap + 1) {
                    std::vector<std::uint64_t>().swap(out[w].keys);
                }
            }
        }
    }
    for (std::size_t w = 0; w < n; ++w) {
        out[w].below = below[w];
        out[w].inside = inside[w];
    }
    return out;
}

template <class F>
decltype(auto) dispatch(Kind kind, std::size_t itemsize, F &&f) {
    switch (kind) {
        case Kind::Float:
            if (itemsize == 4) return f(float{});
            if (itemsize == 8) return f(double{});
            break;
        case Kind::Signed:
            if (itemsize == 1) return f(std::int8_t{});
            if (itemsize == 2) return f(std::int16_t{});
            if (itemsize == 4) return f(std::int32_t{});
            if (itemsize == 8) return f(std::int64_t{});
            break;
        case Kind::Unsigned:
            if (itemsize == 1) return f(std::uint8_t{});
            if (itemsize == 2) return f(std::uint16_t{});
            if (itemsize == 4) return f(std::uint32_t{});
            if (itemsize == 8) return f(std::uint64_t{});
            break;
    }
    throw std::invalid_argument("values of this type cannot be selected");
}

}  // namespace

bool supported(Kind kind, std::size_t itemsize) {
    if (kind == Kind::Float) return itemsize == 4 || itemsize == 8;
    return itemsize == 1 || itemsize == 2 || itemsize == 4 || itemsize == 8;
}

Summary summarize(const Chunk &chunk, std::size_t sample_size, std::uint64_t seed) {
    return dispatch(chunk.kind, chunk.itemsize, [&](auto zero) {
        using T = decltype(zero);
        return summarize_typed(static_cast<const T *>(chunk.data), chunk.size, sample_size, seed);
    });
}

std::vector<WindowCounts> scan(const Chunk &chunk, std::span<const Window> windows,
                               std::size_t cap) {
    return dispatch(chunk.kind, chunk.itemsize, [&](auto zero) {
        using T = decltype(zero);
        return scan_typed(static_cast<const T *>(chunk.data), chunk.size, windows, cap);
    });
}

void value_of(std::uint64_t k, Kind kind, std::size_t itemsize, void *out) {
    dispatch(kind, itemsize, [&](auto zero) {
        using T = decltype(zero);
        const T v = unkey<T>(static_cast<UInt<T>>(k));
        std::memcpy(out, &v, sizeof v);
        return 0;
    });
}

}  // namespace gemlo::core::chunkselect
