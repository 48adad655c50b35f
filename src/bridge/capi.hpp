// Small helpers for code that calls the CPython C API directly, where
// pybind11's wrappers would cost more than the work itself.
#pragma once

#include <pybind11/pybind11.h>

namespace gemlo::bridge {

namespace py = pybind11;

// Takes ownership of a new reference returned by the C API; a null result
// means the call failed, and its Python error is raised.
inline py::object steal(PyObject *p) {
    if (!p) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(p);
}

// An interned string, for names looked up on every call.
inline py::object intern(const char *text) { return steal(PyUnicode_InternFromString(text)); }

}  // namespace gemlo::bridge
