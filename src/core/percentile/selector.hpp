// Exact selection in one read of the array, by windows around the ranks.
//
// Every value maps to an unsigned key whose order is the values' order
// (floats: flip the sign bit of positives, all bits of negatives; signed
// integers: flip the sign bit). A sample of evenly spread blocks shows
// roughly where each wanted rank lies. One read of the array then counts
// the values below a window around each rank and gathers those inside,
// many values tested at once (stages.hpp); values the sample shows often
// are counted, not gathered, so data of few distinct values gather next to
// nothing. The read goes in stages (1/32 of the array, 7/32, the rest), and
// after each the windows narrow from its exact counts. A rank outside its
// window (the sample misled) is left between two counted cuts, for a second
// sample and read, then for radix passes: these count the values of the
// rank's range by their top bits, as stored, and gather a bucket small
// enough. Memory is bounded whatever the array's size, the array is never
// copied, and every read shares the array among the cores.
//
// Included by the select_*.cpp files, each of which compiles it for one
// type of values.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <limits>
#include <memory>
#include <mutex>
#include <span>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include "core/percentile/keys.hpp"
#include "core/percentile/layout.hpp"
#include "core/percentile/select.hpp"
#include "core/percentile/stages.hpp"
#include "core/percentile/threads.hpp"

namespace gemlo::core::pct {

// The passes disagree on the counts only when the values changed between them.
inline std::runtime_error changed() {
    return std::runtime_error("the array changed while its percentiles were computed");
}

constexpr std::size_t kCollectBytes = std::size_t{2} << 20;     // keys gathered in one pass
constexpr std::size_t kFlush = 256;                             // keys buffered per thread
constexpr int kRefineBits = 11;                                 // bits counted per later pass
constexpr std::size_t kSampleBlocks = 1024, kSampleBlock = 64;  // the sample: blocks of values
// The read goes over superblocks of kStageBlocks.back() blocks in stages,
// each stage the next blocks of every superblock: 1 in 32, 7 more, the rest.
// A block is 1 KB, or 256 values (fewer would cost more than they narrow);
// on large arrays up to 8 KB while there are 1024 superblocks or more: the
// processor's prefetcher loses a few KB at every gap between the blocks a
// stage reads, and with 1 KB blocks a read in stages takes twice as long
// as one straight through.
constexpr std::size_t kPhaseBlockBytes = 1024, kLongPhaseBlockBytes = 8192;
constexpr std::size_t kLeastSuperblocks = 1024;
constexpr std::array<std::size_t, 3> kStageBlocks{1, 8, 32};
constexpr std::size_t kShareSample = std::size_t{1} << 25;  // values: sampled by all threads
constexpr std::size_t kShareKeys = std::size_t{1} << 15;    // gathered: selected by all threads
constexpr double kSigmas = 5;  // windows: standard deviations of the rank's estimate
// A plan is dense when it gathers more than this share of the values, per
// byte of a value: about one key in eight pairs of 64-byte vectors.
constexpr double kDensePerByte = 1.0 / 1000;

template <class C>
class Selector {
    using Key = typename C::Key;
    static constexpr int W = C::bits;
    static constexpr Key kMax = std::numeric_limits<Key>::max();

    // Values of a block of the stages.
    static std::size_t phase_block(std::size_t n) {
        const std::size_t least = std::max(kPhaseBlockBytes / sizeof(Key), std::size_t{256});
        const std::size_t most = std::max(kLongPhaseBlockBytes / sizeof(Key), least);
        return std::clamp(n / (kStageBlocks.back() * kLeastSuperblocks), least, most);
    }

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
    Selector(const Layout &layout, unsigned threads)
        : layout_(layout),
          team_(threads),
          block_(phase_block(layout.count)),
          super_(block_ * kStageBlocks.back()) {}

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
    const std::size_t block_, super_;  // values of a block and of a superblock of the stages
    double ordered_ = 1;               // how much of the sample runs in order (ordered())
    std::vector<Target> targets_;
    unsigned passes_ = 0;

    static constexpr double kDense = kDensePerByte * sizeof(Key);

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

    using Window = pct::Window<S>;
    using Windows = pct::Windows<S>;

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

    // Runs the scan over the blocks [first, last) of every superblock.
    void scan_phase(const Plan<S> &plan, Windows &windows, std::size_t first, std::size_t last,
                    std::array<std::uint64_t, kMaxCuts> &below, S &min, S &max) {
        const ScanKernel<S> kernel = scan_kernel<S, C::kind == NumberKind::Float>(plan);
        Tally<S> sum;
        const std::size_t n = layout_.count;
        std::mutex lock;
        auto work = [&](Chunks &chunks) {
            Tally<S> tally;
            Sink<S> sink(plan, windows, tally);
            for (std::size_t begin, end; chunks.next(begin, end);) {
                for (std::size_t b = begin; b < end; ++b) {
                    const std::size_t from = b * super_ + first * block_;
                    const std::size_t to = b * super_ + last * block_;
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
        team_.run((n + super_ - 1) / super_, work, 1);
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

    // The share of neighbouring sampled blocks whose values do not overlap:
    // 1 on sorted data, near 0 where blocks of values are alike. On data in
    // order the blocks a stage reads misstate the ranks near a value by up
    // to a superblock; elsewhere only by chance.
    static double ordered(const std::vector<S> &sampled) {
        auto range = [&](std::size_t j) {
            auto [lo, hi] =
                std::minmax_element(sampled.begin() + std::ptrdiff_t(j * kSampleBlock),
                                    sampled.begin() + std::ptrdiff_t((j + 1) * kSampleBlock));
            return std::pair{*lo, *hi};
        };
        std::size_t apart = 0;
        auto last = range(0);
        for (std::size_t j = 1; j < kSampleBlocks; ++j) {
            const auto next = range(j);
            apart += last.second <= next.first || next.second <= last.first;
            last = next;
        }
        return double(apart) / double(kSampleBlocks - 1);
    }

    // The share of the values that a plan gathers, as the sample shows it.
    static double gathered_share(const Plan<S> &plan, const std::vector<S> &sampled) {
        std::size_t in = 0;
        for (S k : sampled)
            for (int r = 0; r < plan.runs; ++r)
                in += k >= plan.run_lo[std::size_t(r)] && k <= plan.run_hi[std::size_t(r)];
        return double(in) / double(sampled.size());
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
                nth_key(first, first + std::ptrdiff_t(k), mid);
                return first[k];
            }
            k -= below;
            if (k < counts[i]) return p;
            k -= counts[i];
            first = mid;
        }
        if (k >= std::uint64_t(last - first)) throw changed();
        nth_key(first, first + std::ptrdiff_t(k), last);
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
        ordered_ = ordered(sampled);
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
        plan.dense = gathered_share(plan, sampled) > kDense;
        std::array<std::uint64_t, kMaxCuts> below{};
        S min = kHighest, max = kLowest;
        ++passes_;
        std::size_t done = 0;  // blocks of each superblock read
        for (std::size_t last : kStageBlocks) {
            scan_phase(plan, windows, done, last, below, min, max);
            done = last;
            const std::size_t seen =
                n / super_ * done * block_ + std::min(n % super_, done * block_);
            if (seen == n) break;
            narrow(windows, plan, below, seen);
            plan.dense = double(windows.used) > kDense * double(seen);
        }
        Counts total{&plan, &below, n};
        resolve(windows, total, min, max);
    }

    // Narrower windows from the `seen` values read so far, each on a thread:
    // the rank's place in the rest is that among them, scaled, within a few
    // standard deviations and, as far as the data runs in order, a
    // superblock. Each window keeps the counts below its new cuts, taken
    // from all it gathered before it drops what lies outside. The plan and
    // its counts become the new ones.
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
                    double(super_) * ordered_ + 16;
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
std::vector<double> select_percentiles(const Layout &l, bool byteswapped, std::span<const double> p,
                                       unsigned threads, PercentileStats *stats) {
    if constexpr (sizeof(U) > 1)
        if (byteswapped) return run<Codec<U, Kind, true>>(l, p, threads, stats);
    return run<Codec<U, Kind, false>>(l, p, threads, stats);
}

}  // namespace gemlo::core::pct
