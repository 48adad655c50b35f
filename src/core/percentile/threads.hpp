// The threads that share the passes of one selection.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace gemlo::core::pct {

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
    explicit Team(unsigned threads);
    ~Team();
    Team(const Team &) = delete;
    Team &operator=(const Team &) = delete;

    // Runs work(chunks) on every thread of the team, the calling one among them.
    // `least`: the smallest chunk worth handing out.
    template <class Work>
    void run(std::size_t n, Work &&work, std::size_t least = 1 << 16) {
        Chunks chunks(n, static_cast<unsigned>(helpers_.size() + 1), least);
        std::function<void()> job = [&] { work(chunks); };
        run_job(job);
    }

private:
    void run_job(std::function<void()> &job);
    void serve();

    std::vector<std::thread> helpers_;
    std::atomic<unsigned> generation_{0};
    std::atomic<std::size_t> pending_{0};
    std::atomic<bool> stop_{false};
    std::function<void()> *job_ = nullptr;
    std::mutex lock_;
    std::exception_ptr error_;
};

}  // namespace gemlo::core::pct
