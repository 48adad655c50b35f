// segycodec: SEG-Y trace headers and samples, read and decoded in C++ with
// the GIL released (see core/segysamples.hpp).
#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "core/segysamples.hpp"

namespace py = pybind11;
namespace segy = gemlo::core::segy;

namespace {

using Ints = py::array_t<std::int32_t, py::array::c_style | py::array::forcecast>;
using Rows = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;

segy::TraceLayout layout_of(std::uint64_t first, std::uint64_t trace_bytes, std::size_t count,
                            std::size_t samples, int format, bool big_endian) {
    if (segy::sample_bytes(format) == 0)
        throw py::value_error("sample format " + std::to_string(format) +
                              " holds no plain numbers");
    return {first, trace_bytes, count, samples, format, big_endian};
}

segy::HeaderField field_of(std::pair<unsigned, unsigned> f) {
    if ((f.second != 2 && f.second != 4) || f.first + f.second > 240)
        throw py::value_error("a header word must be 2 or 4 bytes within the trace header");
    return {f.first, f.second};
}

// std::system_error keeps errno: it becomes the OSError Python code expects.
template <class F>
auto io_errors(F &&body) {
    try {
        return body();
    } catch (const std::system_error &e) {
        const int code = e.code().value();
        const std::string what = e.what();
        py::gil_scoped_acquire gil;
        PyErr_SetObject(PyExc_OSError, py::make_tuple(code, what).ptr());
        throw py::error_already_set();
    }
}

std::vector<Ints> read_headers(int fd, std::uint64_t first, std::uint64_t trace_bytes,
                               std::size_t count, bool big_endian,
                               const std::vector<std::pair<unsigned, unsigned>> &fields) {
    segy::TraceLayout layout{first, trace_bytes, count, 0, 5, big_endian};
    if (trace_bytes < 240) throw py::value_error("a trace takes at least 240 bytes");
    std::vector<segy::HeaderField> words;
    std::vector<Ints> out;
    std::vector<std::int32_t *> ptrs;
    for (const auto &f : fields) {
        words.push_back(field_of(f));
        out.emplace_back(static_cast<py::ssize_t>(count));
        ptrs.push_back(out.back().mutable_data());
    }
    py::gil_scoped_release released;
    io_errors([&] {
        segy::read_header_fields(fd, layout, words, ptrs);
        return 0;
    });
    return out;
}

// The Python callback `progress`, called from C++ running without the GIL (none
// when there is no callback).
std::function<bool(std::size_t)> with_gil(const std::function<bool(std::size_t)> &progress) {
    if (!progress) return {};
    return [&progress](std::size_t done) {
        py::gil_scoped_acquire gil;
        return progress(done);
    };
}

bool copy_traces(int in_fd, std::uint64_t first, std::uint64_t trace_bytes, std::size_t samples,
                 int format, bool big_endian, int out_fd, std::uint64_t out_offset,
                 const Rows &rows, std::pair<unsigned, unsigned> iline_field,
                 std::pair<unsigned, unsigned> xline_field, const Ints &ilines, const Ints &xlines,
                 std::size_t chunk_traces, const std::function<bool(std::size_t)> &progress,
                 int header_fd, std::uint64_t header_offset) {
    const auto count = static_cast<std::size_t>(rows.size());
    segy::CopyJob job;
    job.in_fd = in_fd;
    job.layout = layout_of(first, trace_bytes, count, samples, format, big_endian);
    job.out_fd = out_fd;
    job.out_offset = out_offset;
    job.dest = {rows.data(), count};
    job.iline = field_of(iline_field);
    job.xline = field_of(xline_field);
    job.ilines = {ilines.data(), static_cast<std::size_t>(ilines.size())};
    job.xlines = {xlines.data(), static_cast<std::size_t>(xlines.size())};
    job.chunk_traces = chunk_traces;
    job.header_fd = header_fd;
    job.header_offset = header_offset;
    const auto report = with_gil(progress);
    py::gil_scoped_release released;
    return io_errors([&] { return segy::copy_traces(job, report); });
}

void write_traces(int fd, std::uint64_t offset, int format, bool big_endian,
                  const py::array &headers, const py::array &values) {
    const std::size_t stored = segy::stored_bytes(format);
    if (stored == 0)
        throw py::value_error("sample format " + std::to_string(format) +
                              " holds no plain numbers");
    const auto c_order = py::array::c_style;
    if (headers.ndim() != 2 || headers.shape(1) != 240 || headers.itemsize() != 1 ||
        !(headers.flags() & c_order))
        throw py::value_error("the headers must be a C-order (traces, 240) array of bytes");
    if (values.ndim() != 2 || values.shape(0) != headers.shape(0) ||
        static_cast<std::size_t>(values.itemsize()) != stored || !(values.flags() & c_order))
        throw py::value_error("the samples must be a C-order (traces, samples) array of " +
                              std::to_string(stored) + "-byte values, one row per header");
    const auto count = static_cast<std::size_t>(headers.shape(0));
    const auto samples = static_cast<std::size_t>(values.shape(1));
    const auto *head = static_cast<const std::byte *>(headers.data());
    const void *data = values.data();
    py::gil_scoped_release released;
    io_errors([&] {
        segy::write_traces(fd, offset, format, big_endian, samples, count, head, data);
        return 0;
    });
}

bool export_traces(int out_fd, const py::bytes &head, int format, bool big_endian,
                   std::size_t samples, const Rows &rows, std::pair<int, std::uint64_t> headers,
                   std::pair<int, std::uint64_t> values, std::size_t chunk_traces,
                   const std::function<bool(std::size_t)> &progress) {
    if (segy::sample_bytes(format) == 0 || segy::sample_bytes(format) != segy::stored_bytes(format))
        throw py::value_error("sample format " + std::to_string(format) +
                              " is not encoded in place");
    segy::ExportJob job;
    const std::string_view head_bytes = head;
    job.out_fd = out_fd;
    job.head = std::as_bytes(std::span(head_bytes.data(), head_bytes.size()));
    job.format = format, job.big_endian = big_endian, job.samples = samples;
    job.rows = {rows.data(), static_cast<std::size_t>(rows.size())};
    job.headers = {headers.first, headers.second};
    job.values = {values.first, values.second};
    job.chunk_traces = chunk_traces;
    const auto report = with_gil(progress);
    py::gil_scoped_release released;
    return io_errors([&] { return segy::export_traces(job, report); });
}

}  // namespace

PYBIND11_MODULE(segycodec, m) {
    m.doc() = "SEG-Y trace headers and samples, read and decoded in C++ without the GIL.";
    m.def("sample_bytes", &segy::sample_bytes, py::arg("format"),
          "Bytes one sample of `format` takes in the file; 0 when it holds no plain numbers.");
    m.def("read_headers", &read_headers, py::arg("fd"), py::arg("first"), py::arg("trace_bytes"),
          py::arg("count"), py::arg("big_endian"), py::arg("fields"),
          "The header words `fields` ((0-based offset, width 2 or 4), ...) of every trace, "
          "one int32 array per field, read in large blocks from the descriptor `fd`.");
    m.def("copy_traces", &copy_traces, py::arg("in_fd"), py::arg("first"), py::arg("trace_bytes"),
          py::arg("samples"), py::arg("format"), py::arg("big_endian"), py::arg("out_fd"),
          py::arg("out_offset"), py::arg("rows"), py::arg("iline_field"), py::arg("xline_field"),
          py::arg("ilines"), py::arg("xlines"), py::arg("chunk_traces"),
          py::arg("progress") = py::none(), py::arg("header_fd") = -1, py::arg("header_offset") = 0,
          "Decode every trace into row rows[t] of the array at `out_offset` in `out_fd`, "
          "checking that it still holds ilines[t], xlines[t]; one thread reads ahead while "
          "this one decodes and writes. progress(done) runs after each chunk; when it returns "
          "False the copy stops and returns False. OSError on an I/O error, RuntimeError when "
          "the file no longer holds what the scan found. With `header_fd`, each trace's 240 header "
          "bytes go to row rows[t] of the byte array at `header_offset` in that file.");
    m.def("write_traces", &write_traces, py::arg("fd"), py::arg("offset"), py::arg("format"),
          py::arg("big_endian"), py::arg("headers"), py::arg("values"),
          "Write traces at `offset` in `fd`: row t of `headers` ((traces, 240) bytes) then "
          "row t of `values` ((traces, samples), the type decoding gives for `format`) "
          "encoded in `format` and byte order, encoded and written without the GIL. "
          "OSError on a write error.");
    m.def("export_traces", &export_traces, py::arg("out_fd"), py::arg("head"), py::arg("format"),
          py::arg("big_endian"), py::arg("samples"), py::arg("rows"), py::arg("headers"),
          py::arg("values"), py::arg("chunk_traces"), py::arg("progress") = py::none(),
          "Write the whole file from its start: `head` (the file's headers), then a trace per "
          "entry of `rows`: that row of the 240-byte rows at headers = (fd, offset), then that "
          "row of the samples at values = (fd, offset) (the type decoding gives for `format`) "
          "encoded; read, encoded and written without the GIL, one thread writing while the "
          "next chunk is read, past the page cache where the file system allows. "
          "progress(done) runs "
          "after each chunk; when it returns False the export stops and returns False. "
          "ValueError for the 3-byte formats, OSError on an I/O error, RuntimeError when a "
          "source file ends early.");
}
