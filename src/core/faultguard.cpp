#include "core/faultguard.hpp"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>

namespace gemlo::core {
namespace {

std::mutex guard_mutex;
std::atomic<std::uintptr_t> guard_begin{0}, guard_end{0}, page_size{4096};
std::atomic<bool> guard_hit{false};
struct sigaction previous_action;

void on_sigbus(int signo, siginfo_t *info, void *context) {
    auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    std::uintptr_t begin = guard_begin.load(), end = guard_end.load(), page = page_size.load();
    if (address >= begin && address < end) {
        // The rest of the range: the file ends before it, so nothing there is the
        // file's any more; zeros let the read finish, and the caller is told.
        std::uintptr_t from = address & ~(page - 1), to = (end + page - 1) & ~(page - 1);
        void *zeros = mmap(reinterpret_cast<void *>(from), to - from, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        if (zeros != MAP_FAILED) {
            guard_hit.store(true);
            return;
        }
    }
    // Not a read of the guarded range: whatever handled it before does.
    if ((previous_action.sa_flags & SA_SIGINFO) && previous_action.sa_sigaction != nullptr) {
        previous_action.sa_sigaction(signo, info, context);
    } else if (!(previous_action.sa_flags & SA_SIGINFO) && previous_action.sa_handler != SIG_DFL &&
               previous_action.sa_handler != SIG_IGN) {
        previous_action.sa_handler(signo);
    } else {
        signal(signo, SIG_DFL);  // the fault comes again and ends the program, as unguarded
    }
}

}  // namespace

bool read_guarded(const void *begin, std::size_t size, const std::function<void()> &read) {
    std::lock_guard<std::mutex> lock(guard_mutex);
    auto start = reinterpret_cast<std::uintptr_t>(begin);
    page_size.store(static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE)));
    guard_hit.store(false);
    guard_begin.store(start);
    guard_end.store(start + size);
    struct sigaction action = {};
    action.sa_sigaction = on_sigbus;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, &previous_action);
    struct Restore {
        ~Restore() {
            sigaction(SIGBUS, &previous_action, nullptr);
            guard_begin.store(0);
            guard_end.store(0);
        }
    } restore;
    read();
    return guard_hit.load();
}

}  // namespace gemlo::core
