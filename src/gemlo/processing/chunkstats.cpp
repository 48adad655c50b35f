// chunkstats: the per-chunk stages of exact percentiles over chunked arrays
// (see core/chunkselect.hpp), called by dask tasks on the workers with the
// GIL released, so that threads of one worker scan chunks side by side.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/chunkselect.hpp"

namespace py = pybind11;
namespace cs = gemlo::core::chunkselect;

namespace {

using Keys = py::array_t<std::uint64_t, py::array::c_style | py::array::forcecast>;

std::pair<cs::Kind, std::size_t> kind_of(const py::dtype &dtype) {
    const char k = dtype.kind();
    const auto size = static_cast<std::size_t>(dtype.itemsize());
    const cs::Kind kind = k == 'f'   ? cs::Kind::Float
                          : k == 'i' ? cs::Kind::Signed
                          : k == 'u' ? cs::Kind::Unsigned
                                     : cs::Kind::Float;
    if (!(k == 'f' || k == 'i' || k == 'u') || !cs::supported(kind, size))
        throw py::value_error("cannot select values of type " +
                              py::str(static_cast<py::object>(dtype)).cast<std::string>());
    if (size > 1 && dtype.byteorder() == '>')
        throw py::value_error("values must be in the machine's byte order");
    return {kind, size};
}

cs::Chunk chunk_of(const py::array &values) {
    if (!(values.flags() & py::array::c_style))
        throw py::value_error("a chunk must be C-contiguous");
    const auto [kind, size] = kind_of(values.dtype());
    return {values.data(), static_cast<std::size_t>(values.size()), kind, size};
}

Keys to_array(std::vector<std::uint64_t> &&keys) {
    Keys out(static_cast<py::ssize_t>(keys.size()));
    std::copy(keys.begin(), keys.end(), out.mutable_data());
    return out;
}

py::tuple summarize(const py::array &values, std::size_t sample_size, std::uint64_t seed) {
    const cs::Chunk chunk = chunk_of(values);
    cs::Summary s;
    {
        py::gil_scoped_release released;
        s = cs::summarize(chunk, sample_size, seed);
    }
    return py::make_tuple(s.count, s.nulls, s.min_key, s.max_key, to_array(std::move(s.sample)));
}

py::list scan(const py::array &values, const std::vector<std::uint64_t> &lo,
              const std::vector<std::uint64_t> &hi, const std::vector<int> &shift,
              std::size_t cap) {
    const cs::Chunk chunk = chunk_of(values);
    if (lo.size() != hi.size() || lo.size() != shift.size())
        throw py::value_error("lo, hi and shift must be as long as each other");
    std::vector<cs::Window> windows;
    for (std::size_t w = 0; w < lo.size(); ++w)
        windows.push_back({lo[w], hi[w], shift[w] < 0 ? cs::kGather : unsigned(shift[w])});
    std::vector<cs::WindowCounts> counts;
    {
        py::gil_scoped_release released;
        try {
            counts = cs::scan(chunk, windows, cap);
        } catch (const std::invalid_argument &e) {
            py::gil_scoped_acquire gil;
            throw py::value_error(e.what());
        }
    }
    py::list out;
    for (std::size_t w = 0; w < counts.size(); ++w) {
        auto &c = counts[w];
        py::object gathered = py::none(), bins = py::none();
        if (shift[w] >= 0)
            bins = to_array(std::move(c.bins));
        else if (c.inside <= cap)
            gathered = to_array(std::move(c.keys));
        out.append(py::make_tuple(c.below, c.inside, gathered, bins));
    }
    return out;
}

py::array values_of(const Keys &keys, const py::dtype &dtype) {
    const auto [kind, size] = kind_of(dtype);
    py::array out(dtype, std::vector<py::ssize_t>{keys.size()});
    auto *bytes = static_cast<char *>(out.mutable_data());
    const std::uint64_t *k = keys.data();
    for (py::ssize_t i = 0; i < keys.size(); ++i)
        cs::value_of(k[i], kind, size, bytes + static_cast<std::size_t>(i) * size);
    return out;
}

}  // namespace

PYBIND11_MODULE(chunkstats, m) {
    m.doc() = "Per-chunk stages of exact percentiles over chunked arrays";
    m.attr("MAX_BINS") = cs::kMaxBins;
    m.def("summarize", &summarize, py::arg("values"), py::arg("sample_size"), py::arg("seed"),
          "(count, nulls, min key, max key, sample keys) of a C-contiguous chunk; NaN are "
          "counted as nulls and left out of the rest");
    m.def("scan", &scan, py::arg("values"), py::arg("lo"), py::arg("hi"), py::arg("shift"),
          py::arg("cap"),
          "Per key window [lo, hi]: (below, inside, keys inside or None past `cap`, None) when "
          "its shift is negative, else (below, inside, None, histogram of (key - lo) >> shift)");
    m.def("values_of", &values_of, py::arg("keys"), py::arg("dtype"),
          "The values of `keys` as an array of `dtype`");
}
