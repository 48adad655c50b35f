#include "core/segysamples.hpp"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <future>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace gemlo::core::segy {

namespace {

constexpr bool kNativeBig = std::endian::native == std::endian::big;

template <class T>
T swapped(T value) {
    if constexpr (sizeof(T) == 1) {
        return value;
    } else {
        using U =
            std::conditional_t<sizeof(T) == 2, std::uint16_t,
                               std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>>;
        U bits = std::bit_cast<U>(value);
        if constexpr (sizeof(T) == 2)
            bits = __builtin_bswap16(bits);
        else if constexpr (sizeof(T) == 4)
            bits = __builtin_bswap32(bits);
        else
            bits = __builtin_bswap64(bits);
        return std::bit_cast<T>(bits);
    }
}

// Values of type T stored in the file's order, copied into native ones.
template <class T>
void copy_words(const std::byte *src, std::size_t n, bool big_endian, T *dst) {
    std::memcpy(dst, src, n * sizeof(T));
    if (big_endian != kNativeBig)
        for (std::size_t i = 0; i < n; ++i) dst[i] = swapped(dst[i]);
}

template <bool Signed>
void three_byte(const std::byte *src, std::size_t n, bool big_endian, void *dst) {
    auto *out = static_cast<std::uint32_t *>(dst);
    for (std::size_t i = 0; i < n; ++i, src += 3) {
        auto b0 = std::to_integer<std::uint32_t>(src[0]);
        auto b1 = std::to_integer<std::uint32_t>(src[1]);
        auto b2 = std::to_integer<std::uint32_t>(src[2]);
        std::uint32_t v = big_endian ? (b0 << 16 | b1 << 8 | b2) : (b2 << 16 | b1 << 8 | b0);
        if constexpr (Signed)
            v = std::bit_cast<std::uint32_t>(std::bit_cast<std::int32_t>(v << 8) >> 8);
        out[i] = v;
    }
}

[[noreturn]] void throw_errno(const std::string &what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// Read exactly `n` bytes at `offset`; false when the file ends first.
bool read_at(int fd, std::byte *buf, std::size_t n, std::uint64_t offset) {
    while (n > 0) {
        ssize_t got = ::pread(fd, buf, n, static_cast<off_t>(offset));
        if (got < 0) {
            if (errno == EINTR) continue;
            throw_errno("reading the SEG-Y file failed");
        }
        if (got == 0) return false;
        buf += got, n -= static_cast<std::size_t>(got), offset += static_cast<std::uint64_t>(got);
    }
    return true;
}

void write_at(int fd, const std::byte *buf, std::size_t n, std::uint64_t offset,
              const char *what = "writing the data file failed") {
    while (n > 0) {
        ssize_t put = ::pwrite(fd, buf, n, static_cast<off_t>(offset));
        if (put < 0) {
            if (errno == EINTR) continue;
            throw_errno(what);
        }
        buf += put, n -= static_cast<std::size_t>(put), offset += static_cast<std::uint64_t>(put);
    }
}

// Native values of type T into the file's order.
template <class T>
void put_words(const T *src, std::size_t n, bool big_endian, std::byte *dst) {
    if (big_endian == kNativeBig) {
        if (static_cast<const void *>(dst) != src) std::memcpy(dst, src, n * sizeof(T));
        return;
    }
    for (std::size_t i = 0; i < n; ++i) {
        const T v = swapped(src[i]);
        std::memcpy(dst + i * sizeof(T), &v, sizeof(T));
    }
}

void put_three_bytes(const std::uint32_t *src, std::size_t n, bool big_endian, std::byte *dst) {
    for (std::size_t i = 0; i < n; ++i, dst += 3) {
        const std::uint32_t v = src[i];
        const auto b0 = static_cast<std::byte>(v >> 16), b1 = static_cast<std::byte>(v >> 8),
                   b2 = static_cast<std::byte>(v);
        dst[0] = big_endian ? b0 : b2;
        dst[1] = b1;
        dst[2] = big_endian ? b2 : b0;
    }
}

[[noreturn]] void ended_early(std::size_t trace) {
    throw std::runtime_error("the file ends inside trace " + std::to_string(trace + 1) +
                             ": it is truncated or was changed while it was read");
}

}  // namespace

std::size_t sample_bytes(int format) {
    switch (format) {
        case 1:
        case 2:
        case 5:
        case 10:
            return 4;
        case 3:
        case 11:
            return 2;
        case 6:
        case 9:
        case 12:
            return 8;
        case 7:
        case 15:
            return 3;
        case 8:
        case 16:
            return 1;
        default:
            return 0;
    }
}

std::size_t stored_bytes(int format) {
    std::size_t n = sample_bytes(format);
    return n == 3 ? 4 : n;
}

float ibm_to_float(std::uint32_t ibm) {
    const bool negative = ibm >> 31;
    const std::uint32_t fraction = ibm & 0x00ffffffu;
    if (fraction == 0) return negative ? -0.0f : 0.0f;
    // value = fraction * 16^(exponent - 64) * 2^-24; normalise the fraction
    // so that its top bit is bit 23: value = 1.f * 2^e. The double holds it
    // exactly, so the one rounding is that to float.
    const int exponent = static_cast<int>((ibm >> 24) & 0x7f);
    const int shift = std::countl_zero(fraction) - 8;
    const int e = 4 * (exponent - 64) - 1 - shift;
    if (e >= 128) {
        return negative ? -std::numeric_limits<float>::infinity()
                        : std::numeric_limits<float>::infinity();
    }
    const std::uint64_t mantissa = (std::uint64_t{fraction} << (shift + 29)) & ((1ull << 52) - 1);
    const std::uint64_t bits =
        (std::uint64_t{negative} << 63) | (static_cast<std::uint64_t>(e + 1023) << 52) | mantissa;
    return static_cast<float>(std::bit_cast<double>(bits));
}

namespace {

// float_to_ibm, branch-light for the loop over samples.
inline std::uint32_t ibm_of(float value) {
    const auto bits = std::bit_cast<std::uint32_t>(value);
    const std::uint32_t sign = bits & 0x80000000u;
    const int biased = static_cast<int>((bits >> 23) & 0xff);
    std::uint32_t m = bits & 0x7fffffu;
    if (biased == 0xff) [[unlikely]]
        return m ? 0u : (sign | 0x7fffffffu);
    if (biased == 0 && m == 0) return sign;
    // value = m * 2^e with m a 24-bit integer (fewer bits for denormals).
    int e = -149;
    if (biased != 0) [[likely]]
        m |= 0x800000u, e = biased - 150;
    const int top = 31 - std::countl_zero(m);
    // The hex exponent q that puts the fraction m * 2^shift in [2^20, 2^24).
    int q = (top + e + 1 + 3) >> 2;
    const int shift = e + 24 - 4 * q;
    std::uint32_t fraction;
    if (shift >= 0) {
        fraction = m << shift;
    } else {
        // 1 to 3 bits drop: round half to even.
        const int r = -shift;
        fraction = (m + (1u << (r - 1)) - 1 + ((m >> r) & 1u)) >> r;
        if (fraction == (1u << 24)) fraction >>= 4, ++q;
    }
    return sign | static_cast<std::uint32_t>(q + 64) << 24 | fraction;
}

}  // namespace

std::uint32_t float_to_ibm(float value) { return ibm_of(value); }

void decode_samples(int format, bool big_endian, const std::byte *src, std::size_t n, void *dst) {
    switch (format) {
        case 1: {
            auto *out = static_cast<float *>(dst);
            copy_words(src, n, big_endian, reinterpret_cast<std::uint32_t *>(out));
            for (std::size_t i = 0; i < n; ++i)
                out[i] = ibm_to_float(std::bit_cast<std::uint32_t>(out[i]));
            return;
        }
        case 5:
            return copy_words(src, n, big_endian, static_cast<float *>(dst));
        case 6:
            return copy_words(src, n, big_endian, static_cast<double *>(dst));
        case 2:
            return copy_words(src, n, big_endian, static_cast<std::int32_t *>(dst));
        case 3:
            return copy_words(src, n, big_endian, static_cast<std::int16_t *>(dst));
        case 8:
            return copy_words(src, n, big_endian, static_cast<std::int8_t *>(dst));
        case 9:
            return copy_words(src, n, big_endian, static_cast<std::int64_t *>(dst));
        case 10:
            return copy_words(src, n, big_endian, static_cast<std::uint32_t *>(dst));
        case 11:
            return copy_words(src, n, big_endian, static_cast<std::uint16_t *>(dst));
        case 12:
            return copy_words(src, n, big_endian, static_cast<std::uint64_t *>(dst));
        case 16:
            return copy_words(src, n, big_endian, static_cast<std::uint8_t *>(dst));
        case 7:
            return three_byte<true>(src, n, big_endian, dst);
        case 15:
            return three_byte<false>(src, n, big_endian, dst);
        default:
            throw std::invalid_argument("sample format " + std::to_string(format) +
                                        " holds no plain numbers");
    }
}

void encode_samples(int format, bool big_endian, const void *src, std::size_t n, std::byte *dst) {
    switch (format) {
        case 1: {
            const auto *in = static_cast<const float *>(src);
            const bool swap = big_endian != kNativeBig;
            for (std::size_t i = 0; i < n; ++i) {
                std::uint32_t w = ibm_of(in[i]);
                if (swap) w = __builtin_bswap32(w);
                std::memcpy(dst + 4 * i, &w, 4);
            }
            return;
        }
        case 5:
            return put_words(static_cast<const float *>(src), n, big_endian, dst);
        case 6:
            return put_words(static_cast<const double *>(src), n, big_endian, dst);
        case 2:
            return put_words(static_cast<const std::int32_t *>(src), n, big_endian, dst);
        case 3:
            return put_words(static_cast<const std::int16_t *>(src), n, big_endian, dst);
        case 8:
            return put_words(static_cast<const std::int8_t *>(src), n, big_endian, dst);
        case 9:
            return put_words(static_cast<const std::int64_t *>(src), n, big_endian, dst);
        case 10:
            return put_words(static_cast<const std::uint32_t *>(src), n, big_endian, dst);
        case 11:
            return put_words(static_cast<const std::uint16_t *>(src), n, big_endian, dst);
        case 12:
            return put_words(static_cast<const std::uint64_t *>(src), n, big_endian, dst);
        case 16:
            return put_words(static_cast<const std::uint8_t *>(src), n, big_endian, dst);
        case 7:
        case 15:
            return put_three_bytes(static_cast<const std::uint32_t *>(src), n, big_endian, dst);
        default:
            throw std::invalid_argument("sample format " + std::to_string(format) +
                                        " holds no plain numbers");
    }
}

void encode_traces(int format, bool big_endian, std::size_t samples, std::size_t count,
                   const std::byte *headers, const void *values, std::byte *dst) {
    const std::size_t in_row = samples * stored_bytes(format);
    const std::size_t out_row = samples * sample_bytes(format);
    if (out_row == 0 && samples != 0)
        throw std::invalid_argument("sample format " + std::to_string(format) +
                                    " holds no plain numbers");
    const auto *in = static_cast<const std::byte *>(values);
    for (std::size_t t = 0; t < count; ++t, dst += 240 + out_row) {
        std::memcpy(dst, headers + 240 * t, 240);
        encode_samples(format, big_endian, in + t * in_row, samples, dst + 240);
    }
}

void write_traces(int fd, std::uint64_t offset, int format, bool big_endian, std::size_t samples,
                  std::size_t count, const std::byte *headers, const void *values,
                  std::size_t block_bytes) {
    const std::size_t trace_bytes = 240 + samples * sample_bytes(format);
    const std::size_t in_row = samples * stored_bytes(format);
    if (sample_bytes(format) == 0)
        throw std::invalid_argument("sample format " + std::to_string(format) +
                                    " holds no plain numbers");
    if (count == 0) return;
    const std::size_t per_block = std::clamp<std::size_t>(block_bytes / trace_bytes, 1, count);
    auto buffer = [&] {
        return std::unique_ptr<std::byte[]>(new std::byte[per_block * trace_bytes]);
    };
    std::unique_ptr<std::byte[]> out[2] = {buffer(), buffer()};
    const auto *in = static_cast<const std::byte *>(values);
    // The last block is written on a second thread while this one encodes the
    // next; a pending write is waited for (the future's destructor) on any exit.
    std::future<void> pending;
    for (std::size_t a = 0, slot = 0; a < count; a += per_block, slot ^= 1) {
        const std::size_t n = std::min(per_block, count - a);
        encode_traces(format, big_endian, samples, n, headers + 240 * a, in + a * in_row,
                      out[slot].get());
        if (pending.valid()) pending.get();
        pending = std::async(std::launch::async, [&, slot, n, a] {
            write_at(fd, out[slot].get(), n * trace_bytes, offset + a * trace_bytes,
                     "writing the SEG-Y file failed");
        });
    }
    pending.get();
}

namespace {

// Rows [row, row + count) of `file` (rows of `row_bytes`) into the places
// dst, dst + stride, ... with as few reads as the iovec limit allows.
void read_rows(const RowFile &file, std::size_t row_bytes, std::int64_t row, std::size_t count,
               std::byte *dst, std::size_t stride) {
    std::vector<iovec> parts;
    std::uint64_t at = file.offset + static_cast<std::uint64_t>(row) * row_bytes;
    const std::size_t most = std::max<long>(1, std::min<long>(::sysconf(_SC_IOV_MAX), 1024));
    for (std::size_t k = 0; k < count;) {
        parts.clear();
        for (; k < count && parts.size() < most; ++k)
            parts.push_back({dst + k * stride, row_bytes});
        std::size_t first = 0;
        while (first < parts.size()) {
            const ssize_t got =
                ::preadv(file.fd, parts.data() + first, static_cast<int>(parts.size() - first),
                         static_cast<off_t>(at));
            if (got < 0) {
                if (errno == EINTR) continue;
                throw_errno("reading a data file failed");
            }
            if (got == 0) throw std::runtime_error("a data file ends before its last row");
            at += static_cast<std::uint64_t>(got);
            // Skip the parts filled; a part filled in part goes on where it stopped.
            for (auto left = static_cast<std::size_t>(got); left > 0;) {
                iovec &part = parts[first];
                const std::size_t used = std::min(left, part.iov_len);
                part.iov_base = static_cast<std::byte *>(part.iov_base) + used;
                part.iov_len -= used, left -= used;
                if (part.iov_len == 0) ++first;
            }
        }
    }
}

}  // namespace

namespace {

// Positions and lengths of writes that bypass the page cache: a multiple of
// the logical block size of the disks in use (512 or 4096 bytes).
constexpr std::size_t kDirectAlign = 4096;

// Blocks of an export in memory: one filled while the others are written.
constexpr std::size_t kExportBlocks = 4;

// Writes to `fd` that bypass the page cache (O_DIRECT) while the file system
// takes them, and go through it otherwise; the descriptor's flags are put
// back on destruction.
class DirectWriter {
public:
    explicit DirectWriter(int fd)
        : fd_(fd),
          flags_(::fcntl(fd, F_GETFL)),
          direct_(flags_ >= 0 && ::fcntl(fd, F_SETFL, flags_ | O_DIRECT) == 0) {}
    ~DirectWriter() {
        if (flags_ >= 0) ::fcntl(fd_, F_SETFL, flags_);
    }
    DirectWriter(const DirectWriter &) = delete;
    DirectWriter &operator=(const DirectWriter &) = delete;

    // `n` bytes at `buf` (aligned to kDirectAlign) at the aligned position
    // `at`: the aligned part directly, a tail that is not through the cache.
    // Several threads may write at once, at different positions.
    void write(const std::byte *buf, std::size_t n, std::uint64_t at) {
        std::size_t done = 0;
        const std::size_t whole = direct_ ? n & ~(kDirectAlign - 1) : 0;
        while (done < whole) {
            const ssize_t put =
                ::pwrite(fd_, buf + done, whole - done, static_cast<off_t>(at + done));
            if (put < 0) {
                if (errno == EINTR) continue;
                if (errno != EINVAL) throw_errno("writing the SEG-Y file failed");
                break;  // alignment the file system does not take
            }
            done += static_cast<std::size_t>(put);
            if (done % kDirectAlign != 0) break;  // a short write left the alignment
        }
        if (done == n) return;
        through_cache();
        write_at(fd_, buf + done, n - done, at + done, "writing the SEG-Y file failed");
#ifdef SYNC_FILE_RANGE_WRITE
        // Start writing the block back now: the disk works alongside, and the
        // final sync has little left to do.
        ::sync_file_range(fd_, static_cast<off_t>(at + done), static_cast<off_t>(n - done),
                          SYNC_FILE_RANGE_WRITE);
#endif
    }

private:
    void through_cache() {
        if (direct_.exchange(false)) ::fcntl(fd_, F_SETFL, flags_ & ~O_DIRECT);
    }

    int fd_, flags_;
    std::atomic<bool> direct_;
};

struct FreeDeleter {
    void operator()(std::byte *p) const { std::free(p); }
};

}  // namespace

bool export_traces(const ExportJob &job, const std::function<bool(std::size_t)> &progress) {
    const std::size_t in_row = job.samples * stored_bytes(job.format);
    const std::size_t out_row = job.samples * sample_bytes(job.format);
    if (out_row == 0 || in_row != out_row)
        throw std::invalid_argument("sample format " + std::to_string(job.format) +
                                    " is not encoded in place");
    const std::size_t trace_bytes = 240 + out_row, count = job.rows.size();
    const std::size_t chunk =
        std::clamp<std::size_t>(job.chunk_traces, 1, std::max<std::size_t>(count, 1));
    // A block holds what the last one left short of an aligned end (less than
    // kDirectAlign bytes), or the head, then a chunk of traces.
    const std::size_t lead = std::max(job.head.size(), kDirectAlign);
    const std::size_t capacity =
        (lead + chunk * trace_bytes + kDirectAlign - 1) / kDirectAlign * kDirectAlign;
    auto buffer = [&] {
        auto *p = static_cast<std::byte *>(std::aligned_alloc(kDirectAlign, capacity));
        if (p == nullptr) throw std::bad_alloc();
        return std::unique_ptr<std::byte[], FreeDeleter>(p);
    };
    std::unique_ptr<std::byte[], FreeDeleter> out[kExportBlocks];
    for (auto &b : out) b = buffer();
    DirectWriter writer(job.out_fd);
    // Blocks are written on other threads, several at once (a disk takes them
    // faster than one at a time), while this one fills the next; the writes
    // are waited for (the futures' destructors) on any exit.
    std::future<void> writing[kExportBlocks];
    auto wait_all = [&] {
        for (auto &w : writing)
            if (w.valid()) w.get();
    };
    std::copy(job.head.begin(), job.head.end(), out[0].get());
    std::size_t carried = job.head.size();
    std::uint64_t at = 0;  // where the block goes in the file: always aligned
    for (std::size_t a = 0, slot = 0;; a += chunk, slot = (slot + 1) % kExportBlocks) {
        const std::size_t n = std::min(chunk, count - a);
        std::byte *block = out[slot].get(), *traces = block + carried;
        for (std::size_t k = 0; k < n;) {
            std::size_t m = k + 1;
            while (m < n && job.rows[a + m] == job.rows[a + m - 1] + 1) ++m;
            std::byte *place = traces + k * trace_bytes;
            read_rows(job.headers, 240, job.rows[a + k], m - k, place, trace_bytes);
            read_rows(job.values, in_row, job.rows[a + k], m - k, place + 240, trace_bytes);
            k = m;
        }
        for (std::size_t k = 0; k < n; ++k) {
            std::byte *samples = traces + k * trace_bytes + 240;
            encode_samples(job.format, job.big_endian, samples, job.samples, samples);
        }
        const bool last = a + n >= count;
        const std::size_t filled = carried + n * trace_bytes;
        const std::size_t size = last ? filled : filled / kDirectAlign * kDirectAlign;
        // The unaligned end starts the next block, once that one's last write is done.
        const std::size_t next = (slot + 1) % kExportBlocks;
        if (writing[next].valid()) writing[next].get();
        carried = filled - size;
        std::copy(block + size, block + filled, out[next].get());
        writing[slot] = std::async(std::launch::async,
                                   [&writer, block, size, at] { writer.write(block, size, at); });
        at += size;
        if (progress && !progress(a + n)) {
            wait_all();
            return false;
        }
        if (last) break;
    }
    wait_all();
    return true;
}

std::int32_t read_int(const std::byte *p, unsigned width, bool big_endian) {
    if (width == 2) {
        std::int16_t v;
        copy_words(p, 1, big_endian, &v);
        return v;
    }
    std::int32_t v;
    copy_words(p, 1, big_endian, &v);
    return v;
}

void read_header_fields(int fd, const TraceLayout &layout, std::span<const HeaderField> fields,
                        std::span<std::int32_t *const> out, std::size_t block_bytes) {
    if (fields.size() != out.size()) throw std::invalid_argument("one output per field");
    for (const auto &f : fields)
        if ((f.width != 2 && f.width != 4) || f.offset + f.width > 240)
            throw std::invalid_argument("a header word lies outside the 240-byte trace header");
    if (layout.count == 0) return;
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    // Short traces are read many at once; long ones header by header, which
    // skips their samples.
    const bool whole = layout.trace_bytes <= 64 * 1024;
    const std::size_t per_block =
        whole ? std::clamp<std::size_t>(block_bytes / layout.trace_bytes, 1, layout.count) : 1;
    std::vector<std::byte> buf(whole ? per_block * layout.trace_bytes : 240);
    for (std::size_t a = 0; a < layout.count; a += per_block) {
        const std::size_t n = std::min(per_block, layout.count - a);
        const std::uint64_t at = layout.first + a * layout.trace_bytes;
        const std::size_t bytes = whole ? n * layout.trace_bytes : 240;
        if (!read_at(fd, buf.data(), bytes, at)) ended_early(a);
        for (std::size_t k = 0; k < n; ++k) {
            const std::byte *header = buf.data() + k * layout.trace_bytes;
            for (std::size_t f = 0; f < fields.size(); ++f)
                out[f][a + k] =
                    read_int(header + fields[f].offset, fields[f].width, layout.big_endian);
        }
    }
}

bool copy_traces(const CopyJob &job, const std::function<bool(std::size_t)> &progress) {
    const TraceLayout &lay = job.layout;
    const std::size_t in_bytes = sample_bytes(lay.format);
    const std::size_t row_bytes = lay.samples * stored_bytes(lay.format);
    if (in_bytes == 0 || lay.trace_bytes != 240 + lay.samples * in_bytes)
        throw std::invalid_argument("the trace size does not match the sample format");
    if (lay.count == 0) return !progress || progress(0);
    if (job.dest.size() != lay.count || job.ilines.size() != lay.count ||
        job.xlines.size() != lay.count)
        throw std::invalid_argument("one row, inline and crossline per trace");
    const std::size_t chunk = std::clamp<std::size_t>(job.chunk_traces, 1, lay.count);
    ::posix_fadvise(job.in_fd, 0, 0, POSIX_FADV_SEQUENTIAL);

    // Left uninitialised: every byte is read or decoded into before it is used.
    auto buffer = [](std::size_t n) { return std::unique_ptr<std::byte[]>(new std::byte[n]); };
    std::unique_ptr<std::byte[]> in[2] = {buffer(chunk * lay.trace_bytes),
                                          buffer(chunk * lay.trace_bytes)};
    auto out = buffer(chunk * row_bytes);
    auto headers = buffer(job.header_fd >= 0 ? chunk * 240 : 0);
    auto read_chunk = [&](std::size_t a, std::byte *buf) {
        const std::size_t n = std::min(chunk, lay.count - a);
        if (!read_at(job.in_fd, buf, n * lay.trace_bytes, lay.first + a * lay.trace_bytes))
            ended_early(a + n - 1);
    };

    // The next chunk is read on a second thread while this one is decoded and
    // written; a pending read is waited for (the future's destructor) on any exit.
    std::future<void> next = std::async(std::launch::async, read_chunk, 0, in[0].get());
    for (std::size_t a = 0, slot = 0; a < lay.count; a += chunk, slot ^= 1) {
        next.get();
        const std::size_t n = std::min(chunk, lay.count - a);
        if (a + n < lay.count)
            next = std::async(std::launch::async, read_chunk, a + n, in[slot ^ 1].get());
        const std::byte *src = in[slot].get();
        for (std::size_t k = 0; k < n; ++k) {
            const std::byte *trace = src + k * lay.trace_bytes;
            const std::size_t t = a + k;
            const auto il = read_int(trace + job.iline.offset, job.iline.width, lay.big_endian);
            const auto xl = read_int(trace + job.xline.offset, job.xline.width, lay.big_endian);
            if (il != job.ilines[t] || xl != job.xlines[t]) {
                throw std::runtime_error(
                    "trace " + std::to_string(t + 1) + " now holds inline " + std::to_string(il) +
                    ", crossline " + std::to_string(xl) + " where the scan found inline " +
                    std::to_string(job.ilines[t]) + ", crossline " + std::to_string(job.xlines[t]) +
                    ": the file was changed while it was read");
            }
            decode_samples(lay.format, lay.big_endian, trace + 240, lay.samples,
                           out.get() + k * row_bytes);
            if (job.header_fd >= 0) std::memcpy(headers.get() + k * 240, trace, 240);
        }
        // Runs of consecutive rows go out in one write each.
        for (std::size_t k = 0; k < n;) {
            std::size_t m = k + 1;
            while (m < n && job.dest[a + m] == job.dest[a + m - 1] + 1) ++m;
            write_at(job.out_fd, out.get() + k * row_bytes, (m - k) * row_bytes,
                     job.out_offset + static_cast<std::uint64_t>(job.dest[a + k]) * row_bytes);
            if (job.header_fd >= 0)
                write_at(job.header_fd, headers.get() + k * 240, (m - k) * 240,
                         job.header_offset + static_cast<std::uint64_t>(job.dest[a + k]) * 240);
            k = m;
        }
#ifdef SYNC_FILE_RANGE_WRITE
        // Start writing back what is written so far, so that the disk works
        // alongside and the final sync has little left to do.
        ::sync_file_range(job.out_fd, 0, 0, SYNC_FILE_RANGE_WRITE);
        if (job.header_fd >= 0) ::sync_file_range(job.header_fd, 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
        if (progress && !progress(a + n)) return false;
    }
    return true;
}

}  // namespace gemlo::core::segy
