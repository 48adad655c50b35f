// The stages of one read of the array, as the selection and the scan
// kernels share them: a plan of cuts and gathered gaps, what each thread
// counted (Tally), the windows that gather values around the wanted ranks,
// each thread's buffer of gathered values (Sink), and the kernel that
// counts and gathers a run of values against a plan.
//
// The kernels are compiled once per target (dispatch.hpp) with that
// target's instructions; what they call here is either inlined into them
// or compiled once, for the baseline, in stages.cpp, so that no function
// built for a newer processor can stand in for the baseline's copy.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "core/percentile/dispatch.hpp"

namespace gemlo::core::pct {

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
    // Many values fall in the gathered gaps (more than about one in 250):
    // the kernels gather every vector without a branch, which would
    // mispredict too often.
    bool dense = false;
    // What the scan tests, from the above (see finish()): the cuts whose
    // count is not that of the cut before plus the values gathered between
    // them, and the gathered gaps merged into runs [run_lo, run_hi].
    int counted = 0, runs = 0;
    std::array<std::int8_t, kMaxCuts> counted_cut{};
    std::array<S, kMaxCuts> run_lo{}, run_hi{};

    bool gathers(int gap) const { return (gathered >> gap) & 1; }

    // Fills counted_cut and the runs from the cuts and gathered gaps.
    void finish();
    // The gap of a value at or above the first cut (no branch on the value).
    int gap_of(S x) const;
    bool in_run(S x) const;
    __attribute__((always_inline)) S key(S x) const {
        return S(x ^ (x < 0 ? negative : S(0)) ^ all);
    }
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
    __attribute__((always_inline)) void reserve(std::size_t k) {
        if (size_ + k > kSize) flush();
    }
    __attribute__((always_inline)) void put(S x) { keys_[size_++] = x; }
    // Where a whole vector of keys may be stored after reserve(), of which
    // the first `k` are then kept with advance(k).
    __attribute__((always_inline)) S *end() { return keys_.get() + size_; }
    __attribute__((always_inline)) void advance(std::size_t k) { size_ += k; }

    void flush();

private:
    const Plan<S> *plan_;
    Windows<S> *windows_;
    Tally<S> *tally_;
    std::unique_ptr<S[]> keys_;
    std::unique_ptr<std::int8_t[]> window_;
    std::size_t size_ = 0;
};

// Counts the values of a run (machine byte order, any alignment) below the
// plan's counted cuts into the tally, with their least and greatest keys,
// and gathers those in its runs into the sink.
template <class S>
using ScanKernel = void (*)(const std::byte *, std::size_t, const Plan<S> &, Tally<S> &, Sink<S> &);

// The kernel of `isa` for a plan (Float: keys of floating-point values).
// Defined once per key type and target, by scan_target.cpp.
template <class S, bool Float, Isa I>
ScanKernel<S> scan_kernel_for(const Plan<S> &plan);

// The kernel for a plan, of the target chosen for this processor.
template <class S, bool Float>
ScanKernel<S> scan_kernel(const Plan<S> &plan) {
    switch (scan_isa()) {
#if GEMLO_PERCENTILE_AVX512
        case Isa::Avx512:
            return scan_kernel_for<S, Float, Isa::Avx512>(plan);
#endif
#if GEMLO_PERCENTILE_AVX2
        case Isa::Avx2:
            return scan_kernel_for<S, Float, Isa::Avx2>(plan);
#endif
        default:
            return scan_kernel_for<S, Float, Isa::Baseline>(plan);
    }
}

extern template struct Plan<std::int8_t>;
extern template struct Plan<std::int16_t>;
extern template struct Plan<std::int32_t>;
extern template struct Plan<std::int64_t>;
extern template class Sink<std::int8_t>;
extern template class Sink<std::int16_t>;
extern template class Sink<std::int32_t>;
extern template class Sink<std::int64_t>;

}  // namespace gemlo::core::pct
