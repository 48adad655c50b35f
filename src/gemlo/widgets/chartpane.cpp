// Plot panes: PlotBase, the canvas that shows data objects as visuals, and
// ChartPane, the widget that puts a toolbar above one PlotBase.
#include <pybind11/pybind11.h>

#include <memory>

#include "bridge/pyclass.hpp"

namespace py = pybind11;
namespace bridge = gemlo::bridge;
using namespace py::literals;

namespace {

// Everything the module needs from Python, bound once at import.
struct State {
    py::object Qt, QSize, QWidget, QHBoxLayout, QMessageBox, VispyCanvas;
    py::object tr, create_toolbutton, create_toolbutton_help, create_module_layout, logger;
    py::module_ ima, sys;
    py::object PlotBase;
};

void define_plotbase(py::module_ &m, const std::shared_ptr<State> &state) {
    py::dict ns;
    ns["NAME"] = state->tr("chart pane");
    py::object cls = bridge::define_class(
        m, "PlotBase", py::make_tuple(state->VispyCanvas),
        "2-D plot canvas: shows data objects through the visuals they make for it.", ns);
    state->PlotBase = cls;

    bridge::def(
        cls, "__init__",
        [state](py::object self, py::object parent, py::object name) {
            state->VispyCanvas.attr("__init__")(self, "parent"_a = parent, "name"_a = name);
            // Plotting a line is what makes the cell set up its 2-D camera and view;
            // the line itself is not wanted.
            py::object cell = self.attr("canvas00");
            py::list points;
            points.append(py::make_tuple(0, 0));
            points.append(py::make_tuple(1, 1));
            cell.attr("plot")(points);
            py::object visuals = cell.attr("visuals");
            visuals[py::int_(0)].attr("parent") = py::none();
            visuals.attr("pop")(0);
            self.attr("camera") = cell.attr("camera");
            self.attr("view") = cell.attr("view");
            self.attr("aspect_method") = py::str("Equal");
            self.attr("aspect_ratio") = py::float_(1.0);
        },
        py::arg("parent") = py::none(), py::arg("name") = py::none(),
        "Build the canvas with an empty, configured 2-D cell and equal axes.");

    bridge::def_property(
        cls, "aspect_ratio", [](py::object self) { return self.attr("camera").attr("aspect"); },
        [](py::object self, py::object value) { self.attr("camera").attr("aspect") = value; },
        "The camera's aspect ratio (None: axes scaled independently).");

    bridge::def_property(
        cls, "state",
        [](py::object self) {
            py::dict state;
            state["aspect_method"] = self.attr("aspect_method");
            state["aspect_ratio"] = self.attr("camera").attr("aspect");
            state["bgcolor"] = self.attr("bgcolor").attr("rgba");
            return state;
        },
        [](py::object self, py::object mapping) {
            // Only the keys present are restored, in this order.
            py::str method("aspect_method"), ratio("aspect_ratio"), bgcolor("bgcolor");
            if (mapping.contains(method)) self.attr("aspect_method") = mapping[method];
            if (mapping.contains(ratio)) self.attr("aspect_ratio") = mapping[ratio];
            if (mapping.contains(bgcolor)) self.attr("bgcolor") = mapping[bgcolor];
        },
        "What is saved with the viewer: aspect method, aspect ratio, background colour.");

    bridge::def(
        cls, "add_item_agent",
        [state](py::object self, py::object dob) {
            py::object name = self.attr("_name");
            if (!py::bool_(dob.attr("viewable_in_plot"))) {
                state->logger.attr("warning")(
                    py::str("{} cannot display {}").format(name, dob.attr("name")));
                return;
            }
            state->logger.attr("info")(py::str("{} is adding {}").format(name, dob.attr("name")));
            // A data object makes its visual for a pane once and keeps it.
            if (!dob.attr("visuals_in_plot").contains(name)) {
                dob.attr("make_visuals_in_plot")("parent"_a = name);
            }
            py::object item = dob.attr("visuals_in_plot")[name];
            self.attr("add_item")(item);
            self.attr("save_display_state")(dob.attr("name"), "object", "self", true);
        },
        py::arg("dob"), "Show the data object `dob` in this pane.");

    bridge::def(
        cls, "add_item",
        [](py::object self, py::object item) {
            self.attr("view").attr("add")(item);
            self.attr("canvas").attr("visuals").attr("append")(item);
            self.attr("camera").attr("set_range")();
        },
        py::arg("item"), "Put one visual into the scene and fit the camera to the scene.");

    bridge::def(
        cls, "remove_item_agent",
        [state](py::object self, py::object dob) {
            py::object name = self.attr("_name");
            py::object object_name = dob.attr("name");
            py::object dp_state = self.attr("dpState");
            if (!dp_state.contains(object_name)) return;
            py::object entry = dp_state[object_name];
            if (!entry.contains("object")) return;
            py::object flags = entry["object"];
            // A record without the flag means the object was never shown here.
            if (!flags.contains("self") || !py::bool_(flags["self"])) return;
            state->logger.attr("info")(py::str("{} is removing {}").format(name, object_name));
            try {
                py::object item = dob.attr("visuals_in_plot")[name];
                self.attr("remove_item")(item);
            } catch (py::error_already_set &e) {
                if (!e.matches(PyExc_ValueError)) throw;
                // The canvas already let go of the visual: the object is not shown either way.
                state->sys.attr("stdout").attr("write")(
                    py::str("Ignore {}\n").format(py::str(e.value())));
            }
            self.attr("save_display_state")(object_name, "object", "self", false);
        },
        py::arg("dob"), "Take the data object `dob` out of this pane.");
}

void define_chartpane(py::module_ &m, const std::shared_ptr<State> &state) {
    py::object cls =
        bridge::define_class(m, "ChartPane", py::make_tuple(state->QWidget),
                             "2-D plot viewer: a PlotBase under a row of tool buttons.");

    bridge::def(
        cls, "__init__",
        [state](py::object self, py::object parent, py::object options_button, py::object name) {
            const State &s = *state;
            s.QWidget.attr("__init__")(self, parent);
            self.attr("parent") = parent;
            self.attr("base") = s.PlotBase("parent"_a = self, "name"_a = name);

            py::object row = s.QHBoxLayout();
            for (py::handle button : self.attr("setup_buttons")()) {
                button.attr("setIconSize")(s.QSize(16, 16));
                row.attr("addWidget")(button);
            }
            if (!options_button.is_none()) {
                row.attr("addStretch")();
                row.attr("addWidget")(options_button, "alignment"_a = s.Qt.attr("AlignRight"));
            }
            self.attr("setLayout")(s.create_module_layout(row, self.attr("base")));
            self.attr("base").attr("canvas").attr("show")();
        },
        py::arg("parent") = py::none(), py::arg("options_button") = py::none(),
        py::arg("name") = py::none(),
        "Build the pane; its canvas is named `name`, `options_button` goes to the right end.");

    bridge::def(
        cls, "setup_buttons",
        [state](py::object self) {
            const State &s = *state;
            py::object base = self.attr("base");
            auto icon = [&](const char *name) { return s.ima.attr("icon")(name); };
            py::object hide_all_btn =
                s.create_toolbutton(self, "icon"_a = icon("hide_all"), "tip"_a = s.tr("Hide all"),
                                    "shortcut"_a = "Ctrl+L", "triggered"_a = base.attr("hide_all"));
            self.attr("pick_btn") = s.create_toolbutton(
                self, "icon"_a = icon("pick_mode"), "tip"_a = s.tr("Pick mode"), "shortcut"_a = "P",
                "toggled"_a = base.attr("toggle_pick_mode"));
            py::object color_btn = s.create_toolbutton(
                self, "icon"_a = icon("bkgd_color"), "tip"_a = s.tr("Background color"),
                "triggered"_a = base.attr("set_background_color"));
            py::object export_btn = s.create_toolbutton(self, "icon"_a = icon("photo"),
                                                        "tip"_a = s.tr("Export canvas to picture"),
                                                        "triggered"_a = base.attr("export_canvas"));
            py::object help_btn =
                s.create_toolbutton_help(self, "triggered"_a = self.attr("show_help"));
            return py::make_tuple(hide_all_btn, self.attr("pick_btn"), color_btn, export_btn,
                                  help_btn);
        },
        "Return the buttons of the row: hide all, pick mode, background colour, export, help.");

    bridge::def(
        cls, "show_help",
        [state](py::object self) {
            state->QMessageBox.attr("information")(self, state->tr("How to use"),
                                                   self.attr("base").attr("HELP"));
        },
        "Show how to use the canvas.");
}

}  // namespace

PYBIND11_MODULE(chartpane, m) {
    py::options options;
    options.disable_function_signatures();
    m.doc() = "Plot panes: a 2-D canvas that shows data objects, and the pane around it.";

    auto state = std::make_shared<State>();
    State &s = *state;
    s.Qt = bridge::bind(m, "qtpy.QtCore", "Qt");
    s.QSize = bridge::bind(m, "qtpy.QtCore", "QSize");
    s.QWidget = bridge::bind(m, "qtpy.QtWidgets", "QWidget");
    s.QHBoxLayout = bridge::bind(m, "qtpy.QtWidgets", "QHBoxLayout");
    s.QMessageBox = bridge::bind(m, "qtpy.QtWidgets", "QMessageBox");
    s.VispyCanvas = bridge::bind(m, "gemlo.widgets.vispy_canvas", "VispyCanvas");
    s.tr = bridge::bind(m, "gemlo.config.base", "_");
    s.ima = bridge::bind_module(m, "gemlo.utils.icon_manager", "ima");
    s.create_toolbutton = bridge::bind(m, "gemlo.utils.qthelpers", "create_toolbutton");
    s.create_toolbutton_help = bridge::bind(m, "gemlo.utils.qthelpers", "create_toolbutton_help");
    s.create_module_layout = bridge::bind(m, "gemlo.utils.qthelpers", "create_module_layout");
    s.logger = bridge::bind(m, "gemlo.utils.logger", "logger");
    s.sys = bridge::bind_module(m, "sys", "sys");

    define_plotbase(m, state);
    define_chartpane(m, state);
}
