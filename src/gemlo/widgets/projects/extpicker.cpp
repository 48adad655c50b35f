// ExtPicker: the settings page on which external modules are switched on and
// off, shown as a tree of check boxes with one item per group.
#include <pybind11/pybind11.h>

#include <memory>

#include "bridge/pyclass.hpp"

namespace py = pybind11;
namespace bridge = gemlo::bridge;

namespace {

// Everything the module needs from Python, bound once at import.
struct State {
    py::object Signal, Qt, QTreeWidget, QTreeWidgetItem, QApplication;
    py::object LumoDialog, tr, logger, defaults, deepcopy, sorted;
    py::object ExtPicker;
    py::object group_role;  // where a group item keeps its untranslated group name
};

void define_extpicker(py::module_ &m, const std::shared_ptr<State> &state) {
    const State &s = *state;
    py::dict ns;
    ns["NAME"] = s.tr("Extpicker");
    // `object`, not `dict`: a dict signal goes through a QVariantMap copy, and
    // receivers must get the page's live dictionary.
    ns["sigExtModules"] = s.Signal(py::module_::import("builtins").attr("object"));
    py::object cls = bridge::define_class(
        m, "ExtPicker", py::make_tuple(s.LumoDialog),
        "Page on which the external modules are switched on and off, by group.\n\n"
        "Every change of a check box is written into `extmodules` at once;\n"
        "apply() logs the selection and emits it in sigExtModules.",
        ns);

    bridge::def(
        cls, "__init__",
        [state](py::object self, py::object parent, py::object test) {
            state->LumoDialog.attr("__init__")(self, parent);
            self.attr("setup_page")();
            if (py::bool_(test)) {
                self.attr("add_items")();
                self.attr("treeWidget").attr("expandAll")();
            }
        },
        py::arg_v("parent", py::none()), py::arg_v("test", false));

    bridge::def(
        cls, "setup_page",
        [state](py::object self) {
            py::object tree = state->QTreeWidget(self);
            self.attr("treeWidget") = tree;
            tree.attr("setHeaderHidden")(true);
            tree.attr("itemChanged").attr("connect")(self.attr("check_changed"));
            py::object layout = self.attr("layout");
            layout.attr("addWidget")(tree);
            layout.attr("addWidget")(self.attr("create_action")());
        },
        "Build the tree of check boxes and the page's controls below it.");

    bridge::def(
        cls, "add_items",
        [state](py::object self, py::object defaults) {
            const State &s = *state;
            py::object selection = defaults.is_none() ? s.deepcopy(s.defaults) : defaults;
            self.attr("extmodules") = selection;
            py::object tree = self.attr("treeWidget");
            py::object Qt = s.Qt;
            py::object group_flags = Qt.attr("ItemIsAutoTristate") | Qt.attr("ItemIsUserCheckable");
            py::object module_flag = Qt.attr("ItemIsUserCheckable");
            py::str true_text("True");
            py::object last_group = py::none();
            py::object group_item = py::none();
            for (py::handle key : s.sorted(selection)) {
                py::list parts = py::reinterpret_borrow<py::object>(key).attr("split")("/");
                if (py::len(parts) != 2) {
                    throw py::value_error(
                        py::str("External module key {!r} is not 'group/module' (exactly one '/')")
                            .format(key));
                }
                // Read first: creating the item writes into the dictionary.
                py::object value = selection[key];
                bool on = PyUnicode_CheckExact(value.ptr()) && value.equal(true_text);
                py::object group = parts[0], name = parts[1];
                if (!group.equal(last_group)) {
                    group_item = s.QTreeWidgetItem(tree);
                    group_item.attr("setText")(0, s.tr(group));
                    group_item.attr("setData")(0, s.group_role, group);
                    group_item.attr("setFlags")(group_item.attr("flags")() | group_flags);
                    last_group = group;
                }
                py::object item = s.QTreeWidgetItem(group_item);
                item.attr("setText")(0, name);
                item.attr("setFlags")(item.attr("flags")() | module_flag);
                item.attr("setCheckState")(0, on ? Qt.attr("Checked") : Qt.attr("Unchecked"));
            }
        },
        py::arg_v("defaults", py::none()), "\n-i- defaults : dict, current selection of modules\n");

    bridge::def(
        cls, "check_changed",
        [state](py::object self, py::object item, py::object column) {
            const State &s = *state;
            py::object name = item.attr("text")(column);
            py::object parent = item.attr("parent")();
            if (parent.is_none()) return;  // a group item: its modules report for it
            py::object group = parent.attr("data")(0, s.group_role);
            py::object key = py::str("{}/{}").format(group, name);
            py::object checked = item.attr("checkState")(column);
            if (checked.equal(s.Qt.attr("Checked"))) {
                self.attr("extmodules")[key] = true;
            } else if (checked.equal(s.Qt.attr("Unchecked"))) {
                self.attr("extmodules")[key] = false;
            }
        },
        py::arg("item"), py::arg("column"), "Record a module item's check state in extmodules.");

    bridge::def(
        cls, "apply",
        [state](py::object self) {
            py::object selection = self.attr("extmodules");
            state->logger.attr("info")(py::str("External modules: {}").format(selection));
            self.attr("sigExtModules").attr("emit")(selection);
        },
        "Log the selection and emit it, the live dictionary, in sigExtModules.");

    state->ExtPicker = cls;
}

}  // namespace

PYBIND11_MODULE(extpicker, m) {
    m.doc() = "The page on which the user switches external modules on and off.";

    auto state = std::make_shared<State>();
    State &s = *state;
    s.Signal = bridge::bind(m, "qtpy.QtCore", "Signal");
    s.Qt = bridge::bind(m, "qtpy.QtCore", "Qt");
    s.QTreeWidget = bridge::bind(m, "qtpy.QtWidgets", "QTreeWidget");
    s.QTreeWidgetItem = bridge::bind(m, "qtpy.QtWidgets", "QTreeWidgetItem");
    s.QApplication = bridge::bind(m, "qtpy.QtWidgets", "QApplication");
    s.LumoDialog = bridge::bind(m, "gemlo.widgets.lumodialog", "LumoDialog");
    s.tr = bridge::bind(m, "gemlo.config.base", "_");
    s.logger = bridge::bind(m, "gemlo.utils.logger", "logger");
    s.defaults = bridge::bind(m, "gemlo.widgets.projects.config", "EXTMODULES_DEFAULTS_DICT");
    s.deepcopy = bridge::bind(m, "copy", "deepcopy");
    s.sorted = py::module_::import("builtins").attr("sorted");
    s.group_role = s.Qt.attr("UserRole");

    define_extpicker(m, state);

    m.def(
        "main",
        [state]() {
            py::object app = state->QApplication(py::list());
            py::object page = state->ExtPicker(py::arg("test") = true);
            page.attr("show")();
            app.attr("exec_")();
        },
        "Show the page with the default selection in an application of its own.");
}
