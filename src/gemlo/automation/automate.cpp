// automate: starts the main window unattended on a fresh project and quits
// it again, for a harness that drives the user interface with its robot.
#include <pybind11/pybind11.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <memory>
#include <string>

#include "bridge/pyclass.hpp"

namespace py = pybind11;
namespace bridge = gemlo::bridge;

#ifndef GEMLO_CHECKOUT
#define GEMLO_CHECKOUT "."
#endif

namespace {

constexpr int kMsBetweenClicks = 1000;
constexpr int kClickDelayMs = 1;
constexpr int kPollMs = 50;           // how often quit looks for the confirmation
constexpr int kQuitTimeoutMs = 5000;  // how long it waits for it
constexpr const char *kProjectPrefix = "automate_";

// Everything the module needs from Python, bound once at import.
struct State {
    py::object load_dotenv, Namespace, MainWindow;
    py::object Qt, QTimer, QEventLoop, QApplication, QMessageBox;
    py::module_ os, tempfile;
};

// The environment variable `name`, or `fallback` when it is unset or empty.
py::object setting(const State &s, const char *name, py::object fallback) {
    py::object value = s.os.attr("environ").attr("get")(name);
    return value.is_none() || py::len(value) == 0 ? fallback : value;
}

py::object join(const State &s, py::handle a, const char *b, const char *c = nullptr) {
    py::object path = s.os.attr("path").attr("join");
    return c ? path(a, b, c) : path(a, b);
}

// The local time of the call as 14 digits, "%Y%m%d%H%M%S".
std::string timestamp() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[16];
    std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &local);
    return text;
}

py::object launch(const State &s) {
    // The base and the environment file must be known before the file is
    // read; the other locations may come from it.
    py::object base = setting(s, "GEMLO_BASE_DIR", py::str(GEMLO_CHECKOUT));
    py::object env_file = setting(s, "GEMLO_ENV_FILE", join(s, base, ".env"));
    s.load_dotenv(py::arg("dotenv_path") = env_file);
    py::object plugins =
        setting(s, "GEMLO_PLUGINS_PATH", join(s, base, "plugins", "gemlo_plugins"));
    py::object projects = setting(s, "GEMLO_PROJECT_DIR",
                                  join(s, s.tempfile.attr("gettempdir")(), "gemlo-automation"));

    py::object options =
        s.Namespace(py::arg("plugins_paths") = plugins, py::arg("working_directory") = py::none(),
                    py::arg("debug") = false);
    py::object window = s.MainWindow(options);
    window.attr("setup")();
    window.attr("show")();
    window.attr("post_visible_setup")();

    std::string name = kProjectPrefix + timestamp() + ".lmd";
    py::object path = join(s, projects, name.c_str());
    try {
        window.attr("create_new_project")(path);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_FileExistsError)) throw;
        // The window has no project yet: nothing of the user's is lost by closing it.
        window.attr("close")();
        window.attr("deleteLater")();
        py::object error = py::reinterpret_borrow<py::object>(PyExc_FileExistsError)(
            EEXIST,
            py::str("launch: the project file {} already exists (two launches within "
                    "the same second?); it was left as it was")
                .format(path),
            path);
        error.attr("__cause__") = e.value();
        PyErr_SetObject(PyExc_FileExistsError, error.ptr());
        throw py::error_already_set();
    }
    return window;
}

// What the confirmation handler saw, shared with quit() while it waits.
struct Outcome {
    bool answered = false;  // Yes was clicked
    bool gave_up = false;   // the time ran out first
    std::string stray;      // a modal window without a Yes button, answered No at the end
    std::chrono::steady_clock::time_point deadline;
};

bool is_open(py::handle window) {
    try {
        return window.attr("isVisible")().cast<bool>();
    } catch (py::error_already_set &e) {
        if (e.matches(PyExc_RuntimeError)) return false;  // already deleted
        throw;
    }
}

// Runs from the Qt event loop (the message box's own loop while it is open).
void look_for_confirmation(const State &s, Outcome &out, py::handle qtbot) {
    if (out.answered || out.gave_up) return;
    py::object box = s.QApplication.attr("activeModalWidget")();
    if (box.is_none()) box = s.QApplication.attr("activeWindow")();
    if (!box.is_none() && py::isinstance(box, s.QMessageBox) && is_open(box)) {
        py::object yes = box.attr("button")(s.QMessageBox.attr("Yes"));
        if (!yes.is_none()) {
            out.answered = true;
            qtbot.attr("mouseClick")(yes, s.Qt.attr("LeftButton"),
                                     py::arg("delay") = kClickDelayMs);
            return;
        }
    }
    if (std::chrono::steady_clock::now() < out.deadline) return;
    out.gave_up = true;
    // Another modal window would keep the click from ever returning: answer it
    // No, which closes nothing else, and report it.
    py::object modal = s.QApplication.attr("activeModalWidget")();
    if (!modal.is_none()) {
        // Described now: the answered window may be deleted at once.
        out.stray = py::str("{} {!r}").format(py::type::of(modal).attr("__name__"),
                                              modal.attr("windowTitle")());
        modal.attr("reject")();
    }
}

void quit(const std::shared_ptr<State> &state, py::object qtbot, py::object window,
          int timeout_ms) {
    const State &s = *state;
    auto out = std::make_shared<Outcome>();
    out->deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    // The timer is armed before the click: the click opens a modal box whose
    // own event loop keeps it from returning until the box is answered.
    py::object timer = s.QTimer();
    timer.attr("setInterval")(kPollMs);
    timer.attr("timeout").attr("connect")(
        py::cpp_function([state, out, qtbot]() { look_for_confirmation(*state, *out, qtbot); },
                         py::name("confirm")));
    timer.attr("start")();
    try {
        qtbot.attr("mouseClick")(window.attr("btn_quit"), s.Qt.attr("LeftButton"),
                                 py::arg("delay") = kClickDelayMs);
        // The box may also open after the click has returned.
        while (!out->answered && !out->gave_up && is_open(window)) {
            py::object loop = s.QEventLoop();
            s.QTimer.attr("singleShot")(kPollMs, loop.attr("quit"));
            loop.attr("exec")();
        }
    } catch (...) {
        timer.attr("stop")();
        throw;
    }
    timer.attr("stop")();
    timer.attr("timeout").attr("disconnect")();

    if (out->answered) {
        if (is_open(window)) {
            throw std::runtime_error("quit: Yes was answered but the main window is still open");
        }
        return;
    }
    if (out->gave_up) {
        std::string message = "quit: no confirmation with a Yes button appeared within " +
                              std::to_string(timeout_ms) +
                              " ms of clicking the quit button; the main window was left open";
        if (!out->stray.empty()) {
            message += "; the modal window open instead (" + out->stray + ") was answered No";
        }
        PyErr_SetString(PyExc_TimeoutError, message.c_str());
        throw py::error_already_set();
    }
    throw std::runtime_error("quit: the main window closed without asking for confirmation");
}

}  // namespace

PYBIND11_MODULE(automate, m) {
    m.doc() = "Start the main window on a fresh project and quit it, unattended.";

    auto state = std::make_shared<State>();
    State &s = *state;
    s.load_dotenv = bridge::bind(m, "dotenv", "load_dotenv");
    s.Namespace = bridge::bind(m, "argparse", "Namespace");
    s.MainWindow = bridge::bind(m, "gemlo.app.mainwindow", "MainWindow");
    s.Qt = bridge::bind(m, "qtpy.QtCore", "Qt");
    s.QTimer = bridge::bind(m, "qtpy.QtCore", "QTimer");
    s.QEventLoop = bridge::bind(m, "qtpy.QtCore", "QEventLoop");
    s.QApplication = bridge::bind(m, "qtpy.QtWidgets", "QApplication");
    s.QMessageBox = bridge::bind(m, "qtpy.QtWidgets", "QMessageBox");
    s.os = bridge::bind_module(m, "os", "os");
    s.tempfile = py::module_::import("tempfile");

    m.attr("MS_BETWEEN_CLICKS") = kMsBetweenClicks;
    m.attr("PROJECT_PREFIX") = kProjectPrefix;

    m.def(
        "launch", [state]() { return launch(*state); },
        "Build, show and ready the main window on a new project; return the window.\n\n"
        "Locations come from the environment (GEMLO_BASE_DIR, GEMLO_ENV_FILE, then,\n"
        "after the environment file is loaded, GEMLO_PLUGINS_PATH and GEMLO_PROJECT_DIR).");
    m.def(
        "quit",
        [state](py::object qtbot, py::object window, int timeout_ms) {
            quit(state, qtbot, window, timeout_ms);
        },
        py::arg("qtbot"), py::arg("window"), py::arg("timeout_ms") = kQuitTimeoutMs,
        "Close `window` through its quit button, answering Yes to the confirmation.\n\n"
        "Waits up to `timeout_ms` for the confirmation; if none comes, raises TimeoutError\n"
        "and leaves the main window open.");
}
