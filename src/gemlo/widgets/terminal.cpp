// Terminal: the script console. It edits, loads and saves scripts and hands
// their text out through sigRunScript; whoever is connected runs them.
#include <pybind11/pybind11.h>

#include <filesystem>
#include <memory>
#include <string>

#include "bridge/pyclass.hpp"
#include "core/textfile.hpp"

namespace py = pybind11;
namespace bridge = gemlo::bridge;
using namespace py::literals;

namespace {

constexpr const char *kDefaultText = "# myprint(self.database) \n# myprint(self.treebase)";

// Scripts print through the host's logger: see the help text.
constexpr const char *kPrint2Logger = "from gemlo.utils.functions import myprint \n";

constexpr const char *kHelpText =
    "The scriptdock provides API to the project.<br>"
    "For example, try run myprint(self.database).<br>"
    "Use myprint() instead of print(): the application's modules are built as compiled "
    "extensions, so what print() writes never reaches the application's log.<br>"
    "<b>TODO</b> add more.<br>";

// Everything the module needs from Python, bound once at import.
struct State {
    py::object Signal, QSize, Qt, QWidget, QLabel, QLineEdit, QFormLayout, QVBoxLayout, QHBoxLayout,
        QPlainTextEdit, QFileDialog, QMessageBox, QApplication;
    py::object tr, create_toolbutton, create_toolbutton_help, create_module_layout,
        PythonHighlighter, logger;
    py::module_ ima, os, sys, locale, builtins;
    py::dict globals;  // the module's own namespace, for the deprecated local run
    py::object Terminal;
};

py::object start_dir(const State &s, py::handle self) {
    return py::hasattr(self, "workdir") ? self.attr("workdir") : s.os.attr("getcwd")();
}

// Asks for a path with the file dialog `getter` of QFileDialog, looked up at
// call time, starting where the console starts its dialogs. The binding's
// dialogs return (path, selected filter); a cancelled dialog gives "".
py::object ask_path(const State &s, py::handle self, const char *getter, const char *title) {
    py::object result = s.QFileDialog.attr(getter)(self, title, start_dir(s, self));
    if (py::isinstance<py::tuple>(result) || py::isinstance<py::list>(result)) {
        return result[py::int_(0)];
    }
    return result;
}

py::str reason_of(const py::error_already_set &e) {
    if (e.matches(PyExc_OSError)) {
        py::object text = e.value().attr("strerror");
        if (!text.is_none()) return py::str(text);
    }
    return py::str(e.value());
}

// Users rarely watch the log, so a failure also gets a box.
void warn(const State &s, py::handle self, const char *title, const char *log_text,
          const char *box_text, py::handle path, py::handle reason) {
    s.logger.attr("warning")(py::str(log_text).format(path, reason));
    s.QMessageBox.attr("warning")(self, s.tr(title), s.tr(box_text).attr("format")(path, reason));
}

// The whole file as text, read the way Python's open() reads it (platform
// encoding, universal newlines); None when it cannot be read, after saying why.
py::object read_text(const State &s, py::handle self, py::handle path, const char *title) {
    // A pipe or a device would block the GUI or never end: only regular files are read.
    py::object ospath = s.os.attr("path");
    if (ospath.attr("exists")(path).cast<bool>() && !ospath.attr("isfile")(path).cast<bool>()) {
        warn(s, self, title, "Terminal: cannot read {!r}: {}", "Cannot read {}:\n{}", path,
             s.tr("not a regular file"));
        return py::none();
    }
    try {
        py::object file = s.builtins.attr("open")(path);
        try {
            py::object text = file.attr("read")();
            file.attr("close")();
            return text;
        } catch (py::error_already_set &) {
            file.attr("close")();
            throw;
        }
    } catch (py::error_already_set &e) {
        // UnicodeDecodeError and a NUL in the path are ValueErrors.
        if (!e.matches(PyExc_OSError) && !e.matches(PyExc_ValueError)) throw;
        warn(s, self, title, "Terminal: cannot read {!r}: {}", "Cannot read {}:\n{}", path,
             reason_of(e));
        return py::none();
    }
}

// Replaces the file at `path` with the editor's text, or leaves it as it was
// after saying why it cannot.
void write_text(const State &s, py::handle self, py::handle path) {
    auto cannot_write = [&](py::handle reason) {
        warn(s, self, "Save file", "Terminal: cannot write {!r}: {}", "Cannot write {}:\n{}", path,
             reason);
    };
    // Encoded as a text-mode file would write it; a text that does not fit
    // the encoding is refused before the target is touched.
    std::string bytes, native;
    try {
        py::object text = self.attr("code_view").attr("toPlainText")();
        py::object linesep = s.os.attr("linesep");
        if (!linesep.equal(py::str("\n"))) text = text.attr("replace")("\n", linesep);
        bytes = py::bytes(text.attr("encode")(s.locale.attr("getpreferredencoding")(false)));
        native = py::bytes(s.os.attr("fsencode")(path));
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ValueError)) throw;
        cannot_write(reason_of(e));
        return;
    }
    if (native.find('\0') != std::string::npos) {
        cannot_write(py::str("embedded null byte"));
        return;
    }
    std::string failure;
    {
        py::gil_scoped_release nogil;
        try {
            gemlo::core::write_file_atomically(native, bytes);
        } catch (const std::filesystem::filesystem_error &e) {
            failure = e.code().message();
        }
    }
    if (!failure.empty()) cannot_write(py::str(failure));
}

// The console's widgets: file fields, editor and highlighter, in the module layout.
void define_widgets(py::object cls, const std::shared_ptr<State> &state) {
    bridge::def(
        cls, "__init__",
        [state](py::object self, py::object parent, py::object options_button) {
            const State &s = *state;
            s.QWidget.attr("__init__")(self, parent);
            self.attr("setup_mainwidget")();

            py::object row = s.QHBoxLayout();
            for (py::handle button : self.attr("setup_buttons")()) {
                button.attr("setIconSize")(s.QSize(16, 16));
                row.attr("addWidget")(button);
            }
            if (!options_button.is_none()) {
                row.attr("addStretch")();
                row.attr("addWidget")(options_button, "alignment"_a = s.Qt.attr("AlignRight"));
            }
            self.attr("setLayout")(s.create_module_layout(row, self.attr("mainwidget")));
        },
        py::arg("parent") = py::none(), py::arg("options_button") = py::none(),
        "Build the console; `options_button` goes to the right end of the button row.");

    bridge::def(
        cls, "setup_mainwidget",
        [state](py::object self) {
            const State &s = *state;
            py::object run_label = s.QLabel("Run File");
            self.attr("lineRunFile") = s.QLineEdit();
            py::object open_label = s.QLabel("Open File");
            self.attr("lineOpenFile") = s.QLineEdit();

            py::object form = s.QFormLayout();
            form.attr("addRow")(run_label, self.attr("lineRunFile"));
            form.attr("addRow")(open_label, self.attr("lineOpenFile"));

            self.attr("code_view") = s.QPlainTextEdit(kDefaultText, self);
            py::object column = s.QVBoxLayout();
            column.attr("setContentsMargins")(0, 0, 0,
                                              0);  // the module layout has margins of its own
            column.attr("addLayout")(form);
            column.attr("addWidget")(self.attr("code_view"));

            self.attr("mainwidget") = s.QWidget(self);
            self.attr("mainwidget").attr("setLayout")(column);

            py::object code_view = self.attr("code_view");
            self.attr("pyhigh") = s.PythonHighlighter(code_view.attr("document")());
            code_view.attr("textChanged").attr("connect")(self.attr("highlightWhileTyping"));
        },
        "Build the file fields, the editor and its highlighter.");

    bridge::def(
        cls, "highlightWhileTyping",
        [](py::object self) {
            self.attr("pyhigh").attr("highlightBlock")(
                self.attr("code_view").attr("toPlainText")());
        },
        "Re-colour the editor's text.");
}

// The row of buttons and the help they offer.
void define_buttons(py::object cls, const std::shared_ptr<State> &state) {
    bridge::def(
        cls, "setup_buttons",
        [state](py::object self) {
            const State &s = *state;
            auto button = [&](const char *icon, const char *tip, py::object shortcut,
                              const char *slot) {
                return s.create_toolbutton(self, "icon"_a = s.ima.attr("icon")(icon),
                                           "tip"_a = s.tr(tip), "shortcut"_a = shortcut,
                                           "triggered"_a = self.attr(slot));
            };
            py::object openfile_btn =
                button("fileopen", "Open file", py::str("Ctrl+O"), "open_file");
            py::object savefile_btn =
                button("filesave", "Save to new file", py::str("Ctrl+S"), "save_file");
            py::object runfile_btn = button("run_file", "Run code in file", py::none(), "run_file");
            py::object run_btn =
                button("run", "Run code in view", py::str("Ctrl+R"), "emit_script");
            py::object help_btn =
                s.create_toolbutton_help(self, "triggered"_a = self.attr("show_help"));
            return py::make_tuple(openfile_btn, savefile_btn, runfile_btn, run_btn, help_btn);
        },
        "Return the buttons of the row: open, save, run file, run, help.");

    bridge::def(
        cls, "show_help",
        [state](py::object self) {
            state->QMessageBox.attr("information")(self, state->tr("How to use"),
                                                   state->tr(kHelpText));
        },
        "Show how to use the console.");
}

// Running, opening and saving files, and where the file dialogs start.
void define_file_actions(py::object cls, const std::shared_ptr<State> &state) {
    bridge::def(
        cls, "run_file",
        [state](py::object self) {
            const State &s = *state;
            py::object path = self.attr("lineRunFile").attr("text")();
            if (!py::bool_(path)) {
                s.logger.attr("warning")(
                    "Terminal: no file to run: the \"Run File\" field is empty");
                s.QMessageBox.attr("warning")(
                    self, s.tr("Run code in file"),
                    s.tr("Type the path of the script to run into the \"Run File\" field."));
                return;
            }
            py::object text = read_text(s, self, path, "Run code in file");
            if (text.is_none()) return;
            self.attr("sigRunScript").attr("emit")(text);
        },
        "Hand out the text of the file named in the \"Run File\" field, unchanged.");

    bridge::def(
        cls, "open_file",
        [state](py::object self) {
            const State &s = *state;
            py::object path = ask_path(s, self, "getOpenFileName", "Open File");
            if (!py::bool_(path)) return;
            self.attr("lineOpenFile").attr("setText")(path);
            py::object text = read_text(s, self, path, "Open file");
            if (text.is_none()) return;
            self.attr("code_view").attr("setPlainText")(text);
        },
        "Load a file chosen by the user into the editor.");

    bridge::def(
        cls, "save_file",
        [state](py::object self) {
            const State &s = *state;
            py::object path = ask_path(s, self, "getSaveFileName", "Save File");
            if (!py::bool_(path)) return;
            write_text(s, self, path);
        },
        "Write the editor's text to a file chosen by the user.");

    bridge::def(
        cls, "set_work_dir",
        [](py::object self, py::object workdir) { self.attr("workdir") = workdir; },
        py::arg("workdir"), "Make `workdir` the start directory of the file dialogs.");
}

// Running the editor's text.
void define_run(py::object cls, const std::shared_ptr<State> &state) {
    bridge::def(
        cls, "emit_script",
        [](py::object self) {
            py::object text = py::str(kPrint2Logger) + self.attr("code_view").attr("toPlainText")();
            self.attr("sigRunScript").attr("emit")(text);
        },
        "Hand out the editor's text, preceded by the import of myprint.");

    bridge::def(
        cls, "run_script",
        [state](py::object self, py::object /*text*/) {
            const State &s = *state;
            py::object text = self.attr("code_view").attr("toPlainText")();
            try {
                s.builtins.attr("eval")(text, s.globals,
                                        py::dict("self"_a = self, "text"_a = text));
            } catch (py::error_already_set &e) {
                if (!e.matches(PyExc_SyntaxError)) throw;
                s.builtins.attr("exec")(text, s.globals, s.globals);
            }
        },
        py::arg("text"),
        "Deprecated: run the editor's text here, with limited access to the application.\n\n"
        "An expression sees `self` (this console); statements run in the module's namespace.");
}

// The class, its signal, and its methods by concern.
void define_terminal(py::module_ &m, const std::shared_ptr<State> &state) {
    py::dict ns;
    ns["sigRunScript"] = state->Signal(state->builtins.attr("str"));
    py::object cls = bridge::define_class(
        m, "Terminal", py::make_tuple(state->QWidget),
        "Script console: an editor whose scripts are run by whoever listens to sigRunScript.", ns);
    state->Terminal = cls;
    define_widgets(cls, state);
    define_buttons(cls, state);
    define_file_actions(cls, state);
    define_run(cls, state);
}

}  // namespace

PYBIND11_MODULE(terminal, m) {
    py::options options;
    options.disable_function_signatures();
    m.doc() = "Script console: edit, load, save and run scripts against the open project.";

    auto state = std::make_shared<State>();
    State &s = *state;
    s.Signal = bridge::bind(m, "qtpy.QtCore", "Signal");
    s.QSize = bridge::bind(m, "qtpy.QtCore", "QSize");
    s.Qt = bridge::bind(m, "qtpy.QtCore", "Qt");
    s.QWidget = bridge::bind(m, "qtpy.QtWidgets", "QWidget");
    s.QLabel = bridge::bind(m, "qtpy.QtWidgets", "QLabel");
    s.QLineEdit = bridge::bind(m, "qtpy.QtWidgets", "QLineEdit");
    s.QFormLayout = bridge::bind(m, "qtpy.QtWidgets", "QFormLayout");
    s.QVBoxLayout = bridge::bind(m, "qtpy.QtWidgets", "QVBoxLayout");
    s.QHBoxLayout = bridge::bind(m, "qtpy.QtWidgets", "QHBoxLayout");
    s.QPlainTextEdit = bridge::bind(m, "qtpy.QtWidgets", "QPlainTextEdit");
    s.QFileDialog = bridge::bind(m, "qtpy.QtWidgets", "QFileDialog");
    s.QMessageBox = bridge::bind(m, "qtpy.QtWidgets", "QMessageBox");
    s.QApplication = bridge::bind(m, "qtpy.QtWidgets", "QApplication");
    s.tr = bridge::bind(m, "gemlo.config.base", "_");
    s.ima = bridge::bind_module(m, "gemlo.utils.icon_manager", "ima");
    s.create_toolbutton = bridge::bind(m, "gemlo.utils.qthelpers", "create_toolbutton");
    s.create_toolbutton_help = bridge::bind(m, "gemlo.utils.qthelpers", "create_toolbutton_help");
    s.create_module_layout = bridge::bind(m, "gemlo.utils.qthelpers", "create_module_layout");
    s.PythonHighlighter = bridge::bind(m, "gemlo.utils.syntax", "PythonHighlighter");
    s.logger = bridge::bind(m, "gemlo.utils.logger", "logger");
    s.os = bridge::bind_module(m, "os", "os");
    s.sys = bridge::bind_module(m, "sys", "sys");
    s.locale = py::module_::import("locale");
    s.builtins = py::module_::import("builtins");
    s.globals = m.attr("__dict__");

    define_terminal(m, state);

    m.def(
        "main",
        [state]() {
            const State &s = *state;
            py::object app = s.QApplication(s.sys.attr("argv"));
            py::object console = s.Terminal();
            console.attr("show")();
            py::object code = app.attr("exec")();
            s.sys.attr("exit")(code);
        },
        "Show one console in an application of its own; ends the process.");
}
