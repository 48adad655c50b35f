#include "core/percentile/threads.hpp"

namespace gemlo::core::pct {

Team::Team(unsigned threads) {
    for (unsigned t = 1; t < threads; ++t) helpers_.emplace_back([this] { serve(); });
}

Team::~Team() {
    stop_ = true;
    generation_.fetch_add(1, std::memory_order_release);
    for (auto &helper : helpers_) helper.join();
}

void Team::run_job(std::function<void()> &job) {
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
    // The helpers use the job and its chunks: wait for them whatever happened.
    while (pending_.load(std::memory_order_acquire) != 0) std::this_thread::yield();
    if (mine) std::rethrow_exception(mine);
    if (error_) std::rethrow_exception(error_);
}

void Team::serve() {
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

}  // namespace gemlo::core::pct
