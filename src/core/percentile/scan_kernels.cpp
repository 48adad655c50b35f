// The scan kernels: count and gather a run of values against a plan, many
// values at once (GCC/Clang vector extension). CMakeLists.txt compiles this
// file once per key type and target, with that target's instructions and
//   GEMLO_SCAN_BITS   the key's width: 8, 16, 32 or 64
//   GEMLO_SCAN_FLOAT  1 for the keys of floating-point values
//   GEMLO_SCAN_ISA    Baseline, Avx2 or Avx512 (dispatch.hpp)
// Everything here has internal linkage: a function built for a newer
// processor must not stand in for another file's copy.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include <immintrin.h>

#include "core/percentile/stages.hpp"

#if !defined(GEMLO_SCAN_BITS) || !defined(GEMLO_SCAN_FLOAT) || !defined(GEMLO_SCAN_ISA)
#error "scan_kernels.cpp is compiled once per key type and target: see CMakeLists.txt"
#endif

namespace gemlo::core::pct {

namespace {

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
// GCC 12 takes the undefined upper lanes inside the AVX-512 conversions for uninitialised.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

// Vectors of `Bytes` bytes: 32 for the baseline (two SSE2 registers) and
// AVX2, 64 for AVX-512.
template <class S, bool Float, std::size_t Bytes>
struct Scan {
    using U = std::make_unsigned_t<S>;
    static constexpr std::size_t L = Bytes / sizeof(S);
    typedef S V __attribute__((vector_size(Bytes)));
    typedef U UV __attribute__((vector_size(Bytes)));
    static constexpr std::size_t kVectors = 2048 / Bytes;  // a block: 2 KB
    // Blocks between sums of the lane counters, which hold at most 2^(8 sizeof(S)) - 1.
    static constexpr std::size_t kRounds = sizeof(S) == 1   ? 255 / kVectors
                                           : sizeof(S) == 2 ? 65535 / kVectors
                                                            : 1 << 20;
    static constexpr S kLowest = std::numeric_limits<S>::min();
    static constexpr S kHighest = std::numeric_limits<S>::max();
    // Bits of a lane in the masks of bits().
    static constexpr unsigned kLaneBits = Bytes == 64 ? 1 : sizeof(S);

    __attribute__((always_inline)) static V splat(S s) { return V{} + s; }
    // The plan's key of stored bits: negative floats flip all but the sign
    // bit; integers flip `all` (unsigned ones: the sign bit).
    __attribute__((always_inline)) static V key(V x, const V &all) {
        if constexpr (Float && Bytes == 64)
            return x ^ (V(x >> (8 * sizeof(S) - 1)) & splat(kHighest));  // no mask registers
        else if constexpr (Float)
            return x ^ (V(x < V{}) & splat(kHighest));
        else
            return x ^ all;
    }
    // lo <= x <= hi of a run as one signed comparison, x - lo <= hi - lo
    // unsigned: the lanes outside are V(UV(x) - UV(from)) > span.
    __attribute__((always_inline)) static V from(const Plan<S> &plan, int r) {
        return splat(S(plan.run_lo[std::size_t(r)] ^ kLowest));
    }
    __attribute__((always_inline)) static V span(const Plan<S> &plan, int r) {
        return splat(
            S(U(U(plan.run_hi[std::size_t(r)]) - U(plan.run_lo[std::size_t(r)])) ^ U(kLowest)));
    }
    __attribute__((always_inline)) static V outside(const V &x, const V &from, const V &span) {
        return V(V(UV(x) - UV(from)) > span);
    }
    // kLaneBits bits per lane of a mask vector, the lowest of them set
    // for the lanes set.
    __attribute__((always_inline)) static std::uint64_t bits(const V &m) {
#ifdef __AVX512BW__
        if constexpr (Bytes == 64) {
            __m512i v;
            std::memcpy(&v, &m, sizeof v);
            if constexpr (sizeof(S) == 1)
                return _mm512_movepi8_mask(v);
            else if constexpr (sizeof(S) == 2)
                return _mm512_movepi16_mask(v);
            else if constexpr (sizeof(S) == 4)
                return _mm512_movepi32_mask(v);
            else
                return _mm512_movepi64_mask(v);
        }
#endif
        static_assert(Bytes == 32 || Bytes == 64);
        __m128i half[2];
        std::memcpy(half, &m, sizeof half);
        constexpr std::uint32_t lowest = sizeof(S) == 1   ? 0xffffffffu
                                         : sizeof(S) == 2 ? 0x55555555u
                                         : sizeof(S) == 4 ? 0x11111111u
                                                          : 0x01010101u;
        return (std::uint32_t(_mm_movemask_epi8(half[0])) |
                std::uint32_t(_mm_movemask_epi8(half[1])) << 16) &
               lowest;
    }
    // Whether a mask vector has a lane not all set.
    __attribute__((always_inline)) static bool any_clear(const V &m) {
#ifdef __AVX512BW__
        if constexpr (Bytes == 64) {
            __m512i v;
            std::memcpy(&v, &m, sizeof v);
            return _mm512_movepi8_mask(v) != ~std::uint64_t{0};
        }
#endif
        __m128i half[2];
        std::memcpy(half, &m, sizeof half);
        return _mm_movemask_epi8(_mm_and_si128(half[0], half[1])) != 0xffff;
    }
    // Gathers the lanes of x whose bits are set in `take` (as bits() gives them).
    __attribute__((always_inline)) static void gather(const V &x, std::uint64_t take,
                                                      Sink<S> &sink) {
        if (take == 0) return;
        sink.reserve(L);
        for (; take; take &= take - 1) sink.put(x[std::size_t(std::countr_zero(take)) / kLaneBits]);
    }
    __attribute__((always_inline)) static void gather(const V &x, const V &out, Sink<S> &sink) {
        gather(x, bits(~out), sink);
    }

#ifdef __AVX512BW__
    // AVX-512 compares into mask registers, one bit per lane, and counts
    // with masked subtractions: no mask is made a vector and back.
    __attribute__((always_inline)) static __m512i wide(const V &v) {
        __m512i w;
        std::memcpy(&w, &v, sizeof w);
        return w;
    }
    // Lanes with a < b.
    __attribute__((always_inline)) static std::uint64_t less(const V &a, const V &b) {
        if constexpr (sizeof(S) == 1)
            return _mm512_cmplt_epi8_mask(wide(a), wide(b));
        else if constexpr (sizeof(S) == 2)
            return _mm512_cmplt_epi16_mask(wide(a), wide(b));
        else if constexpr (sizeof(S) == 4)
            return _mm512_cmplt_epi32_mask(wide(a), wide(b));
        else
            return _mm512_cmplt_epi64_mask(wide(a), wide(b));
    }
    // Lanes of x inside the run [from, from + span] (biased as outside() takes them).
    __attribute__((always_inline)) static std::uint64_t inside(const V &x, const V &from,
                                                               const V &span) {
        return less(span, V(UV(x) - UV(from))) ^
               (L == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << L) - 1);
    }
    // Keys are gathered by compressing their lanes in a register and storing
    // the whole vector: lane by lane, each key would wait for the vector's
    // store to reach memory. Keys of 16 bits go as two halves widened to 32
    // bits (x86-64-v4 does not compress 16-bit lanes); bytes take the block scan.
    static constexpr bool kCompress = sizeof(S) >= 2;
    __attribute__((always_inline)) static void compress(const V &x0, std::uint64_t in0, const V &x1,
                                                        std::uint64_t in1, Sink<S> &sink) {
        sink.reserve(2 * L);
        auto one = [&](const V &x, std::uint64_t in) __attribute__((always_inline)) {
            if constexpr (sizeof(S) == 2) {
                const __m512i w = wide(x);
                for (int half = 0; half < 2; ++half) {
                    const auto lanes = std::uint16_t(in >> (16 * half));
                    const __m512i x32 = _mm512_cvtepi16_epi32(half ? _mm512_extracti64x4_epi64(w, 1)
                                                                   : _mm512_castsi512_si256(w));
                    _mm256_storeu_si256(
                        reinterpret_cast<__m256i *>(sink.end()),
                        _mm512_cvtepi32_epi16(_mm512_maskz_compress_epi32(lanes, x32)));
                    sink.advance(std::size_t(std::popcount(lanes)));
                }
                return;
            }
            __m512i packed;
            if constexpr (sizeof(S) == 4)
                packed = _mm512_maskz_compress_epi32(std::uint16_t(in), wide(x));
            else
                packed = _mm512_maskz_compress_epi64(std::uint8_t(in), wide(x));
            _mm512_storeu_si512(sink.end(), packed);
            sink.advance(std::size_t(std::popcount(in)));
        };
        one(x0, in0);
        one(x1, in1);
    }
    // Counts one more in the lanes of `lanes`.
    __attribute__((always_inline)) static UV count(const UV &hits, std::uint64_t lanes) {
        const __m512i h = wide(V(hits)), one = _mm512_set1_epi32(-1);
        __m512i r;
        if constexpr (sizeof(S) == 1)
            r = _mm512_mask_sub_epi8(h, lanes, h, one);
        else if constexpr (sizeof(S) == 2)
            r = _mm512_mask_sub_epi16(h, std::uint32_t(lanes), h, one);
        else if constexpr (sizeof(S) == 4)
            r = _mm512_mask_sub_epi32(h, std::uint16_t(lanes), h, one);
        else
            r = _mm512_mask_sub_epi64(h, std::uint8_t(lanes), h, one);
        UV out;
        std::memcpy(&out, &r, sizeof out);
        return out;
    }
#endif

    // The values [from, m) one at a time.
    static void tail(const std::byte *p, std::size_t from, std::size_t m, const Plan<S> &plan,
                     Tally<S> &t, Sink<S> &sink) {
        for (std::size_t i = from; i < m; ++i) {
            S x;
            std::memcpy(&x, p + i * sizeof(S), sizeof x);
            x = plan.key(x);
            t.min = x < t.min ? x : t.min;
            t.max = x > t.max ? x : t.max;
            for (int c = 0; c < plan.counted; ++c) {
                const auto at = std::size_t(plan.counted_cut[std::size_t(c)]);
                t.below[at] += x < plan.cut[at];
            }
            bool in = false;
            for (int r = 0; r < plan.runs; ++r)
                in |= x >= plan.run_lo[std::size_t(r)] && x <= plan.run_hi[std::size_t(r)];
            if (in) {
                sink.reserve(1);
                sink.put(x);
            }
        }
    }

    // Any plan: a block of values is made into keys once, then each cut and
    // each run of gathered gaps goes over the block, which stays in the
    // fastest cache. So any plan costs what its cuts and runs need.
    static void run(const std::byte *p, std::size_t m, const Plan<S> &plan, Tally<S> &t,
                    Sink<S> &sink) {
        UV hits[kMaxCuts];  // unsigned: they count on by wrapping
        for (int c = 0; c < plan.counted; ++c) hits[c] = UV{};
        const V all = splat(plan.all);
        V lo = splat(t.min), hi = splat(t.max);
        const std::size_t vectors = m / L;
        std::size_t round = 0;
        auto sum = [&] {
            for (int c = 0; c < plan.counted; ++c) {
                for (std::size_t j = 0; j < L; ++j)
                    t.below[std::size_t(plan.counted_cut[std::size_t(c)])] += hits[c][j];
                hits[c] = UV{};
            }
        };
        alignas(Bytes) V keys[kVectors];
        alignas(Bytes) V out[kVectors];
        for (std::size_t v0 = 0; v0 < vectors; v0 += kVectors) {
            const std::size_t nb = vectors - v0 < kVectors ? vectors - v0 : kVectors;
            for (std::size_t i = 0; i < nb; ++i) {
                V x;
                std::memcpy(&x, p + (v0 + i) * sizeof(V), sizeof x);
                x = key(x, all);
                lo = x < lo ? x : lo;
                hi = x > hi ? x : hi;
                keys[i] = x;
            }
            for (int c = 0; c < plan.counted; ++c) {
                const V cut = splat(plan.cut[std::size_t(plan.counted_cut[std::size_t(c)])]);
                UV below{};
                for (std::size_t i = 0; i < nb; ++i) below -= UV(V(keys[i] < cut));
                hits[c] += below;
            }
            if (++round == kRounds) {
                sum();
                round = 0;
            }
            if (plan.runs == 0) continue;
            for (int r = 0; r < plan.runs; ++r) {
                const V f = from(plan, r), w = span(plan, r);
                for (std::size_t i = 0; i < nb; ++i)
                    out[i] = r == 0 ? outside(keys[i], f, w) : V(out[i] & outside(keys[i], f, w));
            }
            for (std::size_t i = 0; i < nb; ++i) gather(keys[i], out[i], sink);
        }
        sum();
        for (std::size_t j = 0; j < L; ++j) {
            t.min = lo[j] < t.min ? lo[j] : t.min;
            t.max = hi[j] > t.max ? hi[j] : t.max;
        }
        tail(p, vectors * L, m, plan, t, sink);
    }
};

// The same for plans of KC counted cuts and RR runs (or fewer: padded),
// everything held in registers and each value tested once: the common
// plans (a window around each of a few percentiles, or values counted on
// data of few distinct values) at close to the cost of reading the values.
template <class S, bool Float, std::size_t Bytes, int KC, int RR>
struct Fused {
    using Block = Scan<S, Float, Bytes>;
    using V = typename Block::V;
    using UV = typename Block::UV;
    static constexpr std::size_t L = Block::L;
    // Vectors between sums of the lane counters.
    static constexpr std::size_t kRound = sizeof(S) == 1   ? 254
                                          : sizeof(S) == 2 ? 65534
                                                           : std::size_t{1} << 28;

    static void run(const std::byte *p, std::size_t m, const Plan<S> &plan, Tally<S> &t,
                    Sink<S> &sink) {
        V cut[KC], from[RR > 0 ? RR : 1], span[RR > 0 ? RR : 1];
        // Padded with the last cut, whose extra hits are not summed, and the
        // last run again. (The plan has at least one of each here.)
        const int last_cut = std::max(plan.counted - 1, 0), last_run = std::max(plan.runs - 1, 0);
        for (int c = 0; c < KC; ++c)
            cut[c] = Block::splat(
                plan.cut[std::size_t(plan.counted_cut[std::size_t(std::min(c, last_cut))])]);
        for (int r = 0; r < RR; ++r) {
            from[r] = Block::from(plan, std::min(r, last_run));
            span[r] = Block::span(plan, std::min(r, last_run));
        }
        const V all = Block::splat(plan.all);
        V lo = Block::splat(t.min), hi = Block::splat(t.max);
        auto key = [&](const V &x) __attribute__((always_inline)) { return Block::key(x, all); };
        // Lanes outside every run: all bits set.
        auto outside = [&](const V &x) __attribute__((always_inline)) {
            V out = ~V{};
            for (int r = 0; r < RR; ++r) out &= Block::outside(x, from[r], span[r]);
            return out;
        };
        auto gather = [&](const V &x, const V &out)
                          __attribute__((always_inline)) { Block::gather(x, out, sink); };
        const std::size_t vectors = m / L;
        for (std::size_t v = 0; v < vectors;) {
            const std::size_t end = vectors - v < kRound ? vectors : v + kRound;
            UV hits[KC];  // unsigned: they count on by wrapping
            for (int c = 0; c < KC; ++c) hits[c] = UV{};
            // Two vectors at a time: hits are rare, and the registers suffice.
            for (; v + 2 <= end; v += 2) {
                V x0, x1;
                std::memcpy(&x0, p + v * sizeof(V), sizeof(V));
                std::memcpy(&x1, p + (v + 1) * sizeof(V), sizeof(V));
                x0 = key(x0);
                x1 = key(x1);
                lo = x0 < lo ? x0 : lo;
                hi = x0 > hi ? x0 : hi;
                lo = x1 < lo ? x1 : lo;
                hi = x1 > hi ? x1 : hi;
#ifdef __AVX512BW__
                if constexpr (Bytes == 64) {
                    for (int c = 0; c < KC; ++c)
                        hits[c] = Block::count(Block::count(hits[c], Block::less(x0, cut[c])),
                                               Block::less(x1, cut[c]));
                    if constexpr (RR > 0) {
                        std::uint64_t in0 = 0, in1 = 0;
                        for (int r = 0; r < RR; ++r) {
                            in0 |= Block::inside(x0, from[r], span[r]);
                            in1 |= Block::inside(x1, from[r], span[r]);
                        }
                        if constexpr (Block::kCompress) {
                            if (plan.dense || (in0 | in1)) Block::compress(x0, in0, x1, in1, sink);
                        } else if (in0 | in1) {
                            Block::gather(x0, in0, sink);
                            Block::gather(x1, in1, sink);
                        }
                    }
                    continue;
                }
#endif
                for (int c = 0; c < KC; ++c) hits[c] -= UV(V(x0 < cut[c])) + UV(V(x1 < cut[c]));
                if constexpr (RR > 0) {
                    const V o0 = outside(x0), o1 = outside(x1);
                    if (Block::any_clear(o0 & o1)) {
                        gather(x0, o0);
                        gather(x1, o1);
                    }
                }
            }
            for (; v < end; ++v) {
                V x;
                std::memcpy(&x, p + v * sizeof(V), sizeof(V));
                x = key(x);
                lo = x < lo ? x : lo;
                hi = x > hi ? x : hi;
                for (int c = 0; c < KC; ++c) hits[c] -= UV(V(x < cut[c]));
                if constexpr (RR > 0) gather(x, outside(x));
            }
            for (int c = 0; c < plan.counted; ++c)
                for (std::size_t j = 0; j < L; ++j)
                    t.below[std::size_t(plan.counted_cut[std::size_t(c)])] += hits[c][j];
        }
        for (std::size_t j = 0; j < L; ++j) {
            t.min = lo[j] < t.min ? lo[j] : t.min;
            t.max = hi[j] > t.max ? hi[j] : t.max;
        }
        Block::tail(p, vectors * L, m, plan, t, sink);
    }
};

#pragma GCC diagnostic pop

// The scan for a plan: one that holds it in registers when it is small,
// exactly as it is up to four counted cuts, else padded (the cost of a
// cut is two operations a vector). Bytes take the block scan: they are
// rare, and every variant costs compile time.
constexpr int kFusedCuts[] = {1, 2, 3, 4, 8, 10, 12, 16};

template <class S, bool Float, std::size_t Bytes, std::size_t I = 0, int RR = 0>
ScanKernel<S> pick(const Plan<S> &plan) {
    if constexpr (sizeof(S) == 1 || I == std::size(kFusedCuts)) {
        return &Scan<S, Float, Bytes>::run;
    } else {
        constexpr int KC = kFusedCuts[I];
        if constexpr (RR > (KC <= 4 ? KC : 2)) {
            return pick<S, Float, Bytes, I + 1, 0>(plan);
        } else {
            const bool fits = KC <= 4 ? plan.counted == KC && plan.runs == RR
                                      : plan.counted <= KC && plan.runs <= RR;
            if (fits) return &Fused<S, Float, Bytes, KC, RR>::run;
            return pick<S, Float, Bytes, I, RR + 1>(plan);
        }
    }
}

using Key = std::make_signed_t<std::conditional_t<
    GEMLO_SCAN_BITS == 8, std::uint8_t,
    std::conditional_t<GEMLO_SCAN_BITS == 16, std::uint16_t,
                       std::conditional_t<GEMLO_SCAN_BITS == 32, std::uint32_t, std::uint64_t>>>>;

}  // namespace

template <class S, bool Float, Isa I>
ScanKernel<S> scan_kernel_for(const Plan<S> &plan) {
    return pick<S, Float, I == Isa::Avx512 ? 64 : 32>(plan);
}

template ScanKernel<Key> scan_kernel_for<Key, bool(GEMLO_SCAN_FLOAT), Isa::GEMLO_SCAN_ISA>(
    const Plan<Key> &);

}  // namespace gemlo::core::pct
