#include "core/percentile/stages.hpp"

namespace gemlo::core::pct {

template <class S>
void Plan<S>::finish() {
    counted = runs = 0;
    for (int i = 0; i < count; ++i) {
        if (i == 0 || !gathers(i - 1)) counted_cut[std::size_t(counted++)] = std::int8_t(i);
        if (!gathers(i)) continue;
        const S hi = i + 1 < count ? S(cut[std::size_t(i + 1)] - 1) : std::numeric_limits<S>::max();
        if (i > 0 && gathers(i - 1)) {
            run_hi[std::size_t(runs - 1)] = hi;
        } else {
            run_lo[std::size_t(runs)] = cut[std::size_t(i)];
            run_hi[std::size_t(runs++)] = hi;
        }
    }
}

template <class S>
int Plan<S>::gap_of(S x) const {
    int i = 0;
    for (int c = 1; c < count; ++c) i += cut[std::size_t(c)] <= x;
    return i;
}

template <class S>
bool Plan<S>::in_run(S x) const {
    for (int r = 0; r < runs; ++r)
        if (x >= run_lo[std::size_t(r)] && x <= run_hi[std::size_t(r)]) return true;
    return false;
}

template <class S>
void Sink<S>::flush() {
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

template struct Plan<std::int8_t>;
template struct Plan<std::int16_t>;
template struct Plan<std::int32_t>;
template struct Plan<std::int64_t>;
template class Sink<std::int8_t>;
template class Sink<std::int16_t>;
template class Sink<std::int32_t>;
template class Sink<std::int64_t>;

}  // namespace gemlo::core::pct
