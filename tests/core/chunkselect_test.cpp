#include "core/chunkselect.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

namespace cs = gemlo::core::chunkselect;

namespace {

template <class T>
cs::Chunk chunk_of(const std::vector<T> &v) {
    const cs::Kind kind = std::is_floating_point_v<T> ? cs::Kind::Float
                          : std::is_signed_v<T>       ? cs::Kind::Signed
                                                      : cs::Kind::Unsigned;
    return {v.data(), v.size(), kind, sizeof(T)};
}

template <class T>
T value(const cs::Chunk &c, std::uint64_t key) {
    T out;
    cs::value_of(key, c.kind, c.itemsize, &out);
    return out;
}

template <class T>
std::vector<T> sorted_present(std::vector<T> v) {
    std::erase_if(v, [](T x) { return x != x; });
    std::sort(v.begin(), v.end());
    return v;
}

// Keys sort as the values do, so a window of keys is a range of values: the
// counts and the gathered keys of any window agree with the sorted values.
template <class T>
void check_windows(const std::vector<T> &data, std::mt19937_64 &rng) {
    const cs::Chunk c = chunk_of(data);
    const auto s = cs::summarize(c, 64, rng());
    const auto sorted = sorted_present(data);
    ASSERT_EQ(s.count, sorted.size());
    EXPECT_EQ(s.nulls, data.size() - sorted.size());
    if (sorted.empty()) return;
    EXPECT_EQ(value<T>(c, s.min_key), sorted.front());
    EXPECT_EQ(value<T>(c, s.max_key), sorted.back());
    EXPECT_LE(s.sample.size(), 64u);
    std::vector<cs::Window> windows;
    for (int w = 0; w < 6; ++w) {
        std::uint64_t a = s.sample.empty() ? s.min_key : s.sample[rng() % s.sample.size()];
        std::uint64_t b = s.sample.empty() ? s.max_key : s.sample[rng() % s.sample.size()];
        if (a > b) std::swap(a, b);
        unsigned shift = 0;
        while (((b - a) >> shift) >= cs::kMaxBins) ++shift;
        windows.push_back({a, b, w % 2 ? shift : cs::kGather});
    }
    const std::size_t cap = data.size() / 3;
    const auto counts = cs::scan(c, windows, cap);
    for (std::size_t w = 0; w < windows.size(); ++w) {
        const auto &r = counts[w];
        // Compared as keys: -0.0 sorts below +0.0 there, equal as values.
        const T lo = value<T>(c, windows[w].lo), hi = value<T>(c, windows[w].hi);
        std::uint64_t below = 0, inside = 0;
        std::vector<T> in;
        for (T x : sorted) {
            const bool under =
                x < lo || (x == lo && std::signbit(double(x)) && !std::signbit(double(lo)));
            const bool over =
                x > hi || (x == hi && !std::signbit(double(x)) && std::signbit(double(hi)));
            if (under)
                ++below;
            else if (!over) {
                ++inside;
                in.push_back(x);
            }
        }
        EXPECT_EQ(r.below, below) << "window " << w;
        EXPECT_EQ(r.inside, inside) << "window " << w;
        if (windows[w].shift == cs::kGather) {
            if (inside > cap) {
                EXPECT_TRUE(r.keys.empty());
            } else {
                std::vector<T> got;
                for (auto k : r.keys) got.push_back(value<T>(c, k));
                std::sort(got.begin(), got.end());
                EXPECT_EQ(got, in);
            }
        } else {
            std::uint64_t total = 0;
            for (auto b : r.bins) total += b;
            EXPECT_EQ(total, inside);
            EXPECT_EQ(r.bins.size(), ((windows[w].hi - windows[w].lo) >> windows[w].shift) + 1);
        }
    }
}

TEST(ChunkSelect, WindowsAgreeWithSortedValues) {
    std::mt19937_64 rng(7);
    for (int trial = 0; trial < 40; ++trial) {
        const std::size_t n = 1 + rng() % 500;
        std::vector<float> f(n);
        std::vector<double> d(n);
        std::vector<std::int16_t> i16(n);
        std::vector<std::uint64_t> u64(n);
        std::vector<std::int8_t> i8(n);
        const float specials[] = {0.0f, -0.0f, INFINITY, -INFINITY, NAN, 1.0f, -1.0f};
        for (std::size_t i = 0; i < n; ++i) {
            f[i] = rng() % 3 ? specials[rng() % 7] : float(std::ldexp(double(rng() % 1000), -5));
            d[i] = rng() % 4 ? std::ldexp(double(std::int64_t(rng())), -40) : double(f[i]);
            i16[i] = static_cast<std::int16_t>(rng());
            u64[i] = rng() % 2 ? rng() : rng() % 5;
            i8[i] = static_cast<std::int8_t>(rng() % 7) - 3;
        }
        check_windows(f, rng);
        check_windows(d, rng);
        check_windows(i16, rng);
        check_windows(u64, rng);
        check_windows(i8, rng);
    }
}

TEST(ChunkSelect, NullsOnlyAndEmpty) {
    const std::vector<double> nans(5, NAN);
    const auto s = cs::summarize(chunk_of(nans), 10, 1);
    EXPECT_EQ(s.count, 0u);
    EXPECT_EQ(s.nulls, 5u);
    EXPECT_TRUE(s.sample.empty());
    const std::vector<float> none;
    EXPECT_EQ(cs::summarize(chunk_of(none), 10, 1).count, 0u);
    const std::vector<cs::Window> all{{0, ~0ull >> 32, cs::kGather}};
    EXPECT_EQ(cs::scan(chunk_of(none), all, 10)[0].inside, 0u);
}

TEST(ChunkSelect, RejectsBadWindowsAndKinds) {
    const std::vector<float> v{1.0f, 2.0f};
    const cs::Chunk c = chunk_of(v);
    const std::vector<cs::Window> reversed{{5, 4, cs::kGather}};
    EXPECT_THROW(cs::scan(c, reversed, 1), std::invalid_argument);
    const std::vector<cs::Window> too_wide{{0, 1ull << 32, cs::kGather}};
    EXPECT_THROW(cs::scan(c, too_wide, 1), std::invalid_argument);
    const std::vector<cs::Window> many_bins{{0, 1ull << 20, 0}};
    EXPECT_THROW(cs::scan(c, many_bins, 1), std::invalid_argument);
    EXPECT_FALSE(cs::supported(cs::Kind::Float, 2));
    cs::Chunk half = c;
    half.itemsize = 2;
    EXPECT_THROW(cs::summarize(half, 1, 1), std::invalid_argument);
}

}  // namespace
