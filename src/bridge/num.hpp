// Python-number arithmetic in C++.
//
// Exact Python ints within 64 bits and exact Python floats are held as C++
// values and combined the way Python combines them, so the result equals
// Python's to the bit; anything else (numpy scalars, bools, big ints, other
// types) stays a Python object and goes through the Python number protocol.
// Callers thereby see the number types of what they passed in.
#pragma once

#include <pybind11/pybind11.h>

#include <cmath>
#include <utility>

#include "bridge/capi.hpp"

namespace gemlo::bridge {

namespace py = pybind11;

// The Python functions and constants the arithmetic hands over to for
// numbers it does not hold itself: bound at load and kept in module state.
struct NumFallbacks {
    py::object round;  // builtins.round
    py::object sqrt;   // math.sqrt
    py::object zero = py::int_(0), two = py::int_(2);
};

// A number on its way through a formula. A value read from an input keeps
// its object, so it passes through as is.
class Num {
public:
    explicit Num(py::object o) : obj_(std::move(o)) {
        PyObject *p = obj_.ptr();
        if (PyFloat_CheckExact(p)) {
            kind_ = Float;
            f_ = PyFloat_AS_DOUBLE(p);
        } else if (PyLong_CheckExact(p)) {
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(p, &overflow);
            if (!overflow) {
                kind_ = Int;
                i_ = v;
            }
        }
    }
    static Num of_int(long long v) { return Num(Int, v, 0.0); }
    static Num of_float(double v) { return Num(Float, 0, v); }

    bool is_int() const { return kind_ == Int; }
    bool is_float() const { return kind_ == Float; }
    bool is_plain() const { return kind_ != Obj; }
    long long i() const { return i_; }
    // An int converts as Python converts it in mixed arithmetic: rounded to
    // nearest, ties to even (PyLong_AsDouble and the C conversion agree).
    double f() const { return kind_ == Int ? static_cast<double>(i_) : f_; }

    const py::object &object() const {
        if (!obj_) {
            obj_ = steal(kind_ == Int ? PyLong_FromLongLong(i_) : PyFloat_FromDouble(f_));
        }
        return obj_;
    }

private:
    enum Kind : unsigned char { Int, Float, Obj };
    Num(Kind k, long long i, double f) : kind_(k), i_(i), f_(f) {}
    Kind kind_ = Obj;
    long long i_ = 0;
    double f_ = 0.0;
    mutable py::object obj_;
};

inline Num add(const Num &a, const Num &b) {
    long long r;
    if (a.is_int() && b.is_int()) {
        if (!__builtin_add_overflow(a.i(), b.i(), &r)) return Num::of_int(r);
    } else if (a.is_plain() && b.is_plain()) {
        return Num::of_float(a.f() + b.f());
    }
    return Num(steal(PyNumber_Add(a.object().ptr(), b.object().ptr())));
}

inline Num sub(const Num &a, const Num &b) {
    long long r;
    if (a.is_int() && b.is_int()) {
        if (!__builtin_sub_overflow(a.i(), b.i(), &r)) return Num::of_int(r);
    } else if (a.is_plain() && b.is_plain()) {
        return Num::of_float(a.f() - b.f());
    }
    return Num(steal(PyNumber_Subtract(a.object().ptr(), b.object().ptr())));
}

inline Num mul(const Num &a, const Num &b) {
    long long r;
    if (a.is_int() && b.is_int()) {
        if (!__builtin_mul_overflow(a.i(), b.i(), &r)) return Num::of_int(r);
    } else if (a.is_plain() && b.is_plain()) {
        return Num::of_float(a.f() * b.f());
    }
    return Num(steal(PyNumber_Multiply(a.object().ptr(), b.object().ptr())));
}

// a / b. Python divides two ints exactly when both are exact as doubles,
// as here; a zero divisor is left to Python, for its own ZeroDivisionError.
inline Num div(const Num &a, const Num &b) {
    constexpr long long exact = 1LL << 53;
    auto exact_int = [](long long v) { return v >= -exact && v <= exact; };
    if (a.is_plain() && b.is_plain() && b.f() != 0.0 &&
        (!a.is_int() || !b.is_int() || (exact_int(a.i()) && exact_int(b.i())))) {
        return Num::of_float(a.f() / b.f());
    }
    return Num(steal(PyNumber_TrueDivide(a.object().ptr(), b.object().ptr())));
}

// A float made an int the way Python's int() and round() end: in range it
// is exact; out of range, or inf or nan, PyLong_FromDouble decides (a big
// int, or Python's OverflowError or ValueError).
inline Num from_whole_double(double whole) {
    if (whole > -9.2e18 && whole < 9.2e18) return Num::of_int(static_cast<long long>(whole));
    return Num(steal(PyLong_FromDouble(whole)));
}

// int(x): truncation toward zero.
inline Num truncate(const Num &x) {
    if (x.is_int()) return x;
    if (x.is_float()) return from_whole_double(std::trunc(x.f()));
    return Num(steal(PyNumber_Long(x.object().ptr())));
}

// round(x): nearest integer, a half to the even one.
inline Num round_even(const NumFallbacks &python, const Num &x) {
    if (x.is_int()) return x;
    if (x.is_float()) {
        // The steps of float.__round__ without ndigits.
        double v = x.f();
        double r = std::round(v);
        if (std::fabs(v - r) == 0.5) r = 2.0 * std::round(v / 2.0);
        return from_whole_double(r);
    }
    return Num(python.round(x.object()));
}

// `x != 0`, as Python compares: 0 and 0.0 are zero, anything else is not.
inline bool nonzero(const NumFallbacks &python, const Num &x) {
    if (x.is_plain()) return x.f() != 0.0;
    py::object ne = steal(PyObject_RichCompare(x.object().ptr(), python.zero.ptr(), Py_NE));
    int truth = PyObject_IsTrue(ne.ptr());
    if (truth < 0) throw py::error_already_set();
    return truth;
}

// x ** 2. A Python float or small int squares the same by multiplication;
// a float whose square overflows goes to Python for its OverflowError, and
// any other number keeps its own power (a numpy float32's power may round
// differently from its product).
inline Num square(const NumFallbacks &python, const Num &x) {
    constexpr long long small = 1LL << 31;
    if (x.is_int() && x.i() >= -small && x.i() <= small) return Num::of_int(x.i() * x.i());
    if (x.is_float() && (std::isfinite(x.f() * x.f()) || !std::isfinite(x.f()))) {
        return Num::of_float(x.f() * x.f());
    }
    return Num(steal(PyNumber_Power(x.object().ptr(), python.two.ptr(), Py_None)));
}

// math.sqrt(a ** 2 + b ** 2), a float.
inline Num length(const NumFallbacks &python, const Num &a, const Num &b) {
    Num sum = add(square(python, a), square(python, b));
    constexpr long long exact = 1LL << 53;
    if (sum.is_float() || (sum.is_int() && sum.i() <= exact))
        return Num::of_float(std::sqrt(sum.f()));
    return Num(python.sqrt(sum.object()));
}

}  // namespace gemlo::bridge
