// Exact selection in one read of the array, by windows around the ranks.
//
// Every value maps to an unsigned key whose order is the values' order
// (floats: flip the sign bit of positives, all bits of negatives; signed
// integers: flip the sign bit). A sample of evenly spread blocks shows
// roughly where each wanted rank lies. One read of the array then counts
// the values below a window around each rank and gathers those inside,
// many values tested at once; values the sample shows often are counted,
// not gathered, so data of few distinct values gather next to nothing.
// The read goes in stages (1/32 of the array, 7/32, the rest), and after
// each the windows narrow from its exact counts. A rank outside its window
// (the sample misled) is left between two counted cuts, for a second
// sample and read, then for radix passes: these count the values of the
// rank's range by their top bits, as stored, and gather a bucket small
// enough. Memory is bounded whatever the array's size, the array is never
// copied, and every read shares the array among the cores.
#include "core/percentile.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <iterator>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <type_traits>

#include <emmintrin.h>
#include <sys/mman.h>
#include <unistd.h>

namespace gemlo::core {

namespace {

// ---------------------------------------------------------------- layout

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
        if (mincore(reinterpret_cast<void *>(middle), page, &resident) != 0 || (resident & 1))
            return;
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
    ~ReadAhead() {
        stop_ = true;
        if (reader_.joinable()) reader_.join();
    }
    ReadAhead(const ReadAhead &) = delete;
    ReadAhead &operator=(const ReadAhead &) = delete;

private:
    std::atomic<bool> stop_{false};
    std::thread reader_;
};

// [0, n) in chunks that threads take in turn: a thread that starts late (an
// idle virtual CPU can take milliseconds to wake) does less, and none waits.
class Chunks {
public:
    Chunks(std::size_t n, unsigned threads, std::size_t least)
        : n_(n), size_(std::max<std::size_t>(n / (std::size_t{16} * threads) + 1, least)) {}

    bool next(std::size_t &begin, std::size_t &end) {
        begin = next_.fetch_add(size_);
        end = std::min(n_, begin + size_);
        return begin < n_;
    }

private:
    std::size_t n_, size_;
    std::atomic<std::size_t> next_{0};
};

// Threads that run the passes of one selection. The helpers stay between
// passes, waiting briefly awake, so that their CPUs need not wake again.
class Team {
public:
    explicit Team(unsigned threads) {
        for (unsigned t = 1; t < threads; ++t) helpers_.emplace_back([this] { serve(); });
    }
    ~Team() {
        stop_ = true;
        generation_.fetch_add(1, std::memory_order_release);
        for (auto &helper : helpers_) helper.join();
    }
    Team(const Team &) = delete;
    Team &operator=(const Team &) = delete;

    // Runs work(chunks) on every thread of the team, the calling one among them.
    // `least`: the smallest chunk worth handing out.
    template <class Work>
    void run(std::size_t n, Work &&work, std::size_t least = 1 << 16) {
        Chunks chunks(n, static_cast<unsigned>(helpers_.size() + 1), least);
        std::function<void()> job = [&] { work(chunks); };
        job_ = &job;
        error_ = nullptr;
        pending_.store(helpers_.size(), std::memory_order_relaxed);
        generation_.fetch_add(1, std::memory_order_release);
        std::exception_ptr mine;
        try {
            job();
        } catch (...) {
            mine = std::current_exception();
        }
        // The helpers use `chunks` and `job`: wait for them whatever happened.
        while (pending_.load(std::memory_order_acquire) != 0) std::this_thread::yield();
        if (mine) std::rethrow_exception(mine);
        if (error_) std::rethrow_exception(error_);
    }

private:
    void serve() {
        unsigned seen = 0;
        for (;;) {
            unsigned now;
            while ((now = generation_.load(std::memory_order_acquire)) == seen) {
                std::this_thread::yield();
            }
            seen = now;
            if (stop_) return;
            try {
                (*job_)();
            } catch (...) {
                std::lock_guard guard(lock_);
                error_ = std::current_exception();
            }
            pending_.fetch_sub(1, std::memory_order_acq_rel);
        }
    }

    std::vector<std::thread> helpers_;
    std::atomic<unsigned> generation_{0};
    std::atomic<std::size_t> pending_{0};
    std::atomic<bool> stop_{false};
    std::function<void()> *job_ = nullptr;
    std::mutex lock_;
    std::exception_ptr error_;
};

// ---------------------------------------------------------------- keys

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

// ---------------------------------------------------------------- one-pass scan

constexpr int kMaxCuts = 32;

// What one pass counts and gathers: the number of values below each cut,
// and the values of some gaps between cuts. Cuts and values are signed
// keys, x ^ ((x < 0) & negative) ^ all of the stored bits x as a signed
// integer: their signed order is the values' order, so that the vector
// units compare them directly.
template <class S>
struct Plan {
    int count = 0;                               // cuts in use, at least 1
    std::array<S, kMaxCuts> cut{};               // ascending
    std::uint32_t gathered = 0;                  // bit i: [cut i, cut i+1), the last to the top
    std::array<std::int8_t, kMaxCuts> window{};  // which window a gathered gap belongs to
    S negative = 0, all = 0;
    // What the scan tests, from the above (see finish()): the cuts whose
    // count is not that of the cut before plus the values gathered between
    // them, and the gathered gaps merged into runs [run_lo, run_hi].
    int counted = 0, runs = 0;
    std::array<std::int8_t, kMaxCuts> counted_cut{};
    std::array<S, kMaxCuts> run_lo{}, run_hi{};

    bool gathers(int gap) const { return (gathered >> gap) & 1; }

    void finish() {
        counted = runs = 0;
        for (int i = 0; i < count; ++i) {
            if (i == 0 || !gathers(i - 1)) counted_cut[std::size_t(counted++)] = std::int8_t(i);
            if (!gathers(i)) continue;
            const S hi =
                i + 1 < count ? S(cut[std::size_t(i + 1)] - 1) : std::numeric_limits<S>::max();
            if (i > 0 && gathers(i - 1)) {
                run_hi[std::size_t(runs - 1)] = hi;
            } else {
                run_lo[std::size_t(runs)] = cut[std::size_t(i)];
                run_hi[std::size_t(runs++)] = hi;
            }
        }
    }

    // The gap of a value at or above the first cut (no branch on the value).
    int gap_of(S x) const {
        int i = 0;
        for (int c = 1; c < count; ++c) i += cut[std::size_t(c)] <= x;
        return i;
    }
    bool in_run(S x) const {
        for (int r = 0; r < runs; ++r)
            if (x >= run_lo[std::size_t(r)] && x <= run_hi[std::size_t(r)]) return true;
        return false;
    }
    S key(S x) const { return S(x ^ (x < 0 ? negative : S(0)) ^ all); }
};

// What one thread counted in its share of a pass.
template <class S>
struct Tally {
    std::array<std::uint64_t, kMaxCuts> below{};     // of the counted cuts
    std::array<std::uint64_t, kMaxCuts> gathered{};  // per gap
    S min = std::numeric_limits<S>::max(), max = std::numeric_limits<S>::min();
};

// Values around some targets, [lo, hi]: `points` counted, the rest gathered.
template <class S>
struct Window {
    S lo, hi;
    std::vector<S> points;             // ascending, within [lo, hi]
    std::vector<std::size_t> targets;  // indices
    std::unique_ptr<S[]> keys;
    std::atomic<std::size_t> filled{0};  // counts on past the capacity
    std::atomic<bool> overflow{false};
};

template <class S>
struct Windows {
    std::vector<std::unique_ptr<Window<S>>> list;  // ascending, disjoint
    std::size_t capacity = 0;                      // keys each may gather
    std::atomic<std::size_t> used{0};              // keys gathered by all
    std::size_t budget = 0;
};

// Gathers the values of a thread: appended to a buffer of its own, handed
// to their windows a buffer at a time.
template <class S>
class Sink {
public:
    static constexpr std::size_t kSize = 4096;

    Sink(const Plan<S> &p, Windows<S> &w, Tally<S> &t)
        : plan_(&p),
          windows_(&w),
          tally_(&t),
          keys_(new S[kSize]),
          window_(new std::int8_t[kSize]) {}

    // Room for `k` more keys.
    void reserve(std::size_t k) {
        if (size_ + k > kSize) flush();
    }
    void put(S x) { keys_[size_++] = x; }

    void flush() {
        std::array<std::size_t, kMaxCuts> per{}, at{};
        for (std::size_t i = 0; i < size_; ++i) {
            const int gap = plan_->gap_of(keys_[i]);
            ++tally_->gathered[std::size_t(gap)];
            window_[i] = plan_->window[std::size_t(gap)];
            ++per[std::size_t(window_[i])];
        }
        std::array<bool, kMaxCuts> keep{};
        for (std::size_t w = 0; w < windows_->list.size(); ++w) {
            const std::size_t k = per[w];
            if (k == 0) continue;
            Window<S> &win = *windows_->list[w];
            at[w] = win.filled.fetch_add(k);
            // Past the memory budget the window gives up; its targets are finished later.
            if (!win.overflow.load(std::memory_order_relaxed)) {
                if (windows_->used.fetch_add(k) + k > windows_->budget ||
                    at[w] + k > windows_->capacity)
                    win.overflow = true;
                else
                    keep[w] = true;
            }
        }
        for (std::size_t i = 0; i < size_; ++i) {
            const auto w = std::size_t(window_[i]);
            if (keep[w]) windows_->list[w]->keys[at[w]++] = keys_[i];
        }
        size_ = 0;
    }

private:
    const Plan<S> *plan_;
    Windows<S> *windows_;
    Tally<S> *tally_;
    std::unique_ptr<S[]> keys_;
    std::unique_ptr<std::int8_t[]> window_;
    std::size_t size_ = 0;
};

// Counts and gathers the values of a run (machine byte order, any
// alignment) against a plan, many at once: a block of values is made into
// keys once, then each cut and each run of gathered gaps goes over the
// block, which stays in the fastest cache. So any plan costs what its
// cuts and runs need, with nothing padded. Compiled for AVX2 too, chosen
// when the processor has it; the default needs SSE2.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
template <class S, bool Float>
struct Scan {
    using U = std::make_unsigned_t<S>;
    static constexpr std::size_t L = 32 / sizeof(S);
    typedef S V __attribute__((vector_size(32)));
    typedef U UV __attribute__((vector_size(32)));
    static constexpr std::size_t kVectors = 64;  // a block: 2 KB
    // Blocks between sums of the lane counters, which hold at most 2^(8 sizeof(S)) - 1.
    static constexpr std::size_t kRounds = sizeof(S) == 1   ? 255 / kVectors
                                           : sizeof(S) == 2 ? 65535 / kVectors
                                                            : 1 << 20;
    static constexpr S kLowest = std::numeric_limits<S>::min();
    static constexpr S kHighest = std::numeric_limits<S>::max();

    __attribute__((always_inline)) static V splat(S s) {
        V v;
        for (std::size_t j = 0; j < L; ++j) v[j] = s;
        return v;
    }
    // The plan's key of stored bits: negative floats flip all but the sign
    // bit; integers flip `all` (unsigned ones: the sign bit).
    __attribute__((always_inline)) static V key(V x, const V &all) {
        if constexpr (Float)
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
    // One bit per lane of a mask vector, at the lane's lowest byte.
    __attribute__((always_inline)) static std::uint32_t bits(const V &m) {
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
        __m128i half[2];
        std::memcpy(half, &m, sizeof half);
        return _mm_movemask_epi8(_mm_and_si128(half[0], half[1])) != 0xffff;
    }
    __attribute__((always_inline)) static void gather(const V &x, const V &out, Sink<S> &sink) {
        std::uint32_t take = bits(~out);
        if (take == 0) return;
        sink.reserve(L);
        for (; take; take &= take - 1) sink.put(x[std::size_t(std::countr_zero(take)) / sizeof(S)]);
    }

    // The values [from, m) one at a time.
    static void tail(const std::byte *p, std::size_t from, std::size_t m, const Plan<S> &plan,
                     Tally<S> &t, Sink<S> &sink) {
        for (std::size_t i = from; i < m; ++i) {
            S x;
            std::memcpy(&x, p + i * sizeof(S), sizeof x);
            x = plan.key(x);
            t.min = std::min(t.min, x);
            t.max = std::max(t.max, x);
            for (int c = 0; c < plan.counted; ++c) {
                const auto at = std::size_t(plan.counted_cut[std::size_t(c)]);
                t.below[at] += x < plan.cut[at];
            }
            if (plan.in_run(x)) {
                sink.reserve(1);
                sink.put(x);
            }
        }
    }

    __attribute__((target_clones("avx2", "default"))) static void run(const std::byte *p,
                                                                      std::size_t m,
                                                                      const Plan<S> &plan,
                                                                      Tally<S> &t, Sink<S> &sink) {
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
        alignas(32) V keys[kVectors];
        alignas(32) V out[kVectors];
        for (std::size_t v0 = 0; v0 < vectors; v0 += kVectors) {
            const std::size_t nb = std::min(kVectors, vectors - v0);
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
            t.min = std::min<S>(t.min, lo[j]);
            t.max = std::max<S>(t.max, hi[j]);
        }
        tail(p, vectors * L, m, plan, t, sink);
    }
};

// The same for plans of KC counted cuts and RR runs (or fewer: padded),
// everything held in registers and each value tested once: the common
// plans (a window around each of a few percentiles, or values counted on
// data of few distinct values) at close to the cost of reading the values.
template <class S, bool Float, int KC, int RR>
struct Fused {
    using Block = Scan<S, Float>;
    using V = typename Block::V;
    using UV = typename Block::UV;
    static constexpr std::size_t L = Block::L;
    static constexpr std::size_t kRound = sizeof(S) == 1   ? 254
                                          : sizeof(S) == 2 ? 65534
                                                           : std::size_t{1} << 28;

    __attribute__((target_clones("avx2", "default"))) static void run(const std::byte *p,
                                                                      std::size_t m,
                                                                      const Plan<S> &plan,
                                                                      Tally<S> &t, Sink<S> &sink) {
        V cut[KC], from[RR > 0 ? RR : 1], span[RR > 0 ? RR : 1];
        // Padded with the last cut, whose extra hits are not summed, and the
        // first run again.
        for (int c = 0; c < KC; ++c)
            cut[c] = Block::splat(plan.cut[std::size_t(
                plan.counted_cut[std::size_t(std::min(c, plan.counted - 1))])]);
        for (int r = 0; r < RR; ++r) {
            from[r] = Block::from(plan, std::min(r, plan.runs - 1));
            span[r] = Block::span(plan, std::min(r, plan.runs - 1));
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
            const std::size_t end = std::min(vectors, v + kRound);
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
            t.min = std::min<S>(t.min, lo[j]);
            t.max = std::max<S>(t.max, hi[j]);
        }
        Block::tail(p, vectors * L, m, plan, t, sink);
    }
};
#pragma GCC diagnostic pop

// ---------------------------------------------------------------- selection

// The passes disagree on the counts only when the values changed between them.
std::runtime_error changed() {
    return std::runtime_error("the array changed while its percentiles were computed");
}

constexpr std::size_t kCollectBytes = std::size_t{2} << 20;     // keys gathered in one pass
constexpr std::size_t kFlush = 256;                             // keys buffered per thread
constexpr int kRefineBits = 11;                                 // bits counted per later pass
constexpr std::size_t kSampleBlocks = 1024, kSampleBlock = 64;  // the sample: blocks of values
// The read goes over superblocks of kStageBlocks.back() blocks in stages,
// each stage the next blocks of every superblock: 1 in 32, 7 more, the rest.
// A block is 1 KB, or 256 values (fewer would cost more than they narrow).
constexpr std::size_t kPhaseBlockBytes = 1024;
constexpr std::array<std::size_t, 3> kStageBlocks{1, 8, 32};
constexpr std::size_t kShareSample = std::size_t{1} << 25;  // values: sampled by all threads
constexpr std::size_t kShareKeys = std::size_t{1} << 15;    // gathered: selected by all threads
constexpr double kSigmas = 5;  // windows: standard deviations of the rank's estimate

template <class C>
class Selector {
    using Key = typename C::Key;
    static constexpr int W = C::bits;
    static constexpr Key kMax = std::numeric_limits<Key>::max();
    static constexpr std::size_t kPhaseBlock =  // values
        std::max(kPhaseBlockBytes / sizeof(Key), std::size_t{256});
    static constexpr std::size_t kSuper = kPhaseBlock * kStageBlocks.back();

    // A wanted rank and the keys it may still have: all values with a key in
    // [lo, hi] are `count`, and the wanted one is the `inner`-th of them.
    struct Target {
        std::size_t rank;
        std::uint64_t inner;
        Key lo = 0, hi = kMax;
        std::uint64_t count = 0;
        bool done() const { return lo == hi; }
    };

    // The values with a key in [lo, hi], looked at in one pass: gathered
    // when few, else counted in buckets of 2^shift keys.
    struct Group {
        Key lo, hi;
        std::uint64_t count;
        bool collect = false;
        int shift = 0;
        std::vector<Key> keys;
        std::atomic<std::size_t> filled{0};
        std::vector<std::uint64_t> hist;
        Key min = kMax, max = 0;
    };

public:
    Selector(const Layout &layout, unsigned threads) : layout_(layout), team_(threads) {}

    // The keys at the given ranks of the sorted values.
    std::vector<Key> select(const std::vector<std::size_t> &ranks) {
        for (std::size_t r : ranks) targets_.push_back({r, r, 0, kMax, layout_.count});
        // Few values are simply gathered.
        if (layout_.count * sizeof(Key) > kCollectBytes) {
            ReadAhead ahead(layout_, sizeof(Key), sampled_memory(0));
            window_pass(0);
            // A sample that misled: another, elsewhere, unless one more pass finishes anyway.
            if (std::any_of(targets_.begin(), targets_.end(), [](auto &t) {
                    return !t.done() && t.count * sizeof(Key) > kCollectBytes;
                })) {
                auto before = targets_;
                window_pass(1);
                for (std::size_t i = 0; i < targets_.size(); ++i)
                    if (!targets_[i].done() && targets_[i].count > before[i].count)
                        targets_[i] = before[i];
            }
        }
        while (std::any_of(targets_.begin(), targets_.end(), [](auto &t) { return !t.done(); })) {
            refine_pass();
        }
        std::vector<Key> keys;
        for (auto &t : targets_) keys.push_back(t.lo);
        return keys;
    }

    // Full reads of the array so far.
    unsigned passes() const { return passes_; }

private:
    const Layout &layout_;
    Team team_;
    std::vector<Target> targets_;
    unsigned passes_ = 0;

    // ------------------------------------------------ one pass by windows
    //
    // A sample of the array tells roughly where each wanted rank lies; a
    // window of values around it is gathered, the values below it counted.
    // The pass reads the array in stages, each a stratified share of it:
    // after each the windows are narrowed (the rank's place is then known
    // far better than from the sample) before the next is read.
    // Values that the sample shows often are counted, not gathered, so
    // windows on data of few distinct values hold no values at all. A rank
    // outside its window leaves its target narrowed to the gap between two
    // counted cuts, for the radix passes to finish.

    using S = std::make_signed_t<Key>;
    static constexpr S kLowest = std::numeric_limits<S>::min();
    static constexpr S kHighest = std::numeric_limits<S>::max();
    static S skey(Key k) { return S(Key(k ^ C::top)); }
    static Key ukey(S s) { return Key(Key(s) ^ C::top); }

    using Window = gemlo::core::Window<S>;
    using Windows = gemlo::core::Windows<S>;

    // The cuts and gathered gaps of the windows, in order.
    static Plan<S> plan_of(const Windows &windows) {
        Plan<S> plan;
        auto add = [&](S c) {
            if (plan.count > 0 && plan.cut[std::size_t(plan.count - 1)] == c) return;
            plan.cut[std::size_t(plan.count++)] = c;
        };
        if constexpr (C::kind == NumberKind::Float) plan.negative = kHighest;
        if constexpr (C::kind == NumberKind::Unsigned) plan.all = kLowest;
        auto gather_from_last = [&](std::size_t w, bool gather) {
            if (gather) plan.gathered |= std::uint32_t{1} << (plan.count - 1);
            plan.window[std::size_t(plan.count - 1)] = std::int8_t(w);
        };
        for (std::size_t w = 0; w < windows.list.size(); ++w) {
            const Window &win = *windows.list[w];
            const bool gather = !win.overflow;
            add(win.lo);
            S from = win.lo;
            bool top = false;  // the counted point is the highest key
            for (S p : win.points) {
                if (p > from) {
                    gather_from_last(w, gather);
                    add(p);
                }
                if (p == kHighest) {
                    top = true;
                    break;
                }
                add(S(p + 1));
                from = S(p + 1);
            }
            if (top || (from > win.hi && win.points.size() > 0 && win.points.back() == win.hi))
                continue;
            gather_from_last(w, gather);
            if (win.hi != kHighest) add(S(win.hi + 1));
        }
        if (plan.count == 0) plan.cut[std::size_t(plan.count++)] = kLowest;
        plan.finish();
        return plan;
    }

    // Cuts of a window: its ends and each point's two, shared where they meet.
    static int cuts_needed(const Window &w) {
        if (w.points.empty()) return 2;
        return 2 + 2 * int(w.points.size()) - (w.points.front() == w.lo) -
               (w.points.back() == w.hi);
    }

    // Runs the scan over the values [begin, end) of every superblock's
    // share (`first`: the first block of each, else the rest).
    // The scan for a plan: one that holds it in registers when it is small,
    // exactly as it is up to four counted cuts, else padded (the cost of a
    // cut is two operations a vector). Bytes take the block scan: they are
    // rare, and every variant costs compile time.
    using Kernel = void (*)(const std::byte *, std::size_t, const Plan<S> &, Tally<S> &, Sink<S> &);
    static constexpr std::array<int, 8> kFusedCuts{1, 2, 3, 4, 8, 10, 12, 16};

    template <std::size_t I = 0, int RR = 0>
    static Kernel kernel_for(const Plan<S> &plan) {
        constexpr bool F = C::kind == NumberKind::Float;
        if constexpr (sizeof(S) == 1 || I == kFusedCuts.size()) {
            return &Scan<S, F>::run;
        } else {
            constexpr int KC = kFusedCuts[I];
            if constexpr (RR > (KC <= 4 ? KC : 2)) {
                return kernel_for<I + 1, 0>(plan);
            } else {
                const bool fits = KC <= 4 ? plan.counted == KC && plan.runs == RR
                                          : plan.counted <= KC && plan.runs <= RR;
                if (fits) return &Fused<S, F, KC, RR>::run;
                return kernel_for<I, RR + 1>(plan);
            }
        }
    }

    // Runs the scan over the blocks [first, last) of every superblock.
    void scan_phase(const Plan<S> &plan, Windows &windows, std::size_t first, std::size_t last,
                    std::array<std::uint64_t, kMaxCuts> &below, S &min, S &max) {
        const Kernel kernel = kernel_for(plan);
        Tally<S> sum;
        const std::size_t n = layout_.count;
        std::mutex lock;
        auto work = [&](Chunks &chunks) {
            Tally<S> tally;
            Sink<S> sink(plan, windows, tally);
            for (std::size_t begin, end; chunks.next(begin, end);) {
                for (std::size_t b = begin; b < end; ++b) {
                    const std::size_t from = b * kSuper + first * kPhaseBlock;
                    const std::size_t to = b * kSuper + last * kPhaseBlock;
                    for_runs(layout_, std::min(from, n), std::min(to, n),
                             [&](const std::byte *p, std::size_t m, std::ptrdiff_t stride) {
                                 each_block<C>(p, m, stride,
                                               [&](const std::byte *bits, std::size_t count) {
                                                   kernel(bits, count, plan, tally, sink);
                                               });
                             });
                }
            }
            sink.flush();
            std::lock_guard guard(lock);
            for (int i = 0; i < plan.count; ++i) {
                sum.below[std::size_t(i)] += tally.below[std::size_t(i)];
                sum.gathered[std::size_t(i)] += tally.gathered[std::size_t(i)];
            }
            min = std::min(min, tally.min);
            max = std::max(max, tally.max);
        };
        team_.run((n + kSuper - 1) / kSuper, work, 1);
        // A cut after a gathered gap: the cut before and the values gathered between.
        for (int i = 1; i < plan.count; ++i)
            if (plan.gathers(i - 1))
                sum.below[std::size_t(i)] =
                    sum.below[std::size_t(i - 1)] + sum.gathered[std::size_t(i - 1)];
        for (int i = 0; i < plan.count; ++i) below[std::size_t(i)] += sum.below[std::size_t(i)];
    }

    // Evenly spread blocks of values, as signed keys.
    // `attempt` 0 takes the middle of each stretch, 1 a quarter in.
    // Where the j-th sampled block starts, in the layout's order.
    std::size_t sampled_at(std::size_t j, int attempt) const {
        const std::size_t n = layout_.count;
        const std::size_t at = (4 * j + 2 - std::size_t(attempt)) * n / (4 * kSampleBlocks);
        return std::min(at - std::min(at, kSampleBlock / 2), n - kSampleBlock);
    }

    // The memory of the sampled blocks.
    std::vector<std::pair<const std::byte *, std::size_t>> sampled_memory(int attempt) const {
        std::vector<std::pair<const std::byte *, std::size_t>> out;
        for (std::size_t j = 0; j < kSampleBlocks; ++j) {
            const std::size_t at = sampled_at(j, attempt);
            for_runs(layout_, at, at + kSampleBlock,
                     [&](const std::byte *p, std::size_t m, std::ptrdiff_t stride) {
                         out.push_back({p, (m - 1) * std::size_t(stride) + sizeof(Key)});
                     });
        }
        return out;
    }

    std::vector<S> sample(int attempt) {
        const std::size_t n = layout_.count;
        std::vector<S> keys(kSampleBlocks * kSampleBlock);
        auto work = [&](Chunks &chunks) {
            for (std::size_t begin, end; chunks.next(begin, end);) {
                for (std::size_t j = begin; j < end; ++j) {
                    const std::size_t at = sampled_at(j, attempt);
                    S *out = keys.data() + j * kSampleBlock;
                    for_runs(layout_, at, at + kSampleBlock,
                             [&](const std::byte *p, std::size_t m, std::ptrdiff_t stride) {
                                 each_bits<C>(p, m, stride,
                                              [&](Key u) { *out++ = skey(C::key_of(u)); });
                             });
                }
            }
        };
        // Shared by the threads on large arrays: on a file not yet read,
        // their reads overlap; elsewhere waking them costs more.
        if (n >= kShareSample) {
            team_.run(kSampleBlocks, work, 1);
        } else {
            Chunks all(kSampleBlocks, 1, kSampleBlocks);
            work(all);
        }
        return keys;
    }

    // Puts at nth the key that sorting [first, last) would put there, the
    // keys before it not above it and those after not below: a quickselect
    // whose partitions do not branch on the keys, which a branch would
    // mispredict every other time. Rounds that do not shrink the range fast
    // enough (a pattern against the pivot) leave the rest to the library.
    static void nth_key(S *first, S *nth, S *last) {
        for (int rounds = 2 * std::bit_width(std::size_t(last - first)); last - first > 16;) {
            if (rounds-- == 0) return std::nth_element(first, nth, last);
            const S a = *first, b = first[(last - first) / 2], c = last[-1];
            const S pivot = std::max(std::min(a, b), std::min(std::max(a, b), c));
            S *lt = first;  // [first, lt): below the pivot
            for (S *p = first; p != last; ++p) {
                const S x = *p;
                *p = *lt;
                *lt = x;
                lt += x < pivot;
            }
            if (nth < lt) {
                last = lt;
                continue;
            }
            S *le = lt;  // [lt, le): equal to the pivot, which is one of the keys
            for (S *p = lt; p != last; ++p) {
                const S x = *p;
                *p = *le;
                *le = x;
                le += !(pivot < x);
            }
            if (nth < le) return;
            first = le;
        }
        std::sort(first, last);
    }

    // Puts at each place of [at, at_end) (ascending, distinct, each at least
    // `offset`) the key that sorting [first, last) would put there, where
    // first is place `offset`.
    static void select_at(S *first, S *last, const std::size_t *at, const std::size_t *at_end,
                          std::size_t offset) {
        if (at == at_end) return;
        const std::size_t *mid = at + (at_end - at) / 2;
        S *nth = first + (*mid - offset);
        nth_key(first, nth, last);
        select_at(first, nth, at, mid, offset);
        select_at(nth + 1, last, mid + 1, at_end, *mid + 1);
    }

    // The k-th smallest (from 0) of the keys [first, last) and of `points`
    // counted `counts` times each; reorders the keys.
    // All lie in [lo, hi]: when that holds fewer keys than there are values
    // (integers of a narrow range), they are counted instead.
    static S kth(S *first, S *last, S lo, S hi, const std::vector<S> &points,
                 const std::vector<std::uint64_t> &counts, std::uint64_t k) {
        using U = std::make_unsigned_t<S>;
        const auto range = std::size_t(U(U(hi) - U(lo)));
        if (range < (std::size_t{1} << 16) && range < std::size_t(last - first)) {
            std::vector<std::uint64_t> hist(range + 1);
            for (const S *p = first; p != last; ++p) {
                const auto at = std::size_t(U(U(*p) - U(lo)));
                if (at > range) throw changed();
                ++hist[at];
            }
            for (std::size_t i = 0; i < points.size(); ++i)
                hist[std::size_t(U(U(points[i]) - U(lo)))] += counts[i];
            for (std::size_t v = 0; v <= range; ++v) {
                if (k < hist[v]) return S(U(U(lo) + U(v)));
                k -= hist[v];
            }
            throw changed();
        }
        for (std::size_t i = 0; i < points.size(); ++i) {
            const S p = points[i];
            S *mid = std::partition(first, last, [p](S x) { return x < p; });
            const auto below = std::uint64_t(mid - first);
            if (k < below) {
                std::nth_element(first, first + std::ptrdiff_t(k), mid);
                return first[k];
            }
            k -= below;
            if (k < counts[i]) return p;
            k -= counts[i];
            first = mid;
        }
        if (k >= std::uint64_t(last - first)) throw changed();
        std::nth_element(first, first + std::ptrdiff_t(k), last);
        return first[k];
    }

    // Values below each cut, looked up by the cut.
    struct Counts {
        const Plan<S> *plan;
        const std::array<std::uint64_t, kMaxCuts> *below;
        std::uint64_t total;
        // Values below c, which must be a cut, or total for the top.
        std::uint64_t at(S c) const {
            for (int i = 0; i < plan->count; ++i)
                if (plan->cut[std::size_t(i)] == c) return (*below)[std::size_t(i)];
            throw std::logic_error("percentiles: no such cut");
        }
        std::uint64_t after(S hi) const { return hi == kHighest ? total : at(S(hi + 1)); }
    };

    // Counts of the window's points, from the counts at the cuts.
    static std::vector<std::uint64_t> point_counts(const Window &w, const Counts &counts) {
        std::vector<std::uint64_t> out;
        for (S p : w.points) out.push_back(counts.after(p) - counts.at(p));
        return out;
    }

    // Finds the targets in one pass, or narrows them to the gap between two cuts.
    void window_pass(int attempt) {
        const std::size_t n = layout_.count;
        std::vector<S> sampled = sample(attempt);
        const auto m = double(sampled.size());
        const std::size_t budget = std::max(kCollectBytes, n * sizeof(Key) / 125) / sizeof(Key);

        // A window for each target but the ends, which are the minimum and maximum:
        // its place among the sampled values of its range, as far as known.
        struct Guess {
            std::size_t target;
            double first, span, a, b;
        };
        std::vector<Guess> guesses;
        std::vector<std::size_t> at;  // ranks among the sampled values wanted
        auto sampled_below = [&](S x) {
            return double(
                std::count_if(sampled.begin(), sampled.end(), [x](S k) { return k < x; }));
        };
        for (auto &t : targets_) {
            if (t.done() || t.rank == 0 || t.rank == n - 1) continue;
            const S from = skey(t.lo), to = skey(t.hi);
            const double first = from == kLowest ? 0 : sampled_below(from);
            const double span = (to == kHighest ? m : sampled_below(S(to + 1))) - first;
            const double q = (double(t.inner) + 0.5) / double(t.count);
            const double j = first + q * span;
            const double d = kSigmas * std::sqrt(span * q * (1 - q)) + double(kSampleBlock) + 2;
            const Guess g{std::size_t(&t - targets_.data()), first, span, std::floor(j - d),
                          std::ceil(j + d)};
            if (g.a >= first) at.push_back(std::size_t(g.a));
            if (g.b < first + span) at.push_back(std::size_t(g.b));
            guesses.push_back(g);
        }
        std::sort(at.begin(), at.end());
        at.erase(std::unique(at.begin(), at.end()), at.end());
        select_at(sampled.data(), sampled.data() + sampled.size(), at.data(), at.data() + at.size(),
                  0);
        Windows windows;
        std::vector<std::unique_ptr<Window>> raw;
        for (const Guess &g : guesses) {
            const Target &t = targets_[g.target];
            auto w = std::make_unique<Window>();
            w->lo = g.a < g.first ? skey(t.lo) : sampled[std::size_t(g.a)];
            w->hi = g.b >= g.first + g.span ? skey(t.hi) : sampled[std::size_t(g.b)];
            if (w->lo > w->hi) continue;
            w->targets.push_back(g.target);
            raw.push_back(std::move(w));
        }
        std::sort(raw.begin(), raw.end(), [](auto &x, auto &y) { return x->lo < y->lo; });
        for (auto &w : raw) {
            Window *last = windows.list.empty() ? nullptr : windows.list.back().get();
            if (last && (last->hi == kHighest || w->lo <= S(last->hi + 1))) {
                last->hi = std::max(last->hi, w->hi);
                last->targets.insert(last->targets.end(), w->targets.begin(), w->targets.end());
            } else {
                windows.list.push_back(std::move(w));
            }
        }
        // Targets of windows beyond the cuts are left to the radix passes.
        if (windows.list.size() > kMaxCuts / 2) windows.list.resize(kMaxCuts / 2);
        // Values the sample holds often are counted: a value seen `heavy`
        // times stands for about a quarter of what a window may gather.
        windows.budget = budget;
        windows.capacity = budget;
        const double heavy =
            std::max(2.0, double(budget) / double(std::max<std::size_t>(windows.list.size(), 1)) /
                              4 * m / double(n));
        int cuts = 0;
        for (auto &w : windows.list) {
            std::vector<S> inside;
            std::copy_if(sampled.begin(), sampled.end(), std::back_inserter(inside),
                         [&](S k) { return k >= w->lo && k <= w->hi; });
            std::sort(inside.begin(), inside.end());
            const auto from = inside.begin(), to = inside.end();
            std::vector<std::pair<std::size_t, S>> runs;  // (times seen, value)
            for (auto i = from; i != to;) {
                auto next = std::upper_bound(i, to, *i);
                if (double(next - i) >= heavy) runs.push_back({std::size_t(next - i), *i});
                i = next;
            }
            // The most frequent, as many as the cuts allow.
            std::sort(runs.begin(), runs.end(), std::greater<>());
            const int later = 2 * (int(windows.list.size()) - int(&w - windows.list.data()) - 1);
            for (std::size_t r = 0; r < runs.size() && r < 4; ++r) {
                w->points.insert(
                    std::upper_bound(w->points.begin(), w->points.end(), runs[r].second),
                    runs[r].second);
                if (cuts + cuts_needed(*w) + later > kMaxCuts) {
                    std::erase(w->points, runs[r].second);
                    break;
                }
            }
            cuts += cuts_needed(*w);
        }
        for (auto &w : windows.list)
            w->keys = std::make_unique_for_overwrite<S[]>(windows.capacity);

        Plan<S> plan = plan_of(windows);
        std::array<std::uint64_t, kMaxCuts> below{};
        S min = kHighest, max = kLowest;
        ++passes_;
        std::size_t done = 0;  // blocks of each superblock read
        for (std::size_t last : kStageBlocks) {
            scan_phase(plan, windows, done, last, below, min, max);
            done = last;
            const std::size_t seen =
                n / kSuper * done * kPhaseBlock + std::min(n % kSuper, done * kPhaseBlock);
            if (seen == n) break;
            narrow(windows, plan, below, seen);
        }
        Counts total{&plan, &below, n};
        resolve(windows, total, min, max);
    }

    // Narrower windows from the `seen` values read so far, each on a thread:
    // the rank's place in the rest is that among them, scaled, within a few
    // standard deviations and a superblock (sorted data). Each window keeps
    // the counts below its new cuts, taken from all it gathered before it
    // drops what lies outside. The plan and its counts become the new ones.
    void narrow(Windows &windows, Plan<S> &plan, std::array<std::uint64_t, kMaxCuts> &below,
                std::size_t seen) {
        const std::size_t n = layout_.count;
        Counts first{&plan, &below, seen};
        std::vector<std::vector<std::pair<S, std::uint64_t>>> found(windows.list.size());
        const double scale = double(seen) / double(n), rest = double(n - seen);
        each_window(windows, [&](std::size_t wi) {
            Window *w = windows.list[wi].get();
            if (w->overflow) return;
            const auto counts = point_counts(*w, first);
            const std::uint64_t base = first.at(w->lo), size = first.after(w->hi) - base;
            S *keys = w->keys.get(), *end = keys + w->filled.load();
            std::uint64_t counted = 0;
            for (auto c : counts) counted += c;
            if (std::uint64_t(end - keys) + counted != size) throw changed();
            auto at = [&](double rank) {
                const double k = std::floor(rank * scale) - double(base);
                if (k < 0) return w->lo;
                if (k >= double(size)) return w->hi;
                return kth(keys, end, w->lo, w->hi, w->points, counts, std::uint64_t(k));
            };
            S lo = kHighest, hi = kLowest;
            for (std::size_t i : w->targets) {
                const Target *t = &targets_[i];
                const double q = (double(t->rank) + 0.5) / double(n);
                const double margin =
                    kSigmas * std::sqrt(q * (1 - q) * double(n) * rest / double(seen)) +
                    double(kSuper) + 16;
                lo = std::min(lo, at(double(t->rank) - margin));
                hi = std::max(hi, at(double(t->rank) + margin + 1 / scale));
            }
            std::vector<S> cuts{lo};
            for (S p : w->points)
                if (p >= lo && p <= hi) {
                    cuts.push_back(p);
                    if (p != kHighest) cuts.push_back(S(p + 1));
                }
            if (hi != kHighest) cuts.push_back(S(hi + 1));
            std::vector<std::uint64_t> below_cut(cuts.size(), base);
            for (const S *k = keys; k != end; ++k)
                for (std::size_t c = 0; c < cuts.size(); ++c) below_cut[c] += *k < cuts[c];
            for (std::size_t i = 0; i < w->points.size(); ++i)
                for (std::size_t c = 0; c < cuts.size(); ++c)
                    below_cut[c] += w->points[i] < cuts[c] ? counts[i] : 0;
            for (std::size_t c = 0; c < cuts.size(); ++c)
                found[wi].push_back({cuts[c], below_cut[c]});
            w->lo = lo;
            w->hi = hi;
            std::erase_if(w->points, [&](S p) { return p < lo || p > hi; });
            end = std::remove_if(keys, end, [&](S x) { return x < lo || x > hi; });
            w->filled = std::size_t(end - keys);
        });
        // The counts below the new cuts so far: old cuts, or found by their window.
        Plan<S> next = plan_of(windows);
        std::array<std::uint64_t, kMaxCuts> counts{};
        for (int i = 0; i < next.count; ++i) {
            const S c = next.cut[std::size_t(i)];
            bool known = false;
            for (int j = 0; j < plan.count && !known; ++j) {
                if (plan.cut[std::size_t(j)] == c) {
                    counts[std::size_t(i)] = below[std::size_t(j)];
                    known = true;
                }
            }
            for (auto &list : found)
                for (auto &[cut, count] : list)
                    if (!known && cut == c) {
                        counts[std::size_t(i)] = count;
                        known = true;
                    }
            if (!known) throw std::logic_error("percentiles: a cut outside the windows");
        }
        windows.used = 0;
        for (auto &w : windows.list)
            if (!w->overflow) windows.used += w->filled;
        plan = next;
        below = counts;
    }

    // Runs f(index) for every window, windows shared among the threads
    // when they hold enough to be worth waking them.
    template <class F>
    void each_window(const Windows &windows, F &&f) {
        std::size_t keys = 0;
        for (auto &w : windows.list) keys += w->filled;
        if (keys < kShareKeys) {
            for (std::size_t w = 0; w < windows.list.size(); ++w) f(w);
            return;
        }
        team_.run(
            windows.list.size(),
            [&](Chunks &chunks) {
                for (std::size_t begin, end; chunks.next(begin, end);)
                    for (std::size_t w = begin; w < end; ++w) f(w);
            },
            1);
    }

    void resolve(Windows &windows, const Counts &total, S min, S max) {
        const std::size_t n = layout_.count;
        for (auto &t : targets_) {
            if (t.rank == 0) t.lo = t.hi = ukey(min);
            if (t.rank == n - 1) t.lo = t.hi = ukey(max);
        }
        if constexpr (C::kind == NumberKind::Float) {
            // A NaN makes every result NaN: the other ranks do not matter.
            const Key lowest = ukey(min), highest = ukey(max);
            if (std::isnan(std::bit_cast<std::conditional_t<W == 32, float, double>>(
                    C::bits_of(lowest))) ||
                std::isnan(std::bit_cast<std::conditional_t<W == 32, float, double>>(
                    C::bits_of(highest)))) {
                for (auto &t : targets_)
                    if (t.rank != 0 && t.rank != n - 1) t.lo = t.hi = lowest;
                return;
            }
        }
        each_window(windows, [&](std::size_t wi) {
            Window *w = windows.list[wi].get();
            if (w->overflow) return;
            const std::uint64_t base = total.at(w->lo), top = total.after(w->hi);
            auto counts = point_counts(*w, total);
            S *keys = w->keys.get(), *end = keys + w->filled.load();
            std::uint64_t counted = 0;
            for (auto c : counts) counted += c;
            if (std::uint64_t(end - keys) + counted != top - base) throw changed();
            for (std::size_t i : w->targets) {
                Target *t = &targets_[i];
                if (t->rank < base || t->rank >= top) continue;
                t->lo = t->hi =
                    ukey(kth(keys, end, w->lo, w->hi, w->points, counts, t->rank - base));
            }
        });
        // The others: between the two cuts around their rank.
        const Plan<S> &plan = *total.plan;
        for (auto &t : targets_) {
            if (t.done()) continue;
            int i = -1;
            while (i + 1 < plan.count && (*total.below)[std::size_t(i + 1)] <= t.rank) ++i;
            const std::uint64_t from = i < 0 ? 0 : (*total.below)[std::size_t(i)];
            const std::uint64_t to = i + 1 < plan.count ? (*total.below)[std::size_t(i + 1)] : n;
            const S lo = i < 0 ? min : std::max(min, plan.cut[std::size_t(i)]);
            const S hi =
                i + 1 < plan.count ? std::min(max, S(plan.cut[std::size_t(i + 1)] - 1)) : max;
            t.lo = ukey(lo);
            t.hi = ukey(hi);
            t.inner = t.rank - from;
            t.count = to - from;
        }
    }

    // Moves `t` into the bucket of `hist` that holds its rank; bucket b
    // holds the keys from base + b * 2^shift on, and all lie in [min, max].
    static void place(Target &t, const std::vector<std::uint64_t> &hist, Key base, int shift,
                      Key min, Key max) {
        std::uint64_t below = 0;
        std::size_t b = 0;
        while (b < hist.size() && below + hist[b] <= t.inner) below += hist[b++];
        if (b == hist.size()) throw changed();
        t.inner -= below;
        t.count = hist[b];
        Key first = Key(base + (Key(b) << shift));
        Key width = Key((Key(1) << shift) - 1);
        Key last = Key(first + std::min(width, Key(kMax - first)));
        t.lo = std::max(first, min);
        t.hi = std::min(last, max);
    }

    void refine_pass() {
        ++passes_;
        // One group per distinct open range.
        std::vector<std::unique_ptr<Group>> groups;
        for (auto &t : targets_) {
            if (t.done()) continue;
            bool seen = std::any_of(groups.begin(), groups.end(),
                                    [&](auto &g) { return g->lo == t.lo && g->hi == t.hi; });
            if (!seen) {
                auto g = std::make_unique<Group>();
                g->lo = t.lo;
                g->hi = t.hi;
                g->count = t.count;
                groups.push_back(std::move(g));
            }
        }
        // The smallest groups are gathered while they fit; the rest are counted.
        std::vector<Group *> by_size;
        for (auto &g : groups) by_size.push_back(g.get());
        std::sort(by_size.begin(), by_size.end(),
                  [](Group *a, Group *b) { return a->count < b->count; });
        std::size_t budget = kCollectBytes / sizeof(Key);
        for (Group *g : by_size) {
            g->collect = g->count <= budget;
            if (g->collect) {
                budget -= g->count;
                g->keys.resize(g->count);
            } else {
                int span_bits = std::bit_width(Key(g->hi - g->lo));
                g->shift = std::max(0, span_bits - kRefineBits);
                g->hist.assign((std::size_t(Key(g->hi - g->lo)) >> g->shift) + 1, 0);
            }
        }
        std::mutex lock;
        // Group bounds for the vector test; an unused place repeats the first
        // group, whose hits visit() sorts out anyway.
        using V = Lanes<Key>;
        using Vec = typename V::Vec;
        using SVec = typename V::SVec;
        constexpr std::size_t kMaxGroups = 16;
        const std::size_t slots = (groups.size() + 1) / 2 * 2;  // tested in pairs
        // Floats are tested on their stored bits, which takes keys of one sign.
        bool one_sign = true;
        for (auto &g : groups)
            one_sign =
                one_sign && (C::kind != NumberKind::Float || ((g->lo ^ g->hi) & C::top) == 0);
        std::array<Vec, kMaxGroups> lo_all;
        std::array<SVec, kMaxGroups> span_all;
        for (std::size_t g = 0; g < kMaxGroups; ++g) {
            const Group &group = *groups[g < groups.size() ? g : 0];
            lo_all[g] = V::lower(C::bits_from(group.lo, group.hi));
            span_all[g] = V::upper(Key(group.hi - group.lo));
        }
        team_.run(layout_.count, [&](Chunks &chunks) {
            struct Local {
                Key lo, span;
                std::vector<Key> buffer;
                std::vector<std::uint64_t> hist;
                Key min = kMax, max = 0;
            };
            std::vector<Local> local(groups.size());
            // Local copies: the compiler need not reload them after each store of a key.
            const auto lo = lo_all, span = span_all;
            for (std::size_t i = 0; i < groups.size(); ++i) {
                local[i].lo = groups[i]->lo;
                local[i].span = Key(groups[i]->hi - groups[i]->lo);
                if (groups[i]->collect)
                    local[i].buffer.reserve(kFlush);
                else
                    local[i].hist.assign(groups[i]->hist.size(), 0);
            }
            auto flush = [&](std::size_t i) {
                Group &g = *groups[i];
                auto &buffer = local[i].buffer;
                // More keys than pass 1 counted means the array changed meanwhile.
                std::size_t at = g.filled.fetch_add(buffer.size());
                std::size_t fits =
                    at < g.keys.size() ? std::min(buffer.size(), g.keys.size() - at) : 0;
                std::copy_n(buffer.begin(), fits, g.keys.begin() + std::ptrdiff_t(at));
                buffer.clear();
            };
            auto visit = [&](Key k) {
                for (std::size_t i = 0; i < local.size(); ++i) {
                    Local &mine = local[i];
                    if (Key(k - mine.lo) > mine.span) continue;
                    if (groups[i]->collect) {
                        mine.buffer.push_back(k);
                        if (mine.buffer.size() == kFlush) flush(i);
                    } else {
                        ++mine.hist[Key(k - mine.lo) >> groups[i]->shift];
                        mine.min = std::min(mine.min, k);
                        mine.max = std::max(mine.max, k);
                    }
                    return;
                }
            };
            for (std::size_t begin, end; chunks.next(begin, end);)
                for_runs(layout_, begin, end,
                         [&](const std::byte *p, std::size_t n, std::ptrdiff_t stride) {
                             each_block<C>(p, n, stride, [&](const std::byte *bits, std::size_t m) {
                                 auto at = [&](std::size_t i) {
                                     Key u;
                                     std::memcpy(&u, bits + i * sizeof(Key), sizeof u);
                                     return C::key_of(u);
                                 };
                                 std::size_t i = 0;
                                 // Most values lie in no group: test vectors of them at once.
                                 constexpr std::size_t step = 2 * V::count;
                                 for (; slots <= kMaxGroups && one_sign && i + step <= m;
                                      i += step) {
                                     Vec a, b;
                                     std::memcpy(&a, bits + i * sizeof(Key), sizeof a);
                                     std::memcpy(&b, bits + (i + V::count) * sizeof(Key), sizeof b);
                                     SVec out_a = ~SVec{}, out_b = ~SVec{};
                                     for (std::size_t g = 0; g < slots; g += 2) {
                                         out_a &= V::outside(a, lo[g], span[g]) &
                                                  V::outside(a, lo[g + 1], span[g + 1]);
                                         out_b &= V::outside(b, lo[g], span[g]) &
                                                  V::outside(b, lo[g + 1], span[g + 1]);
                                     }
                                     if (!V::all(out_a & out_b)) {
                                         for (std::size_t j = 0; j < V::count; ++j) {
                                             if (!out_a[j]) visit(at(i + j));
                                             if (!out_b[j]) visit(at(i + V::count + j));
                                         }
                                     }
                                 }
                                 for (; i < m; ++i) visit(at(i));
                             });
                         });
            for (std::size_t i = 0; i < groups.size(); ++i) {
                if (groups[i]->collect) {
                    flush(i);
                    continue;
                }
                std::lock_guard guard(lock);
                Group &g = *groups[i];
                for (std::size_t b = 0; b < g.hist.size(); ++b) g.hist[b] += local[i].hist[b];
                g.min = std::min(g.min, local[i].min);
                g.max = std::max(g.max, local[i].max);
            }
        });

        for (auto &g : groups) {
            std::vector<Target *> mine;
            for (auto &t : targets_) {
                if (!t.done() && t.lo == g->lo && t.hi == g->hi) mine.push_back(&t);
            }
            if (!g->collect) {
                for (Target *t : mine) place(*t, g->hist, g->lo, g->shift, g->min, g->max);
                continue;
            }
            if (g->filled != g->keys.size()) throw changed();
            // Successive selections, each among the keys above the last.
            std::sort(mine.begin(), mine.end(),
                      [](Target *a, Target *b) { return a->inner < b->inner; });
            auto from = g->keys.begin();
            for (Target *t : mine) {
                auto nth = g->keys.begin() + std::ptrdiff_t(t->inner);
                if (nth >= from) {
                    std::nth_element(from, nth, g->keys.end());
                    from = nth + 1;
                }
                t->lo = t->hi = *nth;
            }
        }
    }
};

// ---------------------------------------------------------------- interpolation

// numpy's _lerp on two neighbours of type T with weight t (a Python float):
// a + (b - a) * t, or b - (b - a) * (1 - t) from t = 0.5 on, in T's precision.
template <class T>
T numpy_lerp(T a, T b, double t) {
    T diff = b - a;
    if (t >= 0.5) return b - diff * static_cast<T>(1.0 - t);
    return a + diff * static_cast<T>(t);
}

// The same where numpy's arithmetic leaves the data: neighbours that are
// infinite, or whose difference overflows T.
template <class T>
T float_lerp(T a, T b, double t) {
    if (std::isfinite(a) && std::isfinite(b)) {
        if (std::isfinite(b - a)) return numpy_lerp(a, b, t);
        using Wide = std::conditional_t<std::is_same_v<T, float>, double, long double>;
        Wide wa = a, wb = b, diff = wb - wa, wt = t;
        return static_cast<T>(t >= 0.5 ? wb - diff * (1 - wt) : wa + diff * wt);
    }
    if (a == b || t == 0) return a;  // equal infinities, or exactly on a rank
    if (std::isinf(a) && std::isinf(b)) return std::numeric_limits<T>::quiet_NaN();
    return std::isinf(a) ? a : b;
}

// Integer neighbours compute in float64 as numpy's do; their difference is
// taken exactly (b >= a, so it fits in 64 unsigned bits) rather than wrapped.
template <class I>
double integer_lerp(I a, I b, double t) {
    auto diff = static_cast<double>(static_cast<std::uint64_t>(b) - static_cast<std::uint64_t>(a));
    if (t >= 0.5) return static_cast<double>(b) - diff * (1.0 - t);
    return static_cast<double>(a) + diff * t;
}

template <class C>
std::vector<double> run(const Layout &layout, std::span<const double> points, unsigned threads,
                        PercentileStats *stats) {
    using Key = typename C::Key;
    const std::size_t n = layout.count;
    struct Point {
        std::size_t lo, hi;
        double t;
    };
    std::vector<Point> at;
    std::vector<std::size_t> ranks{0, n - 1};  // NaNs sort to the ends: always looked at
    for (double p : points) {
        // numpy: q = p / 100; virtual index (n - 1) * q; weight = index - floor(index),
        // and at the last rank its "previous index" is -1.
        double index = static_cast<double>(n - 1) * (p / 100.0);
        Point point;
        if (index >= static_cast<double>(n - 1)) {
            point = {n - 1, n - 1, index + 1.0};
        } else {
            double below = std::floor(index);
            auto lo = static_cast<std::size_t>(below);
            // On a rank the upper neighbour is weighted by zero: numpy's
            // a + (b - a) * 0 is a + 0 whatever b is, so b need not be found.
            point = {lo, index == below ? lo : lo + 1, index - below};
        }
        at.push_back(point);
        ranks.push_back(point.lo);
        ranks.push_back(point.hi);
    }
    std::sort(ranks.begin(), ranks.end());
    ranks.erase(std::unique(ranks.begin(), ranks.end()), ranks.end());
    Selector<C> selector(layout, threads);
    std::vector<Key> keys = selector.select(ranks);
    if (stats) stats->passes = selector.passes();
    auto key_at = [&](std::size_t rank) {
        return keys[std::size_t(std::lower_bound(ranks.begin(), ranks.end(), rank) -
                                ranks.begin())];
    };

    using U = typename C::Key;
    constexpr NumberKind kind = C::kind;
    std::vector<double> out;
    if constexpr (kind == NumberKind::Float) {
        using T = std::conditional_t<sizeof(U) == 4, float, double>;
        auto value = [&](std::size_t rank) { return std::bit_cast<T>(C::bits_of(key_at(rank))); };
        bool nan = std::isnan(value(0)) || std::isnan(value(n - 1));
        for (const Point &p : at) {
            out.push_back(nan ? std::numeric_limits<double>::quiet_NaN()
                              : double(float_lerp<T>(value(p.lo), value(p.hi), p.t)));
        }
    } else {
        using I = std::conditional_t<kind == NumberKind::Signed, std::make_signed_t<U>, U>;
        using Wide = std::conditional_t<kind == NumberKind::Signed, std::int64_t, std::uint64_t>;
        auto value = [&](std::size_t rank) {
            return static_cast<Wide>(static_cast<I>(C::bits_of(key_at(rank))));
        };
        for (const Point &p : at) out.push_back(integer_lerp(value(p.lo), value(p.hi), p.t));
    }
    return out;
}

template <class U, NumberKind Kind>
std::vector<double> dispatch_order(const ArrayView &v, const Layout &l, std::span<const double> p,
                                   unsigned threads, PercentileStats *stats) {
    if (v.byteswapped && sizeof(U) > 1) return run<Codec<U, Kind, true>>(l, p, threads, stats);
    return run<Codec<U, Kind, false>>(l, p, threads, stats);
}

}  // namespace

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
    Layout layout = normalise(view);
    if (layout.count == 0) {
        throw std::invalid_argument(kNoValuesMessage);
    }
    if (threads == 0) {
        // Threads pay off only on arrays well beyond the caches.
        threads = static_cast<unsigned>(std::min<std::size_t>(
            std::max(1u, std::thread::hardware_concurrency()), 1 + (layout.count >> 18)));
    }
    threads = static_cast<unsigned>(std::min<std::size_t>(threads, layout.count));

    switch (view.kind) {
        case NumberKind::Float:
            if (view.itemsize == 4)
                return dispatch_order<std::uint32_t, NumberKind::Float>(view, layout, points,
                                                                        threads, stats);
            return dispatch_order<std::uint64_t, NumberKind::Float>(view, layout, points, threads,
                                                                    stats);
        case NumberKind::Signed:
        case NumberKind::Unsigned:
            break;
    }
    bool s = view.kind == NumberKind::Signed;
    switch (view.itemsize) {
        case 1:
            return s ? dispatch_order<std::uint8_t, NumberKind::Signed>(view, layout, points,
                                                                        threads, stats)
                     : dispatch_order<std::uint8_t, NumberKind::Unsigned>(view, layout, points,
                                                                          threads, stats);
        case 2:
            return s ? dispatch_order<std::uint16_t, NumberKind::Signed>(view, layout, points,
                                                                         threads, stats)
                     : dispatch_order<std::uint16_t, NumberKind::Unsigned>(view, layout, points,
                                                                           threads, stats);
        case 4:
            return s ? dispatch_order<std::uint32_t, NumberKind::Signed>(view, layout, points,
                                                                         threads, stats)
                     : dispatch_order<std::uint32_t, NumberKind::Unsigned>(view, layout, points,
                                                                           threads, stats);
        default:
            return s ? dispatch_order<std::uint64_t, NumberKind::Signed>(view, layout, points,
                                                                         threads, stats)
                     : dispatch_order<std::uint64_t, NumberKind::Unsigned>(view, layout, points,
                                                                           threads, stats);
    }
}

}  // namespace gemlo::core
