// PaneDeck: the tab widget holding the application's viewers, one per tab,
// made on request by drawing library and number of dimensions.
#include <pybind11/pybind11.h>

#include <memory>

#include "bridge/pyclass.hpp"

namespace py = pybind11;
namespace bridge = gemlo::bridge;
using namespace py::literals;

namespace {

// Everything the module needs from Python, bound once at import.
struct State {
    py::object Signal, QTabWidget, ChartPane, VispyImage, VispyVolume;
    py::dict lib_code, dim_code, viewers;  // viewers: dim -> class, vispy only
    py::module_ builtins;
};

void define_panedeck(py::module_ &m, const std::shared_ptr<State> &state) {
    py::dict ns;
    ns["sigCurrentViewerChanged"] = state->Signal(state->builtins.attr("dict"));
    py::object cls = bridge::define_class(
        m, "PaneDeck", py::make_tuple(state->QTabWidget),
        "Tabs of viewers, each named by a running number, library code and kind.", ns);

    bridge::def(
        cls, "__init__",
        [state](py::object self, py::object parent, py::object /*options_button*/) {
            state->QTabWidget.attr("__init__")(self, parent);
            self.attr("parent") = parent;
            self.attr("counter") = py::int_(0);
            self.attr("setTabsClosable")(true);
            self.attr("tabCloseRequested").attr("connect")(self.attr("close_tab"));
            self.attr("new_viewer")();
        },
        py::arg("parent") = py::none(), py::arg("options_button") = py::none(),
        "Build the deck with one 3-D volume viewer.");

    bridge::def(
        cls, "new_viewer",
        [state](py::object self, py::object lib, py::object dim, py::object /*sec*/) {
            const State &s = *state;
            // Counted first: a request that fails still uses up its number, so names
            // are never reused.
            self.attr("counter") = py::object(self.attr("counter")) + py::int_(1);
            py::object code = s.lib_code[lib];
            py::object kind = s.dim_code[dim];
            if (!lib.equal(py::str("vispy"))) {
                PyErr_SetObject(PyExc_ValueError, py::str("Unknown library {}").format(lib).ptr());
                throw py::error_already_set();
            }
            py::object name = py::str("_").attr("join")(
                py::make_tuple(py::str(self.attr("counter")), code, kind));
            py::object viewer = s.viewers[dim]("parent"_a = self, "name"_a = name);
            py::object index = self.attr("addTab")(viewer, name);
            self.attr("setCurrentIndex")(index);
        },
        py::arg("lib") = "vispy", py::arg("dim") = 3, py::arg("sec") = "iline",
        "Add a viewer of library `lib` with `dim` dimensions as the new current tab.");

    struct Shortcut {
        const char *name, *lib;
        int dim;
        const char *doc;
    };
    for (const Shortcut &sc : {
             Shortcut{"new_vs_plot", "vispy", 1, "Add a 2-D plot viewer."},
             Shortcut{"new_vs_image", "vispy", 2, "Add a 2-D image viewer."},
             Shortcut{"new_vs_volume", "vispy", 3, "Add a 3-D volume viewer."},
             Shortcut{
                 "new_pg_volume", "pyqtgraph", 3,
                 "Ask for a 3-D volume viewer of pyqtgraph, which has none: always ValueError."},
         }) {
        bridge::def(
            cls, sc.name,
            [lib = sc.lib, dim = sc.dim](py::object self) {
                self.attr("new_viewer")("lib"_a = lib, "dim"_a = dim);
            },
            sc.doc);
    }

    bridge::def(
        cls, "close_tab",
        [](py::object self, py::object index) {
            py::object page = self.attr("widget")(index);
            if (!page.is_none()) {
                // Deleted from the event loop: the tab's own signal handling may still be running.
                page.attr("deleteLater")();
            }
            self.attr("removeTab")(index);
        },
        py::arg("index"), "Close tab from widget");
}

}  // namespace

PYBIND11_MODULE(panedeck, m) {
    py::options options;
    options.disable_function_signatures();
    m.doc() = "Viewer tabs: creates and closes the application's viewers.";

    auto state = std::make_shared<State>();
    State &s = *state;
    s.builtins = py::module_::import("builtins");
    s.Signal = bridge::bind(m, "qtpy.QtCore", "Signal");
    s.QTabWidget = bridge::bind(m, "qtpy.QtWidgets", "QTabWidget");
    s.ChartPane = bridge::bind(m, "gemlo.widgets.chartpane", "ChartPane");
    s.VispyImage = bridge::bind(m, "gemlo.widgets.vispy_image", "VispyImage");
    s.VispyVolume = bridge::bind(m, "gemlo.widgets.vispy_volume", "VispyVolume");

    s.lib_code["vispy"] = "vs";
    s.lib_code["pyqtgraph"] = "pg";
    s.dim_code[py::int_(1)] = "plot";
    s.dim_code[py::int_(2)] = "image";
    s.dim_code[py::int_(3)] = "volume";
    m.attr("LIB_CODE") = s.lib_code;
    m.attr("DIM_CODE") = s.dim_code;
    s.viewers[py::int_(1)] = s.ChartPane;
    s.viewers[py::int_(2)] = s.VispyImage;
    s.viewers[py::int_(3)] = s.VispyVolume;

    define_panedeck(m, state);
}
