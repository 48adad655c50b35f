#include "core/segysamples.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace segy = gemlo::core::segy;

namespace {

std::vector<std::byte> bytes(std::initializer_list<int> values) {
    std::vector<std::byte> out;
    for (int v : values) out.push_back(static_cast<std::byte>(v));
    return out;
}

// IBM words against their exact meaning: fraction * 16^(exponent - 64) / 2^24.
TEST(IbmToFloat, ExactValuesAndSign) {
    EXPECT_EQ(segy::ibm_to_float(0x41100000u), 1.0f);
    EXPECT_EQ(segy::ibm_to_float(0xC1100000u), -1.0f);
    EXPECT_EQ(segy::ibm_to_float(0x42640000u), 100.0f);
    EXPECT_EQ(segy::ibm_to_float(0xC276A000u), -118.625f);  // the classic example
    EXPECT_EQ(segy::ibm_to_float(0x40800000u), 0.5f);
    EXPECT_EQ(segy::ibm_to_float(0x00000000u), 0.0f);
    EXPECT_TRUE(std::signbit(segy::ibm_to_float(0x80000000u)));
    // An unnormalised fraction (leading hex digit zero) means the same number.
    EXPECT_EQ(segy::ibm_to_float(0x42010000u), 1.0f);
    // A zero fraction is zero whatever the exponent.
    EXPECT_EQ(segy::ibm_to_float(0x7f000000u), 0.0f);
}

TEST(IbmToFloat, EveryFractionOfAnExponentIsExact) {
    // 24 bits of fraction fit a float's significand: each converts exactly.
    for (std::uint32_t f = 1; f < (1u << 24); f += 4093) {
        const float expected = std::ldexp(static_cast<float>(f), 4 * (0x45 - 64) - 24);
        ASSERT_EQ(segy::ibm_to_float((0x45u << 24) | f), expected) << f;
    }
}

TEST(IbmToFloat, UnderflowRoundsToDenormalsAndZero) {
    // 16^-22 * 0.5 = 2^-89: still a normal float.
    EXPECT_EQ(segy::ibm_to_float((42u << 24) | 0x800000u), std::ldexp(1.0f, -89));
    // 2^-149, the smallest denormal: 16^-37 * 2^-1 = 2^-149.
    EXPECT_EQ(segy::ibm_to_float((27u << 24) | 0x800000u),
              std::numeric_limits<float>::denorm_min());
    // Half of it rounds to even (zero); three quarters round up.
    EXPECT_EQ(segy::ibm_to_float((27u << 24) | 0x400000u), 0.0f);
    EXPECT_EQ(segy::ibm_to_float((27u << 24) | 0xC00000u),
              std::numeric_limits<float>::denorm_min() * 2);
    // A denormal with more fraction bits than fit: rounded to nearest.
    const double exact = std::ldexp(static_cast<double>(0xABCDEF), 4 * (30 - 64) - 24);
    EXPECT_EQ(segy::ibm_to_float((30u << 24) | 0xABCDEFu), static_cast<float>(exact));
    // The smallest IBM number is far below: zero.
    EXPECT_EQ(segy::ibm_to_float(0x00100000u), 0.0f);
}

TEST(IbmToFloat, OverflowGivesInfinity) {
    EXPECT_EQ(segy::ibm_to_float(0x7fffffffu), std::numeric_limits<float>::infinity());
    EXPECT_EQ(segy::ibm_to_float(0xffffffffu), -std::numeric_limits<float>::infinity());
    // 16^32 * 0.5 = 2^127: the largest power of two a float holds.
    EXPECT_EQ(segy::ibm_to_float((96u << 24) | 0x800000u), std::ldexp(1.0f, 127));
    // 16^32 * (1 - 2^-24) is the largest float; 16^33 / 16 = 2^128 is beyond.
    EXPECT_EQ(segy::ibm_to_float((96u << 24) | 0xffffffu), std::numeric_limits<float>::max());
    EXPECT_EQ(segy::ibm_to_float((97u << 24) | 0x100000u), std::numeric_limits<float>::infinity());
}

TEST(DecodeSamples, EveryFormatInBothByteOrders) {
    struct Case {
        int format;
        std::vector<std::byte> big;  // two samples, big-endian
        std::array<double, 2> values;
    };
    const std::vector<Case> cases = {
        {1, bytes({0x41, 0x10, 0, 0, 0xC2, 0x76, 0xA0, 0}), {1.0, -118.625}},
        {2, bytes({0xff, 0xff, 0xff, 0xfe, 0x7f, 0xff, 0xff, 0xff}), {-2, 2147483647}},
        {3, bytes({0x80, 0x00, 0x01, 0x02}), {-32768, 258}},
        {5, bytes({0x3f, 0x80, 0, 0, 0xc0, 0x20, 0, 0}), {1.0, -2.5}},
        {6,
         bytes({0x3f, 0xf0, 0, 0, 0, 0, 0, 1, 0xc0, 0, 0, 0, 0, 0, 0, 0}),
         {1.0000000000000002, -2.0}},
        {7, bytes({0xff, 0xff, 0xfe, 0x7f, 0xff, 0xff}), {-2, 8388607}},
        {8, bytes({0x80, 0x7f}), {-128, 127}},
        {9,
         bytes({0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xfd, 0, 0, 0, 0, 0, 0, 1, 0}),
         {-3, 256}},
        {10, bytes({0xff, 0xff, 0xff, 0xff, 0, 0, 0, 7}), {4294967295.0, 7}},
        {11, bytes({0xff, 0xff, 0x01, 0x00}), {65535, 256}},
        {12, bytes({0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9}), {4294967296.0, 9}},
        {15, bytes({0xff, 0xff, 0xfe, 0x00, 0x01, 0x00}), {16777214, 256}},
        {16, bytes({0xff, 0x01}), {255, 1}},
    };
    for (const auto &c : cases) {
        const std::size_t in = segy::sample_bytes(c.format), out = segy::stored_bytes(c.format);
        ASSERT_EQ(c.big.size(), 2 * in) << c.format;
        for (bool big : {true, false}) {
            std::vector<std::byte> src = c.big;
            if (!big)
                for (std::size_t s = 0; s < 2; ++s)
                    std::reverse(src.begin() + s * in, src.begin() + (s + 1) * in);
            std::vector<std::byte> dst(2 * out);
            segy::decode_samples(c.format, big, src.data(), 2, dst.data());
            for (std::size_t s = 0; s < 2; ++s) {
                const std::byte *p = dst.data() + s * out;
                double got = 0;
                auto load = [&](auto v) {
                    std::memcpy(&v, p, sizeof v);
                    got = static_cast<double>(v);
                };
                switch (c.format) {
                    case 1:
                    case 5:
                        load(float{});
                        break;
                    case 6:
                        load(double{});
                        break;
                    case 2:
                    case 7:
                        load(std::int32_t{});
                        break;
                    case 3:
                        load(std::int16_t{});
                        break;
                    case 8:
                        load(std::int8_t{});
                        break;
                    case 9:
                        load(std::int64_t{});
                        break;
                    case 10:
                    case 15:
                        load(std::uint32_t{});
                        break;
                    case 11:
                        load(std::uint16_t{});
                        break;
                    case 12:
                        load(std::uint64_t{});
                        break;
                    case 16:
                        load(std::uint8_t{});
                        break;
                }
                EXPECT_EQ(got, c.values[s]) << "format " << c.format << (big ? " big" : " little");
            }
            // Encoding gives back the very bytes.
            std::vector<std::byte> again(src.size());
            segy::encode_samples(c.format, big, dst.data(), 2, again.data());
            EXPECT_EQ(again, src) << "format " << c.format << (big ? " big" : " little");
        }
    }
    EXPECT_EQ(segy::sample_bytes(4), 0u);
    std::byte none[4]{};
    float out;
    EXPECT_THROW(segy::decode_samples(4, true, none, 1, &out), std::invalid_argument);
}

TEST(FloatToIbm, RoundTripsAndRounding) {
    // Every normalised IBM word within the range of normal floats comes back as itself.
    for (std::uint32_t exponent : {34u, 40u, 64u, 65u, 90u, 96u})
        for (std::uint32_t f = 0x100000u; f < (1u << 24); f += 7919) {
            for (std::uint32_t sign : {0u, 0x80000000u}) {
                const std::uint32_t word = sign | exponent << 24 | f;
                ASSERT_EQ(segy::float_to_ibm(segy::ibm_to_float(word)), word) << std::hex << word;
            }
        }
    struct Case {
        float value;
        std::uint32_t ibm;
    };
    const float inf = std::numeric_limits<float>::infinity();
    const Case cases[] = {
        {1.0f, 0x41100000u},
        {-118.625f, 0xC276A000u},
        {0.0f, 0u},
        {-0.0f, 0x80000000u},
        {inf, 0x7fffffffu},
        {-inf, 0xffffffffu},
        {std::numeric_limits<float>::quiet_NaN(), 0u},
        {std::numeric_limits<float>::denorm_min(), (27u << 24) | 0x800000u},
        // Near 1 the hex fraction holds 3 bits fewer than a float: 1 + 2^-23 rounds
        // down, 1 + 5 * 2^-23 up, halfway cases to even; 2 - 2^-23 carries into 2.
        {1.0f + std::ldexp(1.0f, -23), 0x41100000u},
        {1.0f + 5 * std::ldexp(1.0f, -23), 0x41100001u},
        {1.0f + 4 * std::ldexp(1.0f, -23), 0x41100000u},
        {1.0f + 12 * std::ldexp(1.0f, -23), 0x41100002u},
        {2.0f - std::ldexp(1.0f, -23), 0x41200000u},
        {std::numeric_limits<float>::max(), 0x60ffffffu},
    };
    for (const auto &c : cases) EXPECT_EQ(segy::float_to_ibm(c.value), c.ibm) << c.value;
}

TEST(WriteTraces, HeadersThenEncodedSamplesInBlocks) {
    char name[] = "/tmp/gemlo-segy-w-XXXXXX";
    const int fd = ::mkstemp(name);
    ASSERT_GE(fd, 0);
    ::unlink(name);
    const std::size_t count = 5, samples = 3;
    std::vector<std::byte> headers(240 * count);
    for (std::size_t i = 0; i < headers.size(); ++i) headers[i] = static_cast<std::byte>(i * 7);
    std::vector<std::int16_t> values(count * samples);
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<std::int16_t>(i - 4);
    const std::size_t trace = 240 + 2 * samples;
    // Two traces a block: three blocks, the last one short.
    segy::write_traces(fd, 10, 3, true, samples, count, headers.data(), values.data(), 2 * trace);
    std::vector<std::byte> expected(count * trace), got(count * trace + 1);
    segy::encode_traces(3, true, samples, count, headers.data(), values.data(), expected.data());
    ASSERT_EQ(::pread(fd, got.data(), got.size(), 10), static_cast<ssize_t>(expected.size()));
    got.pop_back();
    EXPECT_EQ(got, expected);
    EXPECT_TRUE(std::equal(headers.begin() + 240, headers.begin() + 480, got.begin() + trace));
    EXPECT_EQ(got[trace + 240], std::byte{0xff});  // -1, big-endian
    EXPECT_EQ(got[trace + 241], std::byte{0xff});
    ::close(fd);
    EXPECT_THROW(segy::write_traces(fd, 0, 3, true, samples, count, headers.data(), values.data()),
                 std::system_error);
}

TEST(ExportTraces, HeadThenRowsInTheirOrderEncodedInPlace) {
    char h_name[] = "/tmp/gemlo-segy-eh-XXXXXX", v_name[] = "/tmp/gemlo-segy-ev-XXXXXX",
         o_name[] = "/tmp/gemlo-segy-eo-XXXXXX";
    const int h_fd = ::mkstemp(h_name), v_fd = ::mkstemp(v_name), o_fd = ::mkstemp(o_name);
    ASSERT_TRUE(h_fd >= 0 && v_fd >= 0 && o_fd >= 0);
    ::unlink(h_name), ::unlink(v_name), ::unlink(o_name);
    const int flags = ::fcntl(o_fd, F_GETFL);
    const std::vector<std::int64_t> order{4, 3, 0, 1, 5};  // runs 0-1 and 4; row 2 left out
    // Short traces all end in the last block; long ones cross aligned ends
    // inside blocks, and a long head fills more than one aligned length.
    const struct {
        int format;
        bool big;
        std::size_t samples, chunk, head;
    } cases[] = {{5, true, 3, 2, 8},
                 {1, false, 3, 2, 8},
                 {5, true, 1500, 2, 3600},
                 {6, false, 700, 1, 9000},
                 {5, true, 1500, 9, 0}};
    for (const auto &c : cases) {
        // Six rows behind 16-byte preambles: headers of 240 bytes, then the samples.
        const std::size_t rows = 6, item = c.format == 6 ? 8 : 4;
        std::vector<std::byte> headers(240 * rows), head(c.head);
        for (std::size_t i = 0; i < headers.size(); ++i)
            headers[i] = static_cast<std::byte>(i % 251);
        for (std::size_t i = 0; i < head.size(); ++i) head[i] = static_cast<std::byte>(i % 13);
        std::vector<std::byte> values(rows * c.samples * item);
        for (std::size_t i = 0; i < rows * c.samples; ++i) {
            const float f = 0.5f * i - 2;
            const double d = 0.25 * i - 3;
            std::memcpy(values.data() + item * i, item == 4 ? static_cast<const void *>(&f) : &d,
                        item);
        }
        ASSERT_EQ(::pwrite(h_fd, headers.data(), headers.size(), 16), ssize_t(headers.size()));
        ASSERT_EQ(::pwrite(v_fd, values.data(), values.size(), 16), ssize_t(values.size()));
        ASSERT_EQ(::ftruncate(o_fd, 0), 0);
        segy::ExportJob job;
        job.out_fd = o_fd, job.head = head, job.format = c.format, job.big_endian = c.big;
        job.samples = c.samples, job.rows = order, job.chunk_traces = c.chunk;
        job.headers = {h_fd, 16}, job.values = {v_fd, 16};
        std::vector<std::size_t> seen;
        ASSERT_TRUE(segy::export_traces(job, [&](std::size_t done) {
            seen.push_back(done);
            return true;
        }));
        EXPECT_EQ(seen.back(), order.size());
        EXPECT_EQ(seen.size(), (order.size() + c.chunk - 1) / c.chunk);
        const std::size_t row = c.samples * item, trace = 240 + row;
        std::vector<std::byte> want_h, want_v, expected(head), got(c.head + order.size() * trace);
        for (auto r : order) {
            want_h.insert(want_h.end(), headers.begin() + 240 * r, headers.begin() + 240 * (r + 1));
            want_v.insert(want_v.end(), values.begin() + row * r, values.begin() + row * (r + 1));
        }
        expected.resize(got.size());
        segy::encode_traces(c.format, c.big, c.samples, order.size(), want_h.data(), want_v.data(),
                            expected.data() + c.head);
        struct stat st;
        ASSERT_EQ(::fstat(o_fd, &st), 0);
        EXPECT_EQ(std::size_t(st.st_size), got.size());
        ASSERT_EQ(::pread(o_fd, got.data(), got.size(), 0), ssize_t(got.size()));
        EXPECT_EQ(got, expected) << c.format << " " << c.samples;
        EXPECT_EQ(::fcntl(o_fd, F_GETFL), flags);
        job.chunk_traces = 1;
        EXPECT_FALSE(segy::export_traces(job, [](std::size_t) { return false; }));
        EXPECT_EQ(::fcntl(o_fd, F_GETFL), flags);
    }
    segy::ExportJob short_file;
    short_file.out_fd = o_fd, short_file.samples = 3, short_file.rows = order;
    short_file.headers = {h_fd, 16}, short_file.values = {v_fd, 1 << 20};
    EXPECT_THROW(segy::export_traces(short_file, {}), std::runtime_error);
    EXPECT_EQ(::fcntl(o_fd, F_GETFL), flags);
    short_file.format = 7;
    EXPECT_THROW(segy::export_traces(short_file, {}), std::invalid_argument);
    ::close(h_fd), ::close(v_fd), ::close(o_fd);
}

class CopyTraces : public ::testing::Test {
protected:
    void SetUp() override {
        char in_name[] = "/tmp/gemlo-segy-in-XXXXXX", out_name[] = "/tmp/gemlo-segy-out-XXXXXX";
        in_fd = ::mkstemp(in_name);
        out_fd = ::mkstemp(out_name);
        ::unlink(in_name), ::unlink(out_name);
        ASSERT_GE(in_fd, 0);
        ASSERT_GE(out_fd, 0);
    }
    void TearDown() override { ::close(in_fd), ::close(out_fd); }

    // Five traces of three 2-byte big-endian samples (value 10 * trace + sample)
    // after a 16-byte preamble; line numbers at header bytes 0 and 4.
    void write_file(std::size_t traces = 5) {
        std::vector<std::byte> file(16);
        for (std::size_t t = 0; t < traces; ++t) {
            std::vector<std::byte> trace(240 + 6);
            trace[3] = static_cast<std::byte>(t);       // inline t
            trace[7] = static_cast<std::byte>(t + 10);  // crossline t + 10
            for (int s = 0; s < 3; ++s) trace[240 + 2 * s + 1] = static_cast<std::byte>(10 * t + s);
            file.insert(file.end(), trace.begin(), trace.end());
        }
        ASSERT_EQ(::pwrite(in_fd, file.data(), file.size(), 0), static_cast<ssize_t>(file.size()));
    }
    segy::CopyJob job() {
        segy::CopyJob j;
        j.in_fd = in_fd, j.out_fd = out_fd, j.out_offset = 8;
        j.layout = {16, 246, 5, 3, 3, true};
        j.dest = dest, j.ilines = il, j.xlines = xl;
        j.iline = {0, 4}, j.xline = {4, 4};
        j.chunk_traces = 2;
        return j;
    }
    std::vector<std::int16_t> output(std::size_t rows) {
        std::vector<std::int16_t> out(rows * 3);
        EXPECT_EQ(::pread(out_fd, out.data(), out.size() * 2, 8),
                  static_cast<ssize_t>(out.size() * 2));
        return out;
    }
    int in_fd = -1, out_fd = -1;
    std::vector<std::int64_t> dest{4, 3, 0, 1, 5};  // rows, out of order, row 2 a hole
    std::vector<std::int32_t> il{0, 1, 2, 3, 4}, xl{10, 11, 12, 13, 14};
};

TEST_F(CopyTraces, EveryTraceLandsInItsRowAndProgressIsReported) {
    write_file();
    ASSERT_EQ(::ftruncate(out_fd, 8 + 6 * 6), 0);
    std::vector<std::size_t> seen;
    char name[] = "/tmp/gemlo-segy-h-XXXXXX";
    auto j = job();
    j.header_fd = ::mkstemp(name), j.header_offset = 4;
    ASSERT_GE(j.header_fd, 0);
    ::unlink(name);
    EXPECT_TRUE(segy::copy_traces(j, [&](std::size_t done) {
        seen.push_back(done);
        return true;
    }));
    EXPECT_EQ(seen, (std::vector<std::size_t>{2, 4, 5}));
    const std::vector<std::int16_t> expected{20, 21, 22, 30, 31, 32, 0,  0,  0,
                                             10, 11, 12, 0,  1,  2,  40, 41, 42};
    EXPECT_EQ(output(6), expected);
    // Each trace's header in its row: inline t at its bytes 0-3.
    std::vector<std::byte> headers(6 * 240);
    ASSERT_EQ(::pread(j.header_fd, headers.data(), headers.size(), 4), 6 * 240);
    ::close(j.header_fd);
    for (std::size_t t = 0; t < 5; ++t)
        EXPECT_EQ(headers[240 * dest[t] + 3], static_cast<std::byte>(t)) << t;
    EXPECT_EQ(headers[240 * 2 + 3], std::byte{0});

    std::int32_t got_il[5], got_xl[5];
    const segy::HeaderField fields[] = {{0, 4}, {4, 4}};
    std::int32_t *const outs[] = {got_il, got_xl};
    segy::read_header_fields(in_fd, job().layout, fields, outs, 300);
    EXPECT_EQ(std::vector<std::int32_t>(got_il, got_il + 5), il);
    EXPECT_EQ(std::vector<std::int32_t>(got_xl, got_xl + 5), xl);
}

TEST_F(CopyTraces, StopsWhenAskedAndRefusesChangedOrShortFiles) {
    write_file();
    EXPECT_FALSE(segy::copy_traces(job(), [](std::size_t) { return false; }));

    il[3] = 7;  // the scan saw something else
    EXPECT_THROW(
        {
            try {
                segy::copy_traces(job(), {});
            } catch (const std::runtime_error &e) {
                EXPECT_NE(std::string(e.what()).find("trace 4 now holds inline 3"),
                          std::string::npos);
                throw;
            }
        },
        std::runtime_error);
    il[3] = 3;

    ASSERT_EQ(::ftruncate(in_fd, 16 + 246 * 4 + 100), 0);
    EXPECT_THROW(segy::copy_traces(job(), {}), std::runtime_error);
    std::int32_t a[5];
    const segy::HeaderField field[] = {{0, 4}};
    std::int32_t *const out[] = {a};
    EXPECT_THROW(segy::read_header_fields(in_fd, job().layout, field, out), std::runtime_error);
}

}  // namespace
