// statgrid: how the values of each property of a data object are
// distributed, as a table of minimum, P10, P50, P90 and maximum.
#include <pybind11/pybind11.h>

#include <array>
#include <bit>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bridge/pyclass.hpp"
#include "core/faultguard.hpp"
#include "core/percentile.hpp"

namespace py = pybind11;
namespace bridge = gemlo::bridge;
namespace core = gemlo::core;

namespace {

constexpr std::array<double, 5> kPoints{0, 10, 50, 90, 100};
constexpr std::array<const char *, 6> kHeaders{"Name", "Min", "P10", "P50", "P90", "Max"};
constexpr std::array<const char *, 3> kArrayKeys{"array1d", "array2d", "array3d"};
constexpr const char *kPercentilesKey = "arrayPercentiles";

// Everything the module needs from Python, bound once at import.
struct State {
    py::object tr, Qt, QWidget, QLabel, QPushButton, QHBoxLayout, QVBoxLayout, QTableWidget,
        QTableWidgetItem;
    py::object ndarray, memmap, float32, float64, percentile, size;
    py::object mmap, granularity;
};

// A memory map whose file was truncated behind it: reading the lost pages would kill
// the process with SIGBUS, so the file's size is checked right before the values are
// read, and OSError raised instead; a truncation during the read is caught by the
// kernel's guarded read.
void check_mapped(const State &s, py::handle data) {
    py::object base = py::reinterpret_borrow<py::object>(data);
    py::object map_of = py::none();  // the numpy memmap nearest to `data`
    while (!base.is_none() && !py::isinstance(base, s.mmap)) {
        if (map_of.is_none() && py::isinstance(base, s.memmap)) map_of = base;
        base = py::getattr(base, "base", py::none());
    }
    if (base.is_none() || base.attr("closed").cast<bool>()) return;
    // numpy maps from the allocation boundary below the data's offset.
    auto offset =
        map_of.is_none() ? 0 : py::getattr(map_of, "offset", py::int_(0)).cast<long long>();
    long long needed = offset - offset % s.granularity.cast<long long>() + py::len(base);
    auto size = base.attr("size")().cast<long long>();
    if (size >= needed) return;
    py::object name = py::str("its data file");
    if (!map_of.is_none() && !map_of.attr("filename").is_none()) name = map_of.attr("filename");
    PyErr_SetString(PyExc_OSError, py::str("{} was truncated while in use ({} bytes left of {})")
                                       .format(name, size, needed)
                                       .cast<std::string>()
                                       .c_str());
    throw py::error_already_set();
}

// How the kernel reads a buffer's values, from its struct-module format
// ("f", "<d", ">q", ...); nothing for what it does not handle.
std::optional<core::ArrayView> kernel_view(const py::buffer_info &info) {
    std::string format = info.format;
    bool swapped = false;
    if (!format.empty() && std::string("@=<>!").find(format[0]) != std::string::npos) {
        constexpr bool little = std::endian::native == std::endian::little;
        swapped =
            (format[0] == '<' && !little) || ((format[0] == '>' || format[0] == '!') && little);
        format.erase(0, 1);
    }
    if (format.size() != 1) return std::nullopt;
    core::NumberKind kind;
    switch (format[0]) {
        case 'f':
        case 'd':
            kind = core::NumberKind::Float;
            break;
        case 'b':
        case 'h':
        case 'i':
        case 'l':
        case 'q':
            kind = core::NumberKind::Signed;
            break;
        case 'B':
        case 'H':
        case 'I':
        case 'L':
        case 'Q':
            kind = core::NumberKind::Unsigned;
            break;
        default:
            return std::nullopt;  // float16, bool, complex, objects, ...
    }
    auto itemsize = static_cast<std::size_t>(info.itemsize);
    if (!core::percentile_supported(kind, itemsize)) return std::nullopt;
    return core::ArrayView{info.ptr,
                           {info.shape.begin(), info.shape.end()},
                           {info.strides.begin(), info.strides.end()},
                           kind,
                           itemsize,
                           swapped};
}

// The bytes the view reaches: a memory-mapped file may shrink under them.
std::pair<const void *, std::size_t> span_of(const core::ArrayView &view) {
    std::ptrdiff_t low = 0, high = static_cast<std::ptrdiff_t>(view.itemsize);
    for (std::size_t d = 0; d < view.shape.size(); ++d) {
        if (view.shape[d] == 0) return {view.data, 0};
        std::ptrdiff_t reach = (view.shape[d] - 1) * view.strides[d];
        (reach < 0 ? low : high) += reach;
    }
    return {static_cast<const char *>(view.data) + low, static_cast<std::size_t>(high - low)};
}

// The five percentiles of `data` as numpy.percentile(data, p) gives them,
// each a numpy scalar of numpy's result type. numpy arrays (memory-mapped
// ones too) of floats and integers are read in place by the kernel, without
// the GIL; anything else is left to numpy itself.
py::list percentiles_of(const State &s, py::handle data, core::PercentileStats *stats = nullptr) {
    py::list out;
    check_mapped(s, data);
    py::handle type = py::type::handle_of(data);
    // Only numbers are asked for a buffer: numpy refuses one for dates.
    if ((type.is(s.ndarray) || type.is(s.memmap)) &&
        std::string("fiu").find(data.attr("dtype").attr("kind").cast<std::string>()) !=
            std::string::npos) {
        py::buffer_info info = py::reinterpret_borrow<py::buffer>(data).request();
        if (auto view = kernel_view(info)) {
            std::vector<double> values;
            bool cut = false;
            {
                py::gil_scoped_release released;
                auto [begin, size] = span_of(*view);
                cut = core::read_guarded(
                    begin, size, [&] { values = core::percentiles(*view, kPoints, 0, stats); });
            }
            if (cut) {
                // What was read past the file's new end is not the property's values.
                PyErr_SetString(PyExc_OSError,
                                "the data file of these values was cut short while they were read");
                throw py::error_already_set();
            }
            bool single = core::percentile_result_is_float32(view->kind, view->itemsize);
            for (double v : values) out.append((single ? s.float32 : s.float64)(v));
            return out;
        }
    }
    // numpy raises an IndexError from deep inside for these.
    if (s.size(data).cast<std::size_t>() == 0) throw py::value_error(core::kNoValuesMessage);
    for (double p : kPoints) out.append(s.percentile(data, py::int_(static_cast<int>(p))));
    return out;
}

void add_array_percentile(const State &s, py::object prop) {
    for (const char *key : kArrayKeys) {
        if (prop.contains(key)) {
            prop[py::str(kPercentilesKey)] = percentiles_of(s, prop[py::str(key)]);
            return;
        }
    }
    throw py::value_error("Unknown value");
}

// Writes the rows of `table` from `dict_prop`, then sorts them by name.
// A failing row leaves the rows before it written and the rest as they were.
void fill(const State &s, py::object table, py::object dict_prop, bool recompute) {
    py::list names;
    for (py::handle name : py::iter(dict_prop)) names.append(name);
    table.attr("setRowCount")(py::len(names));
    table.attr("setColumnCount")(kHeaders.size());
    py::list headers;
    for (const char *h : kHeaders) headers.append(h);
    table.attr("setHorizontalHeaderLabels")(headers);

    for (std::size_t row = 0; row < names.size(); ++row) {
        py::object name = names[row];
        py::object entry = dict_prop[name];
        if (recompute || !entry.contains(kPercentilesKey)) add_array_percentile(s, entry);
        py::tuple values(entry[py::str(kPercentilesKey)]);
        if (values.size() != kPoints.size()) {
            throw py::value_error(
                py::str("'{}' of property {!r} holds {} values, not {}")
                    .format(kPercentilesKey, name, values.size(), kPoints.size()));
        }
        std::vector<py::str> texts{py::str(name)};
        for (py::handle v : values) texts.emplace_back(py::str(v));
        for (std::size_t col = 0; col < texts.size(); ++col) {
            table.attr("setItem")(row, col, s.QTableWidgetItem(texts[col]));
        }
    }
    table.attr("sortItems")(0, s.Qt.attr("AscendingOrder"));
}

py::object distribution_table(const State &s, py::object dict_prop) {
    py::object table = s.QTableWidget();
    fill(s, table, dict_prop, false);
    return table;
}

}  // namespace

// CPython's own form for a builtin's signature: it becomes __text_signature__
// (seen by inspect and the stub generator) and is cut from __doc__.
#define SIGNATURE(call) call "\n--\n\n"

PYBIND11_MODULE(statgrid, m) {
    py::options options;
    options.disable_function_signatures();
    m.doc() = "Tables of how the values of data-object properties are distributed.";

    auto state = std::make_shared<State>();
    state->tr = bridge::bind(m, "gemlo.config.base", "_");
    state->Qt = bridge::bind(m, "qtpy.QtCore", "Qt");
    for (auto [slot, name] : {std::pair{&State::QWidget, "QWidget"},
                              {&State::QLabel, "QLabel"},
                              {&State::QPushButton, "QPushButton"},
                              {&State::QHBoxLayout, "QHBoxLayout"},
                              {&State::QVBoxLayout, "QVBoxLayout"},
                              {&State::QTableWidget, "QTableWidget"},
                              {&State::QTableWidgetItem, "QTableWidgetItem"}}) {
        (*state).*slot = bridge::bind(m, "qtpy.QtWidgets", name);
    }
    py::module_ np = bridge::bind_module(m, "numpy", "np");
    state->ndarray = np.attr("ndarray");
    state->memmap = np.attr("memmap");
    state->float32 = np.attr("float32");
    state->float64 = np.attr("float64");
    state->percentile = np.attr("percentile");
    state->size = np.attr("size");
    py::module_ mmap = py::module_::import("mmap");
    state->mmap = mmap.attr("mmap");
    state->granularity = mmap.attr("ALLOCATIONGRANULARITY");

    // For tests and benchmarks: how many times the kernel read the array.
    m.def(
        "_percentile_passes",
        [state](py::handle data) {
            core::PercentileStats stats;
            percentiles_of(*state, data, &stats);
            return stats.passes;
        },
        py::arg("data"),
        SIGNATURE("_percentile_passes(data)") "Full reads of data that its percentiles took.");

    m.def(
        "add_array_percentile", [state](py::object prop) { add_array_percentile(*state, prop); },
        py::arg("prop"),
        SIGNATURE("add_array_percentile(prop)") "-i- prop : dict, for example cube.prop[prop]");

    m.def("PropertyDistribtionTable",
          [state](py::object dict_prop) { return distribution_table(*state, dict_prop); },
          py::arg("dict_prop"),
          SIGNATURE("PropertyDistribtionTable(dict_prop)") "-i- dict_prop : dict, property name to property entry, for example cube.prop\n"
          "Return a table widget of properties data value distribution.");

    m.def(
        "refresh",
        [state](py::object table, py::object dict_prop) { fill(*state, table, dict_prop, true); },
        py::arg("table"), py::arg("dict_prop"), SIGNATURE("refresh(table, dict_prop)"));

    m.def(
        "dict_prop_table",
        [state](py::object dict_prop) {
            const State &s = *state;
            py::object label = s.QLabel(s.tr("Property value distribution"));
            py::object button = s.QPushButton(s.tr("Refresh"));
            py::object table = distribution_table(s, dict_prop);
            // Bound now to this table and this dictionary; clicked's own argument is dropped.
            button.attr("clicked").attr("connect")(py::cpp_function(
                [state, table, dict_prop](py::args) { fill(*state, table, dict_prop, true); },
                py::name("refresh_table")));
            py::object row = s.QHBoxLayout();
            row.attr("addWidget")(label);
            row.attr("addWidget")(button);
            py::object column = s.QVBoxLayout();
            column.attr("addLayout")(row);
            column.attr("addWidget")(table);
            py::object widget = s.QWidget();
            widget.attr("setLayout")(column);
            return widget;
        },
        py::arg("dict_prop"), SIGNATURE("dict_prop_table(dict_prop)") " table with label ");
}
