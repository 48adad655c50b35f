// Module functions called through CPython's vectorcall protocol, for small
// hot functions where pybind11's generic dispatcher (bridge::def, m.def)
// would cost more per call than the function's own work.
//
// A function is a body taking the module's state and the arguments as
// CPython passes them; it binds them with bind_args, which accepts and
// refuses exactly what a Python function with the same parameters would,
// messages included:
//
//     py::object scale(const State &s, PyObject *const *args, Py_ssize_t nargs,
//                      PyObject *kwnames) {
//         auto a = fastcall::bind_args<2>("scale", {"x", "factor"}, 1, args, nargs, kwnames);
//         ...  // a[1] is nullptr when `factor` was not given
//     }
//
//     PyMethodDef methods[] = {fastcall::function<scale>("scale", "Scale x.")};
//
//     PYBIND11_MODULE(name, m) {
//         State &s = fastcall::attach_state<State>(m);  // State::capsule_name names it
//         ...
//         fastcall::add_functions(m, methods);
//     }
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "bridge/capi.hpp"

namespace gemlo::bridge::fastcall {

namespace py = pybind11;

// Binds args/kwnames to `names`, the first `required` of which have no
// default; parameters not given stay nullptr. Keywords that match no name go
// to `extra` when the function takes **kwargs, and are an error otherwise.
template <std::size_t N>
std::array<PyObject *, N> bind_args(const char *function, const std::array<const char *, N> &names,
                                    std::size_t required, PyObject *const *args, Py_ssize_t nargs,
                                    PyObject *kwnames, py::dict *extra = nullptr) {
    std::array<PyObject *, N> bound{};
    for (std::size_t i = 0; i < N && i < static_cast<std::size_t>(nargs); ++i) bound[i] = args[i];
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *name = PyTuple_GET_ITEM(kwnames, k);
        std::size_t j = 0;
        while (j < N && PyUnicode_CompareWithASCIIString(name, names[j]) != 0) ++j;
        if (j == N) {
            if (!extra) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                             function, name);
                throw py::error_already_set();
            }
            (*extra)[name] = py::handle(args[nargs + k]);
        } else if (bound[j]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function,
                         names[j]);
            throw py::error_already_set();
        } else {
            bound[j] = args[nargs + k];
        }
    }
    if (static_cast<std::size_t>(nargs) > N) {
        std::string takes = required == N
                                ? std::to_string(N)
                                : "from " + std::to_string(required) + " to " + std::to_string(N);
        PyErr_Format(PyExc_TypeError, "%s() takes %s positional argument%s but %zd %s given",
                     function, takes.c_str(), N == 1 && required == N ? "" : "s", nargs,
                     nargs == 1 ? "was" : "were");
        throw py::error_already_set();
    }
    std::vector<std::string> missing;
    for (std::size_t i = 0; i < required; ++i) {
        if (!bound[i]) missing.push_back(std::string("'") + names[i] + "'");
    }
    if (!missing.empty()) {
        std::string list = missing.back();
        if (missing.size() == 2) list = missing[0] + " and " + list;
        if (missing.size() > 2) {
            list = "and " + list;
            for (std::size_t i = missing.size() - 1; i-- > 0;) list = missing[i] + ", " + list;
        }
        PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s",
                     function, missing.size(), missing.size() == 1 ? "" : "s", list.c_str());
        throw py::error_already_set();
    }
    return bound;
}

namespace detail {

// The module attribute holding the state capsule, interned at the first load.
inline PyObject *state_attr = nullptr;

template <typename Body>
struct StateOf;
template <typename State>
struct StateOf<py::object (*)(const State &, PyObject *const *, Py_ssize_t, PyObject *)> {
    using type = State;
};

// The C entry of `body`. The functions are bound to their module, as module
// functions are (so they pickle and print as such), and find the state
// there; C++ exceptions become the Python errors pybind11 would raise.
template <auto body>
PyObject *entry(PyObject *module, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    using State = typename StateOf<decltype(body)>::type;
    try {
        PyObject *capsule = PyDict_GetItemWithError(PyModule_GetDict(module), state_attr);
        if (!capsule) {
            if (!PyErr_Occurred()) {
                const char *name = PyModule_GetName(module);
                if (!name) return nullptr;
                std::string short_name(name);
                short_name.erase(0, short_name.rfind('.') + 1);  // npos + 1 is 0
                PyErr_Format(PyExc_RuntimeError, "%s: no state", short_name.c_str());
            }
            return nullptr;
        }
        auto *s = static_cast<const State *>(PyCapsule_GetPointer(capsule, State::capsule_name));
        if (!s) return nullptr;
        return body(*s, args, nargs, kwnames).release().ptr();
    } catch (py::error_already_set &e) {
        e.restore();
    } catch (py::builtin_exception &e) {
        e.set_error();
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

}  // namespace detail

// The method-table row of a module function; `doc` may be nullptr. The
// table must outlive the functions made from it, as CPython requires: keep
// it at namespace scope.
template <auto body>
PyMethodDef function(const char *name, const char *doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&detail::entry<body>)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

// Makes the module's state, owned by the module, for its functions to find.
template <typename State>
State &attach_state(py::module_ &m) {
    auto *state = new State;
    py::capsule owner(state, State::capsule_name, [](void *p) { delete static_cast<State *>(p); });
    // Lives as long as the interpreter, as interned strings do.
    if (!detail::state_attr) detail::state_attr = intern("_state").release().ptr();
    m.attr(detail::state_attr) = owner;
    return *state;
}

// Adds the functions of `methods` to the module.
template <std::size_t N>
void add_functions(py::module_ &m, PyMethodDef (&methods)[N]) {
    py::object module_name = m.attr("__name__");
    for (PyMethodDef &def : methods) {
        m.attr(def.ml_name) = steal(PyCFunction_NewEx(&def, m.ptr(), module_name.ptr()));
    }
}

}  // namespace gemlo::bridge::fastcall
