// Which instruction set the scan kernels run with: the best one that was
// compiled in (CMake's GEMLO_PERCENTILE_TARGETS) and that this processor
// runs, chosen once.
#pragma once

#include <optional>
#include <string_view>

// Set by CMake for every user of gemlo_percentile: which kernel targets exist.
#ifndef GEMLO_PERCENTILE_AVX2
#define GEMLO_PERCENTILE_AVX2 0
#endif
#ifndef GEMLO_PERCENTILE_AVX512
#define GEMLO_PERCENTILE_AVX512 0
#endif

namespace gemlo::core::pct {

// Baseline: x86-64 (SSE2); Avx2: x86-64-v3; Avx512: x86-64-v4 (F, BW, DQ, VL).
enum class Isa { Baseline, Avx2, Avx512 };
inline constexpr Isa kIsas[] = {Isa::Baseline, Isa::Avx2, Isa::Avx512};

std::string_view isa_name(Isa isa);

// Whether the kernels of `isa` were compiled and this processor runs them.
bool isa_usable(Isa isa);

// The target the kernels run with now.
Isa scan_isa();

// Makes the kernels run with `isa` (nullopt: the best usable one again), so
// that the targets can be compared on one machine. False, and nothing
// changed, when `isa` is not usable.
bool set_scan_isa(std::optional<Isa> isa);

}  // namespace gemlo::core::pct
