// The per-chunk stages of an exact selection (order statistics) over an
// array cut into chunks that live on different machines.
//
// Values are compared as keys: unsigned integers in the order of the values
// (NaN has no key and is only counted). The driver merges what each chunk
// reports: a summary with a sample, then for key windows around the wanted
// ranks the counts below each window and either the keys inside it (up to a
// cap) or a histogram of them, narrowing until every rank is pinned down.
// A chunk is read once per stage and nothing larger than it is kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace gemlo::core::chunkselect {

enum class Kind { Float, Signed, Unsigned };

// One chunk's values, contiguous.
struct Chunk {
    const void *data = nullptr;
    std::size_t size = 0;  // number of values
    Kind kind = Kind::Float;
    std::size_t itemsize = 4;  // float: 4 or 8; integers: 1, 2, 4 or 8
};

// Whether values of this kind and size can be selected.
bool supported(Kind kind, std::size_t itemsize);

struct Summary {
    std::uint64_t count = 0;                 // values that are not NaN
    std::uint64_t nulls = 0;                 // NaN
    std::uint64_t min_key = 0, max_key = 0;  // meaningful when count > 0
    std::vector<std::uint64_t> sample;       // keys, NaN left out, in no order
};

// Count, nulls, extremes, and the keys of about `sample_size` values taken at
// jittered, evenly spread positions (`seed` picks them): a stride alone would
// sample the same phase of periodic data, such as one time of every trace.
Summary summarize(const Chunk &chunk, std::size_t sample_size, std::uint64_t seed);

// Histogram bins of a window are keys (key - lo) >> shift; kGather instead
// collects the keys inside.
inline constexpr unsigned kGather = ~0u;

struct Window {
    std::uint64_t lo = 0, hi = 0;  // keys, both inside
    unsigned shift = kGather;
};

struct WindowCounts {
    std::uint64_t below = 0;   // keys < lo
    std::uint64_t inside = 0;  // keys in [lo, hi]
    // Gathered keys (in no order): complete only if inside <= the cap, else empty.
    std::vector<std::uint64_t> keys;
    std::vector<std::uint64_t> bins;  // histogram windows: ((hi - lo) >> shift) + 1 bins
};

// Maximum number of histogram bins per window.
inline constexpr std::uint64_t kMaxBins = std::uint64_t{1} << 16;

// One read of the chunk for all `windows`. Gathering stops, and drops what it
// had, once a window holds more than `cap` keys. Throws std::invalid_argument
// for an unsupported kind, lo > hi, or too many bins.
std::vector<WindowCounts> scan(const Chunk &chunk, std::span<const Window> windows,
                               std::size_t cap);

// The value of a key, written to `out` (itemsize bytes).
void value_of(std::uint64_t key, Kind kind, std::size_t itemsize, void *out);

}  // namespace gemlo::core::chunkselect
