// Exact selection by radix passes over order-preserving keys.
//
// Every value maps to an unsigned key whose order is the values' order
// (floats: flip the sign bit of positives, all bits of negatives; signed
// integers: flip the sign bit). Pass 1 counts the keys by their top bits;
// each wanted rank then lies in one bucket. Later passes look only at the
// keys of those few buckets: a bucket small enough is collected and the rank
// picked from it, a larger one is counted again on its next bits. Memory is
// bounded whatever the array's size, and the array is never copied.
#include "core/percentile.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
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

// Runs work(thread, begin, end) over [0, n) split into `threads` parts.
template <class Work>
void in_parallel(unsigned threads, std::size_t n, Work &&work) {
    if (threads <= 1) {
        work(0u, std::size_t{0}, n);
        return;
    }
    std::vector<std::thread> pool;
    std::vector<std::exception_ptr> errors(threads);
    auto part = [&](unsigned t) {
        try {
            work(t, n / threads * t + std::min<std::size_t>(t, n % threads),
                 n / threads * (t + 1) + std::min<std::size_t>(t + 1, n % threads));
        } catch (...) {
            errors[t] = std::current_exception();
        }
    };
    for (unsigned t = 1; t < threads; ++t) pool.emplace_back(part, t);
    part(0);
    for (auto &thread : pool) thread.join();
    for (auto &error : errors) {
        if (error) std::rethrow_exception(error);
    }
}

// ---------------------------------------------------------------- keys

template <class U>
U byteswap(U u) {
    if constexpr (sizeof(U) == 1) return u;
    else if constexpr (sizeof(U) == 2) return __builtin_bswap16(u);
    else if constexpr (sizeof(U) == 4) return __builtin_bswap32(u);
    else return __builtin_bswap64(u);
}

template <class U, NumberKind Kind, bool Swap>
struct Codec {
    using Key = U;
    static constexpr NumberKind kind = Kind;
    static constexpr int bits = sizeof(U) * 8;
    static constexpr U top = U(U(1) << (bits - 1));

    static Key key(const std::byte *p) {
        U u;
        std::memcpy(&u, p, sizeof u);
        if constexpr (Swap) u = byteswap(u);
        if constexpr (Kind == NumberKind::Float) return (u & top) ? U(~u) : U(u | top);
        else if constexpr (Kind == NumberKind::Signed) return U(u ^ top);
        else return u;
    }

    // The stored bits of the value whose key is `k`.
    static U bits_of(Key k) {
        if constexpr (Kind == NumberKind::Float) return (k & top) ? U(k ^ top) : U(~k);
        else if constexpr (Kind == NumberKind::Signed) return U(k ^ top);
        else return k;
    }
};

// Calls f(key) for every value of a run; the contiguous case gets its own
// loop so that the compiler sees the constant stride.
template <class C, class F>
inline void each_key(const std::byte *p, std::size_t n, std::ptrdiff_t stride, F &&f) {
    constexpr std::ptrdiff_t size = sizeof(typename C::Key);
    if (stride == size) {
        for (std::size_t i = 0; i < n; ++i) f(C::key(p + static_cast<std::ptrdiff_t>(i) * size));
    } else {
        for (std::size_t i = 0; i < n; ++i) f(C::key(p + static_cast<std::ptrdiff_t>(i) * stride));
    }
}

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

    struct Target {
        std::size_t rank;     // rank among all values
        std::uint64_t inner;  // rank among the values of its group
        Key prefix = 0;       // the key's top `known` bits
        int known = 0;
        std::uint64_t count = 0;  // values sharing that prefix
        bool done = false;
        Key key = 0;
    };

    // Values sharing one prefix, looked at in one pass.
    struct Group {
        Key prefix;
        int known;
        std::uint64_t count;
        bool collect;
        int bits = 0;  // counted next bits when not collecting
        std::vector<Key> keys;
        std::atomic<std::size_t> filled{0};
        std::vector<std::uint64_t> hist;
        Key lo = std::numeric_limits<Key>::max(), hi = 0;
    };

public:
    Selector(const Layout &layout, unsigned threads) : layout_(layout), threads_(threads) {}

    // The keys at the given ranks of the sorted values.
    std::vector<Key> select(const std::vector<std::size_t> &ranks) {
        for (std::size_t r : ranks) targets_.push_back({r, r});
        first_pass();
        while (std::any_of(targets_.begin(), targets_.end(), [](auto &t) { return !t.done; })) {
            refine_pass();
        }
        std::vector<Key> keys;
        for (auto &t : targets_) keys.push_back(t.key);
        return keys;
    }

private:
    const Layout &layout_;
    unsigned threads_;
    std::vector<Target> targets_;
    int top_bits_ = 0;
    std::vector<std::uint64_t> top_marks_;  // pass-1 buckets some group lies in

    void first_pass() {
        // Few values need few buckets; the counts stay in L2 either way.
        top_bits_ = std::clamp(int(std::bit_width(layout_.count)), 8, 16);
        top_bits_ = std::min(top_bits_, W);
        const int shift = W - top_bits_;
        std::vector<std::uint64_t> total(std::size_t{1} << top_bits_);
        std::mutex lock;
        in_parallel(threads_, layout_.count, [&](unsigned, std::size_t begin, std::size_t end) {
            std::vector<std::uint32_t> hist(total.size());
            // uint32 counts, added up before they could overflow
            constexpr std::size_t block = std::size_t{1} << 31;
            for (std::size_t b = begin; b < end; b += block) {
                for_runs(layout_, b, std::min(end, b + block),
                         [&](const std::byte *p, std::size_t n, std::ptrdiff_t stride) {
                             each_key<C>(p, n, stride, [&](Key k) { ++hist[k >> shift]; });
                         });
                std::lock_guard guard(lock);
                for (std::size_t i = 0; i < hist.size(); ++i) total[i] += hist[i];
                std::fill(hist.begin(), hist.end(), 0u);
            }
        });
        for (auto &t : targets_) place(t, total, Key(0), 0, top_bits_);
    }

    // Moves `t` into the bucket of `hist` (buckets of `bits` more bits
    // below `prefix`) that holds its rank.
    static void place(Target &t, const std::vector<std::uint64_t> &hist, Key prefix, int known,
                      int bits) {
        std::uint64_t below = 0;
        std::size_t b = 0;
        while (b < hist.size() && below + hist[b] <= t.inner) below += hist[b++];
        if (b == hist.size()) throw changed();
        t.inner -= below;
        t.prefix = known == 0 ? Key(b) : Key((std::uint64_t(prefix) << bits) | b);
        t.known = known + bits;
        t.count = hist[b];
        if (t.known == W) {
            t.done = true;
            t.key = t.prefix;
        }
    }

    void refine_pass() {
        // One group per distinct open prefix.
        std::vector<std::unique_ptr<Group>> groups;
        for (auto &t : targets_) {
            if (t.done) continue;
            bool seen = std::any_of(groups.begin(), groups.end(), [&](auto &g) {
                return g->prefix == t.prefix && g->known == t.known;
            });
            if (!seen) {
                auto g = std::make_unique<Group>();
                g->prefix = t.prefix;
                g->known = t.known;
                g->count = t.count;
                groups.push_back(std::move(g));
            }
        }
        // The smallest groups are collected while they fit; the rest are counted.
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
                g->bits = std::min(kRefineBits, W - g->known);
                g->hist.assign(std::size_t{1} << g->bits, 0);
            }
        }
        top_marks_.assign(((std::size_t{1} << top_bits_) + 63) / 64, 0);
        for (auto &g : groups) {
            std::size_t bucket = g->prefix >> (g->known - top_bits_);
            top_marks_[bucket / 64] |= std::uint64_t{1} << (bucket % 64);
        }

        std::mutex lock;
        const int top_shift = W - top_bits_;
        in_parallel(threads_, layout_.count, [&](unsigned, std::size_t begin, std::size_t end) {
            struct Local {
                std::vector<Key> buffer;
                std::vector<std::uint64_t> hist;
                Key lo = std::numeric_limits<Key>::max(), hi = 0;
            };
            std::vector<Local> local(groups.size());
            for (std::size_t i = 0; i < groups.size(); ++i) {
                if (groups[i]->collect) local[i].buffer.reserve(kFlush);
                else local[i].hist.assign(groups[i]->hist.size(), 0);
            }
            auto flush = [&](std::size_t i) {
                Group &g = *groups[i];
                auto &buffer = local[i].buffer;
                // More keys than pass 1 counted means the array changed meanwhile.
                std::size_t at = g.filled.fetch_add(buffer.size());
                std::size_t fits = at < g.keys.size() ? std::min(buffer.size(), g.keys.size() - at) : 0;
                std::copy_n(buffer.begin(), fits, g.keys.begin() + std::ptrdiff_t(at));
                buffer.clear();
            };
            auto visit = [&](Key k) {
                std::size_t bucket = k >> top_shift;
                if (!(top_marks_[bucket / 64] >> (bucket % 64) & 1)) return;
                for (std::size_t i = 0; i < groups.size(); ++i) {
                    Group &g = *groups[i];
                    if (Key(k >> (W - g.known)) != g.prefix) continue;
                    Local &mine = local[i];
                    if (g.collect) {
                        mine.buffer.push_back(k);
                        if (mine.buffer.size() == kFlush) flush(i);
                    } else {
                        int rest = W - g.known - g.bits;
                        ++mine.hist[(k >> rest) & ((Key(1) << g.bits) - 1)];
                        mine.lo = std::min(mine.lo, k);
                        mine.hi = std::max(mine.hi, k);
                    }
                    return;
                }
            };
            for_runs(layout_, begin, end,
                     [&](const std::byte *p, std::size_t n, std::ptrdiff_t stride) {
                         each_key<C>(p, n, stride, visit);
                     });
            for (std::size_t i = 0; i < groups.size(); ++i) {
                if (groups[i]->collect) {
                    flush(i);
                    continue;
                }
                std::lock_guard guard(lock);
                Group &g = *groups[i];
                for (std::size_t b = 0; b < g.hist.size(); ++b) g.hist[b] += local[i].hist[b];
                g.lo = std::min(g.lo, local[i].lo);
                g.hi = std::max(g.hi, local[i].hi);
            }
        });

        for (auto &g : groups) {
            std::vector<Target *> mine;
            for (auto &t : targets_) {
                if (!t.done && t.prefix == g->prefix && t.known == g->known) mine.push_back(&t);
            }
            if (g->collect) {
                if (g->filled != g->keys.size()) throw changed();
                // Successive selections, each on what lies above the last.
                std::sort(mine.begin(), mine.end(),
                          [](Target *a, Target *b) { return a->inner < b->inner; });
                auto from = g->keys.begin();
                for (Target *t : mine) {
                    auto nth = g->keys.begin() + std::ptrdiff_t(t->inner);
                    if (nth >= from) {
                        std::nth_element(from, nth, g->keys.end());
                        from = nth + 1;
                    }
                    t->key = *nth;
                    t->done = true;
                }
            } else if (g->lo == g->hi) {
                for (Target *t : mine) {
                    t->key = g->lo;
                    t->done = true;
                }
            } else {
                for (Target *t : mine) place(*t, g->hist, g->prefix, g->known, g->bits);
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
            point = {static_cast<std::size_t>(below), static_cast<std::size_t>(below) + 1,
                     index - below};
        }
        at.push_back(point);
        ranks.push_back(point.lo);
        ranks.push_back(point.hi);
    }
    std::sort(ranks.begin(), ranks.end());
    ranks.erase(std::unique(ranks.begin(), ranks.end()), ranks.end());
    std::vector<Key> keys = Selector<C>(layout, threads).select(ranks);
    auto key_at = [&](std::size_t rank) {
        return keys[std::size_t(std::lower_bound(ranks.begin(), ranks.end(), rank) - ranks.begin())];
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
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    // Threads pay off only on arrays well beyond the caches.
    threads = static_cast<unsigned>(
        std::min<std::size_t>(threads, std::max<std::size_t>(1, layout.count >> 18)));

    switch (view.kind) {
    case NumberKind::Float:
        if (view.itemsize == 4) return dispatch_order<std::uint32_t, NumberKind::Float>(view, layout, points, threads);
        return dispatch_order<std::uint64_t, NumberKind::Float>(view, layout, points, threads);
    case NumberKind::Signed:
    case NumberKind::Unsigned:
        break;
    }
    bool s = view.kind == NumberKind::Signed;
    switch (view.itemsize) {
    case 1:
        return s ? dispatch_order<std::uint8_t, NumberKind::Signed>(view, layout, points, threads)
                 : dispatch_order<std::uint8_t, NumberKind::Unsigned>(view, layout, points, threads);
    case 2:
        return s ? dispatch_order<std::uint16_t, NumberKind::Signed>(view, layout, points, threads)
                 : dispatch_order<std::uint16_t, NumberKind::Unsigned>(view, layout, points, threads);
    case 4:
        return s ? dispatch_order<std::uint32_t, NumberKind::Signed>(view, layout, points, threads)
                 : dispatch_order<std::uint32_t, NumberKind::Unsigned>(view, layout, points, threads);
    default:
        return s ? dispatch_order<std::uint64_t, NumberKind::Signed>(view, layout, points, threads)
                 : dispatch_order<std::uint64_t, NumberKind::Unsigned>(view, layout, points, threads);
    }
}

}  // namespace gemlo::core
