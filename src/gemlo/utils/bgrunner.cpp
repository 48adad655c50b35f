// BgRunner: a QThread that runs one function with fixed positional arguments.
#include <pybind11/pybind11.h>

#include "bridge/pyclass.hpp"

namespace py = pybind11;
namespace bridge = gemlo::bridge;

namespace {

// Everything the module needs from Python, bound once at import.
struct State {
    py::object QThread;
    py::object logger;
    py::object format_exception;
    py::object partial;
    py::dict running;  // started runner -> its release slot, until the thread has finished
};

// An exception must not leave run(): escaping a Qt virtual it would
// deadlock the process. It is logged with its traceback instead.
void log_failure(const State &s, py::handle self, const py::error_already_set &e) {
    try {
        if (e.trace()) PyException_SetTraceback(e.value().ptr(), e.trace().ptr());
        py::str trace = py::str("").attr("join")(s.format_exception(e.value()));
        s.logger.attr("error")(
            py::str("BgRunner: {} failed:\n{}").format(self.attr("func"), trace));
    } catch (py::error_already_set &broken) {
        broken.discard_as_unraisable("BgRunner.run");  // a broken logger must not end the thread
    }
}

}  // namespace

PYBIND11_MODULE(bgrunner, m) {
    py::options options;
    options.disable_function_signatures();
    m.doc() = "Run one function with its arguments on a thread of its own.";

    auto state = std::make_shared<State>();
    state->QThread = bridge::bind(m, "qtpy.QtCore", "QThread");
    state->logger = bridge::bind(m, "gemlo.utils.logger", "logger");
    state->format_exception = py::module_::import("traceback").attr("format_exception");
    state->partial = py::module_::import("functools").attr("partial");
    m.attr("_running") = state->running;

    py::object cls = bridge::define_class(
        m, "BgRunner", py::make_tuple(state->QThread),
        "Run `func(*args)` on a thread of its own.\n\n"
        "The runner keeps itself alive from start() until its thread has finished,\n"
        "so a caller may drop it while it runs. An error raised by `func` is logged\n"
        "with its traceback and ends the thread; it never ends the application.");

    bridge::def(
        cls, "__init__",
        [state](py::object self, py::object func, py::object args) {
            state->QThread.attr("__init__")(self);
            self.attr("func") = func;
            self.attr("args") = args;
        },
        py::arg("func"), py::arg("args"));

    // Drops the keep-alive reference once the thread is done. It reaches the
    // starting thread queued through `finished`: releasing from inside the
    // worker's own thread would destroy a thread that is still finishing.
    py::object release = py::cpp_function(
        [state](py::object self) {
            py::object slot = state->running.attr("pop")(self, py::none());
            if (slot.is_none()) return;
            self.attr("finished").attr("disconnect")(slot);
            self.attr("wait")();
        },
        py::name("release"));

    bridge::def(
        cls, "start",
        [state, release](py::object self, py::args args, py::kwargs kwargs) {
            if (!state->running.contains(self)) {
                // A bound method of a C++ function is not accepted as a slot;
                // a partial is, and it runs on the thread that connected it.
                py::object slot = state->partial(release, self);
                state->running[self] = slot;
                self.attr("finished").attr("connect")(slot);
            }
            state->QThread.attr("start")(self, *args, **kwargs);
        },
        "Start the thread, which calls run().");

    bridge::def(
        cls, "run",
        [state](py::object self) {
            try {
                py::object args = self.attr("args");
                py::tuple positional =
                    py::isinstance<py::tuple>(args)
                        ? py::reinterpret_borrow<py::tuple>(args)
                        : py::tuple(py::module_::import("builtins").attr("tuple")(args));
                self.attr("func")(*positional);
            } catch (py::error_already_set &e) {
                log_failure(*state, self, e);
            }
        },
        "Call `func` with the items of `args`; runs on the worker's thread.");

    m.def(
        "some_process", [] { py::print("in thread"); }, "Write \"in thread\" to standard output.");

    m.def(
        "main",
        [m]() {
            py::print("start");
            py::object runner = m.attr("BgRunner")(m.attr("some_process"), py::tuple());
            runner.attr("start")();
            py::module_::import("time").attr("sleep")(5);
            py::print("end");
        },
        "Demonstration: run some_process on a worker thread, wait 5 seconds.");
}
