// Exact percentiles of a strided array of numbers, without copying it.
//
// Results are those of numpy.percentile(data, p) with its default linear
// method, bit for bit and in its precision (float32 data stay float32, other
// data compute in float64), except where numpy's arithmetic leaves the data:
// an infinity at a rank and a neighbour difference that overflows the dtype
// give what the interpolation formula means there (see percentiles()).
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace gemlo::core {

// What an array of no values gets instead of percentiles.
inline constexpr const char *kNoValuesMessage =
    "cannot compute percentiles of an array with no values";

enum class NumberKind { Float, Signed, Unsigned };

// Where an array's values live: a base pointer, the shape and the byte
// strides of any sign, as the buffer protocol describes them.
struct ArrayView {
    const void *data = nullptr;
    std::vector<std::ptrdiff_t> shape;
    std::vector<std::ptrdiff_t> strides;  // in bytes, one per dimension
    NumberKind kind = NumberKind::Float;
    std::size_t itemsize = 8;  // float: 4 or 8; integers: 1, 2, 4 or 8
    bool byteswapped = false;  // values stored in the other byte order
};

// Whether the kernel handles values of this kind and size.
bool percentile_supported(NumberKind kind, std::size_t itemsize);

// Whether numpy gives float32 results for such data (else float64).
inline bool percentile_result_is_float32(NumberKind kind, std::size_t itemsize) {
    return kind == NumberKind::Float && itemsize == 4;
}

// How a computation went, for tests and benchmarks.
struct PercentileStats {
    unsigned passes = 0;  // full reads of the array
};

// The percentiles `points` (each in [0, 100]) of all values of `view`, in the
// order given. Float32 results are exact float32 values held in doubles.
// A NaN anywhere makes every result NaN. Throws std::invalid_argument for an
// array of no values, an unsupported kind or a point outside [0, 100].
// Passes over the data run on `threads` threads (0: one per core).
std::vector<double> percentiles(const ArrayView &view, std::span<const double> points,
                                unsigned threads = 0, PercentileStats *stats = nullptr);

}  // namespace gemlo::core
