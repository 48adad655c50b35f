// SEG-Y traces: decoding every numeric sample format into native numbers and
// encoding them back, reading trace header words, copying all traces of a
// file into a native array file and writing traces out. Plain functions over
// bytes and file descriptors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

namespace gemlo::core::segy {

// Bytes one sample of `format` takes in the file; 0 for a code that holds no
// plain numbers (4, fixed point with gain) or is unknown.
std::size_t sample_bytes(int format);

// Bytes one decoded sample takes: 3-byte integers widen to 4 bytes.
std::size_t stored_bytes(int format);

// An IBM single-precision float (as a native 32-bit word) as the nearest
// IEEE float: rounded to nearest even, gradual underflow to denormals and
// zero, overflow to infinity.
float ibm_to_float(std::uint32_t ibm);

// The IBM single-precision float nearest to `value` (as a native 32-bit
// word), normalised, rounded to nearest even; zero keeps its sign. IBM has no
// infinity or NaN: infinities become the largest IBM magnitude, NaN zero.
std::uint32_t float_to_ibm(float value);

// Decode `n` samples of `format`, stored in the file in big- or
// little-endian order, into `dst` (stored_bytes(format) per value, native
// order): floats as float32 (IBM and IEEE) or float64, integers keep their
// width and sign, 3-byte integers widen to 4 bytes.
void decode_samples(int format, bool big_endian, const std::byte *src, std::size_t n, void *dst);

// The inverse of decode_samples: `n` native values of the type decode_samples
// gives for `format` into the file's bytes (sample_bytes(format) each) in
// big- or little-endian order; 3-byte formats keep the low 24 bits.
void encode_samples(int format, bool big_endian, const void *src, std::size_t n, std::byte *dst);

// Encode `count` traces into `dst`: each the 240 bytes at `headers` (240 per
// trace, copied as they are) followed by its `samples` values from `values`
// (stored_bytes(format) each, native order) encoded as encode_samples does.
void encode_traces(int format, bool big_endian, std::size_t samples, std::size_t count,
                   const std::byte *headers, const void *values, std::byte *dst);

// A 2- or 4-byte signed integer at `p` in the file's byte order.
std::int32_t read_int(const std::byte *p, unsigned width, bool big_endian);

// Where the traces are: byte offset of the first, the size of each (240
// header bytes plus the samples), how many, and how the samples are stored.
struct TraceLayout {
    std::uint64_t first = 0;
    std::uint64_t trace_bytes = 0;
    std::size_t count = 0;
    std::size_t samples = 0;
    int format = 5;
    bool big_endian = true;
};

// A signed header word: its 0-based byte position in the trace header and
// its width (2 or 4).
struct HeaderField {
    unsigned offset = 0;
    unsigned width = 4;
};

// Read the header words `fields` of every trace from `fd`, in large
// sequential reads; out[f][t] receives field f of trace t. Throws
// std::system_error on a read error, std::runtime_error when the file ends early.
void read_header_fields(int fd, const TraceLayout &layout, std::span<const HeaderField> fields,
                        std::span<std::int32_t *const> out, std::size_t block_bytes = 16 << 20);

struct CopyJob {
    int in_fd = -1;
    TraceLayout layout;
    int out_fd = -1;
    std::uint64_t out_offset = 0;        // where the array starts in the output file
    std::span<const std::int64_t> dest;  // per file trace: its row in the output
    // Each trace must still hold the line numbers the scan found.
    HeaderField iline, xline;
    std::span<const std::int32_t> ilines, xlines;
    std::size_t chunk_traces = 4096;
    // When set, each trace's 240 header bytes go to row dest[t] of a second
    // array (rows of 240 bytes) at `header_offset` in `header_fd`.
    int header_fd = -1;
    std::uint64_t header_offset = 0;
};

// Copy every trace's decoded samples to row dest[t] of the output array
// (rows of samples * stored_bytes bytes), one thread reading the next chunk
// while the calling thread decodes and writes the last one. Memory: three
// chunks. `progress(done)` runs on the calling thread after each chunk; when
// it returns false the copy stops and returns false. Throws std::system_error
// on an I/O error and std::runtime_error when the file no longer holds what
// the scan found.
bool copy_traces(const CopyJob &job, const std::function<bool(std::size_t)> &progress);

// encode_traces into a bounded buffer and written at `offset` in `fd`, one
// thread writing a block while the calling thread encodes the next. Throws
// std::system_error on a write error (ENOSPC on a full disk).
void write_traces(int fd, std::uint64_t offset, int format, bool big_endian, std::size_t samples,
                  std::size_t count, const std::byte *headers, const void *values,
                  std::size_t block_bytes = 8 << 20);

// Rows of fixed size in a file: row r at offset + r * (the row's bytes).
struct RowFile {
    int fd = -1;
    std::uint64_t offset = 0;
};

struct ExportJob {
    int out_fd = -1;
    std::span<const std::byte> head;  // the bytes before the first trace (the file's headers)
    int format = 5;
    bool big_endian = true;
    std::size_t samples = 0;
    std::span<const std::int64_t> rows;  // per trace, in the order written: its row
    RowFile headers;                     // rows of 240 bytes
    RowFile values;                      // rows of samples values of the decoded type
    std::size_t chunk_traces = 4096;
};

// Write the whole file from its start: `head`, then a trace per entry of
// `rows`: that row of `headers`, then that row of `values` encoded. Each chunk
// is read straight into its place in the output block (one read per run of
// consecutive rows) and encoded there, while other threads write up to three
// blocks before (memory: four chunks). Blocks go out from aligned positions in
// aligned lengths, bypassing the page cache (O_DIRECT) where the file system
// takes it: the copy into the cache would cost the most of the export; the
// descriptor's flags are as they were on return. `progress(done)` runs after
// each chunk; when it returns false the export stops and returns false. Throws
// std::system_error on an I/O error, std::runtime_error when a source file
// ends early, std::invalid_argument for the 3-byte formats (whose encoded
// samples are narrower than the decoded ones).
bool export_traces(const ExportJob &job, const std::function<bool(std::size_t)> &progress);

}  // namespace gemlo::core::segy
