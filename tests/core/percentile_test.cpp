#include "core/percentile.hpp"
#include "core/percentile/dispatch.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <vector>

using gemlo::core::ArrayView;
using gemlo::core::NumberKind;
using gemlo::core::percentiles;
using gemlo::core::PercentileStats;

namespace {

const std::vector<double> kPoints{0, 10, 50, 90, 100};

template <class T>
NumberKind kind_of() {
    if constexpr (std::is_floating_point_v<T>)
        return NumberKind::Float;
    else if constexpr (std::is_signed_v<T>)
        return NumberKind::Signed;
    else
        return NumberKind::Unsigned;
}

template <class T>
ArrayView view_of(const std::vector<T> &v) {
    return {v.data(), {std::ptrdiff_t(v.size())}, {sizeof(T)}, kind_of<T>(), sizeof(T), false};
}

// Selection on a copy and numpy's linear interpolation, for finite values
// whose differences do not overflow.
template <class T>
std::vector<double> reference(std::vector<T> v, const std::vector<double> &points = kPoints) {
    std::vector<double> out;
    const std::size_t n = v.size();
    for (double p : points) {
        double index = double(n - 1) * (p / 100.0);
        std::size_t lo = std::min<std::size_t>(std::size_t(std::floor(index)), n - 1);
        std::size_t hi = std::min(lo + 1, n - 1);
        double t = index >= double(n - 1) ? index + 1 : index - std::floor(index);
        std::nth_element(v.begin(), v.begin() + std::ptrdiff_t(lo), v.end());
        if (hi > lo)
            std::nth_element(v.begin() + std::ptrdiff_t(hi), v.begin() + std::ptrdiff_t(hi),
                             v.end());
        if constexpr (std::is_same_v<T, float>) {
            float a = v[lo], b = v[hi], d = b - a;
            out.push_back(t >= 0.5 ? b - d * float(1.0 - t) : a + d * float(t));
        } else if constexpr (std::is_same_v<T, double>) {
            double a = v[lo], b = v[hi], d = b - a;
            out.push_back(t >= 0.5 ? b - d * (1.0 - t) : a + d * t);
        } else {
            double a = double(v[lo]), b = double(v[hi]), d = double(v[hi] - v[lo]);
            out.push_back(t >= 0.5 ? b - d * (1.0 - t) : a + d * t);
        }
    }
    return out;
}

template <class T>
void expect_same(const std::vector<T> &v, unsigned threads) {
    auto got = percentiles(view_of(v), kPoints, threads);
    auto want = reference(v);
    for (std::size_t i = 0; i < kPoints.size(); ++i) {
        EXPECT_EQ(got[i], want[i]) << "P" << kPoints[i] << " of " << v.size() << " values";
    }
}

// The full reads of `view` that its percentiles took; they must be `want`.
std::vector<double> counted(const ArrayView &view, unsigned &passes) {
    PercentileStats stats;
    auto got = percentiles(view, kPoints, 2, &stats);
    passes = stats.passes;
    return got;
}

}  // namespace

// Sizes and distributions that end the selection after one, two or more passes.
TEST(Percentiles, MatchSortedSelection) {
    std::mt19937_64 rng(7);
    std::normal_distribution<double> normal;
    for (std::size_t n : {1u, 2u, 3u, 11u, 1000u, 100000u}) {
        for (unsigned threads : {1u, 3u}) {
            std::vector<float> f32(n), quantised(n), constant(n, 2.5f);
            std::vector<double> f64(n);
            std::vector<std::int64_t> i64(n);
            std::vector<std::uint16_t> u16(n);
            std::vector<std::int8_t> i8(n);
            for (std::size_t i = 0; i < n; ++i) {
                f32[i] = float(normal(rng));
                quantised[i] = std::round(float(normal(rng)) * 20) / 20;
                f64[i] = normal(rng) * 1e6;
                i64[i] = std::int64_t(rng() >> 2) - (std::int64_t(1) << 61);
                u16[i] = std::uint16_t(rng());
                i8[i] = std::int8_t(rng() % 100) - 50;
            }
            expect_same(f32, threads);
            expect_same(quantised, threads);
            expect_same(constant, threads);
            expect_same(f64, threads);
            expect_same(i64, threads);
            expect_same(u16, threads);
            expect_same(i8, threads);
        }
    }
}

// Buckets too full to gather are counted again on their next bits, or
// found to hold a single value.
TEST(Percentiles, RefineFullBuckets) {
    const std::size_t n = 1200000;
    std::mt19937_64 rng(11);
    std::vector<float> two(n);
    std::vector<std::int64_t> narrow(n);
    std::vector<std::uint32_t> halves(n);
    for (std::size_t i = 0; i < n; ++i) {
        two[i] = float(rng() % 2) - 0.5f;
        narrow[i] = std::int64_t(rng() % 1000000);
        halves[i] = std::uint32_t(rng() % 2 ? 7 : 7 + (rng() % 5000));
    }
    expect_same(two, 2);
    expect_same(narrow, 2);
    expect_same(halves, 1);
}

// Permuted, reversed and byte-swapped storage holds the same multiset.
TEST(Percentiles, AnyLayoutAndByteOrder) {
    std::mt19937 rng(3);
    std::vector<double> values(4 * 5 * 6);
    for (auto &x : values) x = std::uniform_real_distribution<double>(-9, 9)(rng);
    auto want = percentiles(view_of(values), kPoints, 1);

    // Dimensions (4, 5, 6) read with a permuted order and the middle one reversed.
    ArrayView strided{values.data() + 4 * 6, {6, 5, 4}, {8, -6 * 8, 30 * 8},
                      NumberKind::Float,     8,         false};
    EXPECT_EQ(percentiles(strided, kPoints, 2), want);

    std::vector<std::uint64_t> swapped(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        std::uint64_t bits;
        std::memcpy(&bits, &values[i], 8);
        swapped[i] = __builtin_bswap64(bits);
    }
    ArrayView other{swapped.data(), {120}, {8}, NumberKind::Float, 8, true};
    EXPECT_EQ(percentiles(other, kPoints, 1), want);

    // Every other value, through a view on the whole.
    std::vector<double> halves;
    for (std::size_t i = 0; i < values.size(); i += 2) halves.push_back(values[i]);
    ArrayView every_other{values.data(), {60}, {16}, NumberKind::Float, 8, false};
    EXPECT_EQ(percentiles(every_other, kPoints, 1), reference(halves));
}

TEST(Percentiles, NanAnywhereMakesEveryResultNan) {
    for (float nan :
         {std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::quiet_NaN()}) {
        std::vector<float> v{1, 2, 3, 4, 5};
        v[2] = nan;
        for (double r : percentiles(view_of(v), kPoints, 1)) EXPECT_TRUE(std::isnan(r));
    }
}

// Where numpy's arithmetic gives nan or leaves the data, the formula's meaning.
TEST(Percentiles, InfinitiesAndOverflowingDifferences) {
    const double inf = std::numeric_limits<double>::infinity();
    auto at = [](auto v) { return percentiles(view_of(v), kPoints, 1); };

    auto r = at(std::vector<double>{1, 2, inf});
    EXPECT_EQ(r, (std::vector<double>{1, 1.2, 2, inf, inf}));
    r = at(std::vector<double>{-inf, 1, 2});
    EXPECT_EQ(r, (std::vector<double>{-inf, -inf, 1, 1.8, 2}));
    r = at(std::vector<double>{-inf, inf});
    EXPECT_EQ(r[0], -inf);
    EXPECT_TRUE(std::isnan(r[1]) && std::isnan(r[2]) && std::isnan(r[3]));
    EXPECT_EQ(r[4], inf);

    r = at(std::vector<std::int8_t>{-128, 127});
    EXPECT_EQ(r, (std::vector<double>{-128, -128 + 255 * 0.1, -0.5, 127 - 255 * (1 - 0.9), 127}));
    r = at(std::vector<float>{-3e38f, 3e38f});
    EXPECT_EQ(r[0], double(-3e38f));
    const double a = -3e38f, b = 3e38f;
    EXPECT_EQ(r[1], double(float(a + (b - a) * 0.1)));
    EXPECT_EQ(r[4], double(3e38f));
    r = at(std::vector<std::int64_t>{INT64_MIN, INT64_MAX});
    EXPECT_EQ(r[2], 0.0);
    EXPECT_EQ(r[1], -0x1p63 + 0x1p64 * 0.1);
}

TEST(Percentiles, RejectsBadInput) {
    std::vector<float> none;
    EXPECT_THROW(percentiles(view_of(none), kPoints), std::invalid_argument);
    ArrayView empty{nullptr, {3, 0}, {0, 4}, NumberKind::Float, 4, false};
    EXPECT_THROW(percentiles(empty, kPoints), std::invalid_argument);
    std::vector<float> one{1};
    EXPECT_THROW(percentiles(view_of(one), std::vector<double>{101}), std::invalid_argument);
    ArrayView half{one.data(), {1}, {2}, NumberKind::Float, 2, false};
    EXPECT_THROW(percentiles(half, kPoints), std::invalid_argument);
}

// One read of the array, whatever the distribution, the dtype, the layout,
// NaNs and infinities; one more when the sample was built to mislead.
TEST(Percentiles, OneReadOfTheArray) {
    const std::size_t n = 2000000;
    std::mt19937_64 rng(17);
    std::normal_distribution<float> normal;
    std::vector<float> values(n);
    for (auto &x : values) x = normal(rng);
    auto check = [](const auto &v, const ArrayView &view, unsigned most, const char *what) {
        unsigned passes = 0;
        auto got = counted(view, passes);
        EXPECT_LE(passes, most) << what;
        auto want = reference(v);
        // Infinite ends are the infinities (the reference's arithmetic gives nan).
        want.front() = double(*std::min_element(v.begin(), v.end()));
        want.back() = double(*std::max_element(v.begin(), v.end()));
        EXPECT_EQ(got, want) << what;
    };
    auto with = [&](auto f) {
        std::vector<float> v(values);
        for (std::size_t i = 0; i < n; ++i) v[i] = f(i, v[i]);
        return v;
    };
    for (auto [what, v] : std::vector<std::pair<const char *, std::vector<float>>>{
             {"normal", values},
             {"uniform", with([&](std::size_t, float) { return float(rng() % 1000000) / 1e6f; })},
             {"quantised", with([](std::size_t, float x) { return std::round(x * 16) / 16; })},
             {"sorted", with([](std::size_t i, float) { return float(i) * 0.25f - 1000; })},
             {"all equal", std::vector<float>(n, 7.5f)},
             {"two values", with([](std::size_t, float x) { return x < 0.3f ? -1.0f : 2.0f; })},
             {"infinities", with([](std::size_t i, float x) {
                  return i % 1000 == 0   ? std::numeric_limits<float>::infinity()
                         : i % 1000 == 1 ? -std::numeric_limits<float>::infinity()
                                         : x;
              })}}) {
        check(v, view_of(v), 1, what);
    }
    // A NaN makes every result NaN, found in the same read.
    std::vector<float> nan(values);
    nan[n / 3] = std::numeric_limits<float>::quiet_NaN();
    unsigned passes = 0;
    for (double r : counted(view_of(nan), passes)) EXPECT_TRUE(std::isnan(r));
    EXPECT_EQ(passes, 1u);

    std::vector<double> f64(values.begin(), values.end());
    check(f64, view_of(f64), 1, "float64");
    std::vector<std::int16_t> i16(n);
    for (std::size_t i = 0; i < n; ++i) i16[i] = std::int16_t(std::lround(values[i] * 1000));
    check(i16, view_of(i16), 1, "int16");
    // Every other value of a wider array, stored in the other byte order.
    std::vector<std::uint32_t> swapped(2 * n);
    std::vector<float> every_other(n);
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t bits;
        std::memcpy(&bits, &values[i], 4);
        swapped[2 * i] = __builtin_bswap32(bits);
        swapped[2 * i + 1] = 0;
        every_other[i] = values[i];
    }
    check(every_other,
          ArrayView{swapped.data(), {std::ptrdiff_t(n)}, {8}, NumberKind::Float, 4, true}, 1,
          "strided, swapped");

    std::vector<float> large(5 * n);
    for (auto &x : large) x = normal(rng);
    check(large, view_of(large), 1, "10^7 values");

    // Bytes, and many percentiles at once, take the scan by blocks.
    std::vector<std::int8_t> i8(large.size());
    for (std::size_t i = 0; i < i8.size(); ++i)
        i8[i] = std::int8_t(std::lround(std::clamp(large[i] * 30, -128.0f, 127.0f)));
    check(i8, view_of(i8), 1, "int8");
    const std::vector<double> many{0, 1, 5, 10, 25, 50, 75, 90, 95, 99, 100};
    PercentileStats stats;
    EXPECT_EQ(percentiles(view_of(values), many, 2, &stats), reference(values, many));
    EXPECT_EQ(stats.passes, 1u);

    // The sampled blocks (the middle of each 1024th of the array) hold outliers.
    std::vector<float> misled(values);
    for (std::size_t j = 0; j < 1024; ++j)
        for (std::size_t i = 0; i < 32; ++i)
            misled[(4 * j + 2) * n / 4096 - 16 + i] = 1000 + float(i);
    check(misled, view_of(misled), 2, "misleading sample");
}

// Each compiled kernel target that this processor runs gives the same
// results, on every key width, plans of few and of many cuts, and copied
// (strided, byte-swapped) blocks.
TEST(Percentiles, EveryKernelTargetAgrees) {
    using gemlo::core::pct::Isa;
    // Past what is simply gathered, even for bytes, and no whole number of vectors.
    const std::size_t n = 2500001;
    std::mt19937_64 rng(5);
    std::normal_distribution<float> normal;
    std::vector<float> f32(n), quantised(n);
    std::vector<double> f64(n);
    std::vector<std::int16_t> i16(n);
    std::vector<std::uint32_t> u32(n), swapped(2 * n);
    std::vector<std::int64_t> i64(n);
    std::vector<std::int8_t> i8(n);
    for (std::size_t i = 0; i < n; ++i) {
        const float x = normal(rng);
        f32[i] = x;
        quantised[i] = std::round(x * 16) / 16;
        f64[i] = double(x) * 1e6;
        i16[i] = std::int16_t(std::lround(x * 1000));
        u32[i] = std::uint32_t(rng());
        i64[i] = std::int64_t(rng());
        i8[i] = std::int8_t(std::lround(std::clamp(x * 30, -128.0f, 127.0f)));
        std::uint32_t bits;
        std::memcpy(&bits, &f32[i], 4);
        swapped[2 * i] = __builtin_bswap32(bits);
    }
    const ArrayView strided{swapped.data(), {std::ptrdiff_t(n)}, {8}, NumberKind::Float, 4, true};
    const std::vector<double> many{0, 1, 5, 10, 25, 50, 75, 90, 95, 99, 100};
    for (Isa isa : gemlo::core::pct::kIsas) {
        if (!gemlo::core::pct::set_scan_isa(isa)) continue;
        SCOPED_TRACE(gemlo::core::pct::isa_name(isa));
        expect_same(f32, 2);
        expect_same(quantised, 2);
        expect_same(f64, 2);
        expect_same(i16, 2);
        expect_same(u32, 2);
        expect_same(i64, 2);
        expect_same(i8, 2);
        EXPECT_EQ(percentiles(view_of(f32), many, 2), reference(f32, many));
        EXPECT_EQ(percentiles(strided, kPoints, 2), reference(f32));
    }
    EXPECT_TRUE(gemlo::core::pct::set_scan_isa(std::nullopt));
}
