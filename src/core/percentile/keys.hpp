// Values as keys whose unsigned order is the values' order, read a run or a
// block at a time in this machine's byte order.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "core/percentile.hpp"

namespace gemlo::core::pct {

template <class U>
U byteswap(U u) {
    if constexpr (sizeof(U) == 1)
        return u;
    else if constexpr (sizeof(U) == 2)
        return __builtin_bswap16(u);
    else if constexpr (sizeof(U) == 4)
        return __builtin_bswap32(u);
    else
        return __builtin_bswap64(u);
}

template <class U, NumberKind Kind, bool Swap>
struct Codec {
    using Key = U;
    static constexpr bool swap = Swap;
    static constexpr NumberKind kind = Kind;
    static constexpr int bits = sizeof(U) * 8;
    static constexpr U top = U(U(1) << (bits - 1));

    // The value's bits in this machine's byte order.
    static U load(const std::byte *p) {
        U u;
        std::memcpy(&u, p, sizeof u);
        if constexpr (Swap) u = byteswap(u);
        return u;
    }

    static Key key_of(U u) {
        // Negative floats flip all bits, positive ones the sign bit; no branch.
        if constexpr (Kind == NumberKind::Float)
            return U(u ^ (U(U(0) - U(u >> (bits - 1))) | top));
        else if constexpr (Kind == NumberKind::Signed)
            return U(u ^ top);
        else
            return u;
    }

    // The keys [lo, hi] are the bits [result, result + (hi - lo)], modulo
    // 2^bits, when they are all of one sign: so ranges of keys can be tested
    // on the bits as stored, without making keys.
    static U bits_from(Key lo, Key hi) {
        if constexpr (Kind == NumberKind::Float)
            return (lo & top) ? U(lo ^ top) : U(~hi);
        else
            return bits_of(lo);
    }

    // The stored bits of the value whose key is `k`.
    static U bits_of(Key k) {
        if constexpr (Kind == NumberKind::Float)
            return (k & top) ? U(k ^ top) : U(~k);
        else if constexpr (Kind == NumberKind::Signed)
            return U(k ^ top);
        else
            return k;
    }
};

// Calls f(bits) for every value of a run, in this machine's byte order; the
// contiguous case gets its own loop so that the compiler sees the stride.
template <class C, class F>
inline void each_bits(const std::byte *p, std::size_t n, std::ptrdiff_t stride, F &&f) {
    constexpr std::ptrdiff_t size = sizeof(typename C::Key);
    if (stride == size) {
        for (std::size_t i = 0; i < n; ++i) f(C::load(p + static_cast<std::ptrdiff_t>(i) * size));
    } else {
        for (std::size_t i = 0; i < n; ++i) f(C::load(p + static_cast<std::ptrdiff_t>(i) * stride));
    }
}

// Calls f(bits, count) for the values of a run as machine-order bits, a
// block at a time: the data themselves when they are contiguous and in this
// machine's byte order, else a copy of a block. `bits` may be unaligned.
constexpr std::size_t kBlock = 1024;

template <class C, class F>
inline void each_block(const std::byte *p, std::size_t n, std::ptrdiff_t stride, F &&f) {
    using U = typename C::Key;
    if (!C::swap && stride == static_cast<std::ptrdiff_t>(sizeof(U))) {
        f(p, n);
        return;
    }
    alignas(16) U bits[kBlock];
    for (std::size_t done = 0; done < n; done += kBlock) {
        const std::size_t m = std::min(kBlock, n - done);
        std::size_t i = 0;
        each_bits<C>(p + static_cast<std::ptrdiff_t>(done) * stride, m, stride,
                     [&](U u) { bits[i++] = u; });
        f(reinterpret_cast<const std::byte *>(bits), m);
    }
}

// Sixteen bytes of values, tested all at once (GCC/Clang vector extension).
// x <= span on unsigned keys is tested as a signed comparison, which SSE2
// has: with both sides offset by the sign bit, (x - lo) <= span becomes
// (x - (lo - bias)) <= (span ^ bias) in signed lanes.
template <class Key>
struct Lanes {
    using Signed = std::make_signed_t<Key>;
    typedef Key Vec __attribute__((vector_size(16)));
    typedef Signed SVec __attribute__((vector_size(16)));
    static constexpr std::size_t count = 16 / sizeof(Key);
    static constexpr Key bias = Key(Key(1) << (sizeof(Key) * 8 - 1));

    template <class V, class T>
    static V splat(T k) {
        V v;
        for (std::size_t i = 0; i < count; ++i) v[i] = k;
        return v;
    }
    // Bounds of the keys in [lo, lo + span].
    static Vec lower(Key lo) { return splat<Vec>(Key(lo - bias)); }
    static SVec upper(Key span) { return splat<SVec>(Signed(span ^ bias)); }
    // Lanes of v outside the range: all bits set.
    static SVec outside(Vec v, Vec lower, SVec upper) { return SVec(v - lower) > upper; }
    static bool all(SVec m) {
        std::uint64_t half[2];
        std::memcpy(half, &m, sizeof half);
        return (half[0] & half[1]) == ~std::uint64_t{0};
    }
};

}  // namespace gemlo::core::pct
