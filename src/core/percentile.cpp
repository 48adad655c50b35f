// Exact selection by radix passes over order-preserving keys.
//
// Every value maps to an unsigned key whose order is the values' order
// (floats: flip the sign bit of positives, all bits of negatives; signed
// integers: flip the sign bit). Pass 1 counts the values by their top bits
// (as stored: they name the same buckets as the keys' top bits); each wanted
// rank then lies in one bucket. Later passes look only at the values of
// those few buckets, tested many at once on their stored bits: a bucket small
// enough is gathered and the rank picked from it, a larger one is counted
// again on its next bits. Memory is bounded whatever the array's size, the
// array is never copied, and the passes share the array among the cores.
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
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <type_traits>

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

// [0, n) in chunks that threads take in turn: a thread that starts late (an
// idle virtual CPU can take milliseconds to wake) does less, and none waits.
class Chunks {
public:
    Chunks(std::size_t n, unsigned threads)
        : n_(n), size_(std::max<std::size_t>(n / (std::size_t{16} * threads) + 1, 1 << 16)) {}

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
    template <class Work>
    void run(std::size_t n, Work &&work) {
        Chunks chunks(n, static_cast<unsigned>(helpers_.size() + 1));
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

// ---------------------------------------------------------------- selection

// The passes disagree on the counts only when the values changed between them.
std::runtime_error changed() {
    return std::runtime_error("the array changed while its percentiles were computed");
}

constexpr std::size_t kCollectBytes = std::size_t{2} << 20;  // keys gathered in one pass
constexpr int kRefineBits = 11;                              // bits counted per later pass
constexpr std::size_t kFlush = 256;                          // keys buffered per thread

template <class C>
class Selector {
    using Key = typename C::Key;
    static constexpr int W = C::bits;
    static constexpr Key kMax = std::numeric_limits<Key>::max();

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
        for (std::size_t r : ranks) targets_.push_back({r, r});
        first_pass();
        while (std::any_of(targets_.begin(), targets_.end(), [](auto &t) { return !t.done(); })) {
            refine_pass();
        }
        std::vector<Key> keys;
        for (auto &t : targets_) keys.push_back(t.lo);
        return keys;
    }

private:
    const Layout &layout_;
    Team team_;
    std::vector<Target> targets_;

    // Counts the keys by their top bits.
    void first_pass() {
        // Few values need few buckets; the counts stay in L2 either way.
        const int top_bits = std::min(std::clamp(int(std::bit_width(layout_.count)), 8, 16), W);
        const int shift = W - top_bits;
        std::vector<std::uint64_t> total(std::size_t{1} << top_bits);
        std::mutex lock;
        team_.run(layout_.count, [&](Chunks &chunks) {
            std::vector<std::uint32_t> hist(total.size());
            auto flush = [&] {
                std::lock_guard guard(lock);
                for (std::size_t i = 0; i < hist.size(); ++i) total[i] += hist[i];
                std::fill(hist.begin(), hist.end(), 0u);
            };
            // uint32 counts, added up before they could overflow
            std::size_t counted = 0;
            for (std::size_t begin, end; chunks.next(begin, end);) {
                for_runs(layout_, begin, end,
                         [&](const std::byte *p, std::size_t n, std::ptrdiff_t stride) {
                             each_bits<C>(p, n, stride, [&](Key u) { ++hist[u >> shift]; });
                         });
                counted += end - begin;
                if (counted >= std::size_t{1} << 31) {
                    flush();
                    counted = 0;
                }
            }
            flush();
        });
        // Counted by the top bits as stored, which name the same buckets as
        // the keys' top bits, in another order.
        std::vector<std::uint64_t> by_key(total.size());
        for (std::size_t b = 0; b < total.size(); ++b) {
            by_key[C::key_of(Key(Key(b) << shift)) >> shift] = total[b];
        }
        for (auto &t : targets_) place(t, by_key, Key(0), shift, Key(0), kMax);
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
                                 for (; slots <= kMaxGroups && i + step <= m; i += step) {
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
std::vector<double> run(const Layout &layout, std::span<const double> points, unsigned threads) {
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
    std::vector<Key> keys = Selector<C>(layout, threads).select(ranks);
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
                                   unsigned threads) {
    if (v.byteswapped && sizeof(U) > 1) return run<Codec<U, Kind, true>>(l, p, threads);
    return run<Codec<U, Kind, false>>(l, p, threads);
}

}  // namespace

bool percentile_supported(NumberKind kind, std::size_t itemsize) {
    if (kind == NumberKind::Float) return itemsize == 4 || itemsize == 8;
    return itemsize == 1 || itemsize == 2 || itemsize == 4 || itemsize == 8;
}

std::vector<double> percentiles(const ArrayView &view, std::span<const double> points,
                                unsigned threads) {
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
                                                                        threads);
            return dispatch_order<std::uint64_t, NumberKind::Float>(view, layout, points, threads);
        case NumberKind::Signed:
        case NumberKind::Unsigned:
            break;
    }
    bool s = view.kind == NumberKind::Signed;
    switch (view.itemsize) {
        case 1:
            return s ? dispatch_order<std::uint8_t, NumberKind::Signed>(view, layout, points,
                                                                        threads)
                     : dispatch_order<std::uint8_t, NumberKind::Unsigned>(view, layout, points,
                                                                          threads);
        case 2:
            return s ? dispatch_order<std::uint16_t, NumberKind::Signed>(view, layout, points,
                                                                         threads)
                     : dispatch_order<std::uint16_t, NumberKind::Unsigned>(view, layout, points,
                                                                           threads);
        case 4:
            return s ? dispatch_order<std::uint32_t, NumberKind::Signed>(view, layout, points,
                                                                         threads)
                     : dispatch_order<std::uint32_t, NumberKind::Unsigned>(view, layout, points,
                                                                           threads);
        default:
            return s ? dispatch_order<std::uint64_t, NumberKind::Signed>(view, layout, points,
                                                                         threads)
                     : dispatch_order<std::uint64_t, NumberKind::Unsigned>(view, layout, points,
                                                                           threads);
    }
}

}  // namespace gemlo::core
