#include "core/percentile/dispatch.hpp"

#include <atomic>

namespace gemlo::core::pct {

namespace {

Isa best_isa() {
    for (Isa isa : {Isa::Avx512, Isa::Avx2})
        if (isa_usable(isa)) return isa;
    return Isa::Baseline;
}

std::atomic<Isa> &chosen() {
    static std::atomic<Isa> isa{best_isa()};
    return isa;
}

}  // namespace

std::string_view isa_name(Isa isa) {
    switch (isa) {
        case Isa::Avx2:
            return "avx2";
        case Isa::Avx512:
            return "avx512";
        case Isa::Baseline:
            break;
    }
    return "baseline";
}

bool isa_usable(Isa isa) {
    switch (isa) {
        case Isa::Avx2:
            return GEMLO_PERCENTILE_AVX2 && __builtin_cpu_supports("x86-64-v3");
        case Isa::Avx512:
            return GEMLO_PERCENTILE_AVX512 && __builtin_cpu_supports("x86-64-v4");
        case Isa::Baseline:
            break;
    }
    return true;
}

Isa scan_isa() { return chosen().load(std::memory_order_relaxed); }

bool set_scan_isa(std::optional<Isa> isa) {
    const Isa want = isa.value_or(best_isa());
    if (!isa_usable(want)) return false;
    chosen().store(want, std::memory_order_relaxed);
    return true;
}

}  // namespace gemlo::core::pct
