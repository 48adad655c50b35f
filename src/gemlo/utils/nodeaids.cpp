// Buds: the actions of the data tree. Most open one of the host's editing
// dialogs and wire its start signal to the tree; the property calculator runs
// scripts on property arrays, and the style editor remembers its size and page.
#include <pybind11/pybind11.h>

#include <memory>
#include <string>
#include <vector>

#include "bridge/pyclass.hpp"
#include "core/scriptrewrite.hpp"

namespace py = pybind11;
namespace bridge = gemlo::bridge;

namespace {

// Everything the module needs from Python, bound once at import.
struct State {
    py::object ColorbarEditor, CameraOperatorDialog, PropertyOperatorDialog, RenameObjectDialog,
        CopyObjectDialog, RemoveObjectDialog, RenamePropertyDialog, RemovePropertyDialog,
        CreatePropertyDialog, ConfigDialog;
    py::object compile, exec;
    py::dict globals;  // the module's own namespace, in which property scripts run
};

// What a dialog action does between creating its dialog and showing it.
enum class Step { GrabObject, LoadProperty, LoadFromViewer, ConnectTree, ConnectOwn };

struct Action {
    const char *name;
    py::object State::*dialog;
    std::vector<Step> steps;
    const char *slot = nullptr;  // the method that sig_start is connected to
};

void define_action(py::object cls, const std::shared_ptr<State> &state, const Action &action) {
    std::string slot = action.slot ? action.slot : "";
    bridge::def(cls, action.name,
                [state, dialog_class = action.dialog, steps = action.steps, slot](py::object self) {
                    py::object base = self.attr("base");
                    // No reference is kept: the dialog lives as the tree's child.
                    py::object dialog = (state.get()->*dialog_class)(base);
                    for (Step step : steps) {
                        switch (step) {
                            case Step::GrabObject:
                                dialog.attr("grab_object_rc")();
                                break;
                            case Step::LoadProperty:
                                dialog.attr("load_property")();
                                break;
                            case Step::LoadFromViewer:
                                dialog.attr("load_from_viewer")();
                                break;
                            case Step::ConnectTree:
                                dialog.attr("sig_start").attr("connect")(base.attr(slot.c_str()));
                                break;
                            case Step::ConnectOwn:
                                dialog.attr("sig_start").attr("connect")(self.attr(slot.c_str()));
                                break;
                        }
                    }
                    dialog.attr("show")();
                });
}

void property_operation(const State &s, py::object self, py::object object_name,
                        py::object script) {
    py::object dob = self.attr("base").attr("object_data")[object_name];
    self.attr("dob") = dob;
    if (!py::isinstance<py::str>(script)) {
        throw py::type_error("the script must be a string, not " +
                             std::string(py::str(py::type::of(script).attr("__name__"))));
    }
    std::vector<std::string> names;
    for (py::handle key : py::list(dob.attr("prop"))) {
        if (!py::isinstance<py::str>(key)) {
            throw py::type_error("property names must be strings, got " +
                                 std::string(py::repr(key)));
        }
        names.push_back(key.cast<std::string>());
    }
    std::string text = gemlo::core::rewrite_property_script(script.cast<std::string>(), names);
    py::dict locals;
    locals["self"] = self;
    s.exec(s.compile(py::str(text), "<property script>", "exec"), s.globals, locals);
}

}  // namespace

PYBIND11_MODULE(nodeaids, m) {
    py::options options;
    options.disable_function_signatures();
    m.doc() = "\nConvenient class to offload methods in data tree base class\n";

    auto state = std::make_shared<State>();
    State &s = *state;
    s.ColorbarEditor = bridge::bind(m, "gemlo.dialogs.colorbar_editor", "ColorbarEditor");
    s.CameraOperatorDialog =
        bridge::bind(m, "gemlo.dialogs.camera_operator", "Dialog", "CameraOperatorDialog");
    const char *dialogs = "gemlo.widgets.dialogs";
    s.PropertyOperatorDialog = bridge::bind(m, dialogs, "PropertyOperatorDialog");
    s.RenameObjectDialog = bridge::bind(m, dialogs, "RenameObjectDialog");
    s.CopyObjectDialog = bridge::bind(m, dialogs, "CopyObjectDialog");
    s.RemoveObjectDialog = bridge::bind(m, dialogs, "RemoveObjectDialog");
    s.RenamePropertyDialog = bridge::bind(m, dialogs, "RenamePropertyDialog");
    s.RemovePropertyDialog = bridge::bind(m, dialogs, "RemovePropertyDialog");
    s.CreatePropertyDialog = bridge::bind(m, dialogs, "CreatePropertyDialog");
    s.ConfigDialog = bridge::bind(m, dialogs, "ConfigDialog");
    py::module_ builtins = py::module_::import("builtins");
    s.compile = builtins.attr("compile");
    s.exec = builtins.attr("exec");
    s.globals = m.attr("__dict__");

    py::object cls =
        bridge::define_class(m, "Buds", py::make_tuple(builtins.attr("object")), nullptr);

    bridge::def(
        cls, "__init__",
        [](py::object self, py::object treebase) {
            self.attr("base") = treebase;
            self.attr("main") = treebase.attr("main");
            self.attr("dob") = py::none();
            self.attr("bgRunners") = py::list();
            self.attr("prefs_index") = py::none();
            self.attr("prefs_dialog_size") = py::none();
        },
        py::arg_v("treebase", py::none()));

    using S = Step;
    const Action actions[] = {
        {"open_colorbar_editor", &State::ColorbarEditor, {}},
        {"open_colorbar_editor_rc", &State::ColorbarEditor, {S::GrabObject, S::LoadProperty}},
        {"open_camera_operator", &State::CameraOperatorDialog, {S::LoadFromViewer}},
        {"open_property_operator",
         &State::PropertyOperatorDialog,
         {S::ConnectOwn},
         "property_operation"},
        {"open_rename_object", &State::RenameObjectDialog, {S::ConnectTree}, "rename_object"},
        {"open_copy_object", &State::CopyObjectDialog, {S::ConnectTree}, "copy_object"},
        {"open_remove_object",
         &State::RemoveObjectDialog,
         {S::ConnectTree},
         "remove_object_worker"},
        {"open_rename_property", &State::RenamePropertyDialog, {S::ConnectTree}, "rename_property"},
        {"open_remove_property", &State::RemovePropertyDialog, {S::ConnectTree}, "remove_property"},
        {"open_create_property", &State::CreatePropertyDialog, {S::ConnectTree}, "create_property"},
        {"create_property_rc",
         &State::CreatePropertyDialog,
         {S::GrabObject, S::ConnectTree},
         "create_property"},
        {"rename_object_rc",
         &State::RenameObjectDialog,
         {S::GrabObject, S::ConnectTree},
         "rename_object"},
        {"copy_object_rc",
         &State::CopyObjectDialog,
         {S::GrabObject, S::ConnectTree},
         "copy_object"},
    };
    for (const Action &action : actions) define_action(cls, state, action);

    bridge::def(
        cls, "property_operation",
        [state](py::object self, py::object object_name, py::object script) {
            property_operation(*state, self, object_name, script);
        },
        py::arg("object_name"), py::arg("script"));

    bridge::def(
        cls, "open_style_editor",
        [state](py::object self, py::object dob) {
            py::object dialog = state->ConfigDialog(self.attr("base"), dob.attr("name"));
            dialog.attr("size_change").attr("connect")(self.attr("set_prefs_size"));
            py::object size = self.attr("prefs_dialog_size");
            if (!size.is_none()) dialog.attr("resize")(size);
            for (py::handle factory : dob.attr("style_pages")) {
                py::object page = factory(dialog);
                page.attr("initialize")();
                dialog.attr("add_page")(page);
            }
            py::object index = self.attr("prefs_index");
            if (!index.is_none()) dialog.attr("set_current_index")(index);
            dialog.attr("show")();
            // Connected only now, so that only the user's own page changes are remembered.
            dialog.attr("pages_widget")
                .attr("currentChanged")
                .attr("connect")(self.attr("_Buds__preference_page_changed"));
            dialog.attr("exec_")();
        },
        py::arg("dob"), " ");

    bridge::def(
        cls, "open_style_editor_rc",
        [](py::object self) {
            py::object base = self.attr("base");
            py::object key = base.attr("itemRightClicked").attr("text")(0);
            self.attr("open_style_editor")(base.attr("object_data")[key]);
        },
        " by right click ");

    bridge::def(
        cls, "set_prefs_size",
        [](py::object self, py::object size) { self.attr("prefs_dialog_size") = size; },
        py::arg("size"), "Save preferences dialog size");

    bridge::def(
        cls, "_Buds__preference_page_changed",
        [](py::object self, py::object index) { self.attr("prefs_index") = index; },
        py::arg("index"), "Preference page index has changed");
    py::object private_slot = cls.attr("_Buds__preference_page_changed");
    private_slot.attr("__name__") = "__preference_page_changed";
    private_slot.attr("__qualname__") = "Buds.__preference_page_changed";
}
