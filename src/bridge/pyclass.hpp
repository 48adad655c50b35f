// Binding host names at load and defining Python classes from C++.
//
// Our classes derive from classes of the Qt binding or of the host, which are
// not pybind11 types, so they are made the way Python makes a class: the
// bases' metaclass is called with a namespace. Methods and properties are
// attached afterwards as plain functions, which bind to instances like any
// function defined in a class body.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace gemlo::bridge {

namespace py = pybind11;

// Imports `name` from the host module `module` and keeps it as the module
// attribute `local` (default: `name`), the way `from module import name as
// local` would. A missing module or name fails the import with ImportError.
inline py::object bind(py::module_ &m, const char *module, const char *name,
                       const char *local = nullptr) {
    py::module_ source = py::module_::import(module);
    if (!py::hasattr(source, name)) {
        throw py::import_error(std::string("cannot import name '") + name + "' from '" + module +
                               "'");
    }
    py::object value = source.attr(name);
    m.attr(local ? local : name) = value;
    return value;
}

// Imports a whole host module and keeps it as the module attribute `local`.
inline py::module_ bind_module(py::module_ &m, const char *module, const char *local) {
    py::module_ value = py::module_::import(module);
    m.attr(local) = value;
    return value;
}

// Calls the most derived metaclass of `bases` with a namespace already
// holding `__module__`, `__qualname__`, `__doc__` and whatever `ns` brings:
// Qt signals must be in the namespace when the class is created, or the
// binding does not register them. The class is stored in the module.
inline py::object define_class(py::module_ &m, const char *name, py::tuple bases, const char *doc,
                               py::dict ns = py::dict()) {
    py::object meta = py::type::of(bases[0]);
    for (py::handle base : bases) {
        py::object other = py::type::of(base);
        if (PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(other.ptr()),
                             reinterpret_cast<PyTypeObject *>(meta.ptr()))) {
            meta = other;
        }
    }
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = name;
    ns["__doc__"] = doc ? py::object(py::str(doc)) : py::object(py::none());
    py::object cls = meta(name, bases, ns);
    m.attr(name) = cls;
    return cls;
}

namespace detail {

// What a method's parameters after `self` look like, read off the C++
// signature: how many there are, and whether the last ones are *args/**kwargs.
template <typename Sig>
struct Params;
template <typename R, typename Self, typename... Args>
struct Params<R(Self, Args...)> {
    static constexpr std::size_t count = sizeof...(Args);
    static constexpr bool has_kwargs =
        count > 0 && (std::is_same_v<std::decay_t<Args>, py::kwargs> || ...);
    static constexpr bool has_args =
        count > 0 && (std::is_same_v<std::decay_t<Args>, py::args> || ...);
};

struct MethodInfo {
    std::vector<std::string> names;
    py::list defaults;
    std::string doc;
    void add(const py::arg_v &a) {
        names.emplace_back(a.name);
        defaults.append(a.value);
    }
    void add(const py::arg &a) { names.emplace_back(a.name); }
    void add(const char *text) { doc = text; }
};

// Wraps `impl` in a Python function with the method's real parameter list.
// The binding calls overrides of Qt virtuals and connected slots only when
// they are Python functions (it reads their code object); the thin wrapper
// gives it one, and the work stays in C++.
inline py::object make_method(py::object cls, const std::string &name, py::object impl,
                              std::size_t count, bool has_args, bool has_kwargs,
                              const MethodInfo &info) {
    std::size_t named = count - (has_args ? 1 : 0) - (has_kwargs ? 1 : 0);
    std::string params = "self", call = "self";
    std::size_t first_default = named - py::len(info.defaults);
    for (std::size_t i = 0; i < named; ++i) {
        std::string p = i < info.names.size() ? info.names[i] : "arg" + std::to_string(i);
        params += ", " + p;
        if (i >= first_default) params += "=_defaults[" + std::to_string(i - first_default) + "]";
        call += ", " + p;
    }
    if (has_args) {
        params += ", *args";
        call += ", *args";
    }
    if (has_kwargs) {
        params += ", **kwargs";
        call += ", **kwargs";
    }
    std::string source = "def " + name + "(" + params + "):\n    return _impl(" + call + ")\n";

    py::dict scope;
    scope["_impl"] = impl;
    scope["_defaults"] = py::tuple(info.defaults);
    std::string module = py::str(cls.attr("__module__"));
    py::module_ builtins = py::module_::import("builtins");
    builtins.attr("exec")(builtins.attr("compile")(source, "<" + module + ">", "exec"), scope);
    py::object fn = scope[name.c_str()];
    fn.attr("__module__") = cls.attr("__module__");
    fn.attr("__qualname__") = py::str(cls.attr("__qualname__")) + py::str("." + name);
    fn.attr("__doc__") = info.doc.empty() ? py::object(py::none()) : py::str(info.doc);
    return fn;
}

}  // namespace detail

// Attaches a C++ callable as the method `name` of `cls`. It receives `self`
// (a py::object) first; py::arg / py::arg_v extras name the parameters after
// it and give defaults, a string extra is the docstring. Any name works,
// `__init__` and name-mangled private names included.
template <typename F, typename... Extra>
void def(py::object cls, const char *name, F &&f, const Extra &...extra) {
    using P = detail::Params<py::detail::function_signature_t<std::remove_reference_t<F>>>;
    detail::MethodInfo info;
    (info.add(extra), ...);
    // pybind11 takes a function named __init__ for a constructor of its own.
    const char *internal = std::string_view(name) == "__init__" ? "init" : name;
    py::cpp_function impl(std::forward<F>(f), py::name(internal));
    py::setattr(cls, name,
                detail::make_method(cls, name, impl, P::count, P::has_args, P::has_kwargs, info));
}

// Attaches a read-only property computed by `getter(self)`.
template <typename F>
void def_property(py::object cls, const char *name, F &&getter, const char *doc = nullptr) {
    py::object property = py::module_::import("builtins").attr("property");
    py::cpp_function fget(std::forward<F>(getter), py::name(name));
    py::setattr(cls, name,
                property(fget, py::none(), py::none(),
                         doc ? py::object(py::str(doc)) : py::object(py::none())));
}

// Attaches a read-write property: `getter(self)` and `setter(self, value)`.
template <typename G, typename S>
void def_property(py::object cls, const char *name, G &&getter, S &&setter,
                  const char *doc = nullptr) {
    py::object property = py::module_::import("builtins").attr("property");
    py::cpp_function fget(std::forward<G>(getter), py::name(name));
    py::cpp_function fset(std::forward<S>(setter), py::name(name));
    py::setattr(
        cls, name,
        property(fget, fset, py::none(), doc ? py::object(py::str(doc)) : py::object(py::none())));
}

}  // namespace gemlo::bridge
