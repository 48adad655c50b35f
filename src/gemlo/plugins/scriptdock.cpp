// ScriptDock: the plugin that docks one script console in the main window and
// has the main window run the console's scripts.
#include <pybind11/pybind11.h>

#include <memory>

#include "bridge/pyclass.hpp"

namespace py = pybind11;
namespace bridge = gemlo::bridge;
using namespace py::literals;

namespace {

struct State {
    py::object LumoPluginWidget, Terminal, QVBoxLayout, tr;
};

}  // namespace

PYBIND11_MODULE(scriptdock, m) {
    py::options options;
    options.disable_function_signatures();
    m.doc() = "Scriptdock plugin";

    auto state = std::make_shared<State>();
    state->tr = bridge::bind(m, "gemlo.config.base", "_");
    state->QVBoxLayout = bridge::bind(m, "qtpy.QtWidgets", "QVBoxLayout");
    state->LumoPluginWidget = bridge::bind(m, "gemlo.plugins.base", "LumoPluginWidget");
    state->Terminal = bridge::bind(m, "gemlo.widgets.terminal", "Terminal");

    py::dict ns;
    ns["CONF_SECTION"] = "scriptdock";
    py::object cls = bridge::define_class(m, "ScriptDock", py::make_tuple(state->LumoPluginWidget),
                                          "Scriptdock DockWidget.", ns);

    bridge::def(
        cls, "__init__",
        [state](py::object self, py::object parent) {
            state->LumoPluginWidget.attr("__init__")(self, parent);
            self.attr("initialize_plugin")();
            self.attr("terminal") =
                state->Terminal(self, "options_button"_a = self.attr("options_button"));
            py::object layout = state->QVBoxLayout();
            layout.attr("setContentsMargins")(0, 0, 0, 0);  // the dock frames the console already
            layout.attr("addWidget")(self.attr("terminal"));
            self.attr("setLayout")(layout);
        },
        py::arg("parent"), "Initialization.");

    bridge::def(
        cls, "get_plugin_title", [state](py::object) { return state->tr("Scriptdock"); },
        "Return widget title");

    bridge::def(
        cls, "get_focus_widget", [](py::object self) { return self.attr("terminal"); },
        "Return the widget to give focus to when\nthis plugin's dockwidget is raised on top-level");

    bridge::def(
        cls, "get_plugin_actions", [](py::object) { return py::list(); },
        "Return a list of actions related to plugin");

    bridge::def(
        cls, "register_plugin",
        [](py::object self) {
            py::object main = self.attr("main");
            main.attr("add_dockwidget")(self);
            py::object terminal = self.attr("terminal");
            terminal.attr("set_work_dir")(main.attr("workdir"));
            terminal.attr("sigRunScript").attr("connect")(main.attr("run_script"));
        },
        "Register plugin in the main window");

    bridge::def(
        cls, "refresh_plugin", [](py::object, py::object, py::object) {},
        py::arg("new_path") = py::none(), py::arg("force_current") = true, "Refresh log widget");

    bridge::def(
        cls, "closing_plugin", [](py::object, py::object) { return true; },
        py::arg("cancelable") = false, "Perform actions before parent main window is closed");
}
