// Conversions between the four geometry dictionaries of a seismic cube.
//
// Callers see the number types of what they pass in (an int stays an int, a
// numpy scalar from the grid conversions stays one), so every formula keeps
// Python's arithmetic (bridge/num.hpp). The functions are fast-call functions
// (bridge/fastcall.hpp): pybind11's generic dispatcher costs more per call
// than these conversions themselves.
#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <string>

#include "bridge/capi.hpp"
#include "bridge/fastcall.hpp"
#include "bridge/num.hpp"
#include "bridge/pyclass.hpp"

namespace py = pybind11;
namespace bridge = gemlo::bridge;
namespace fastcall = gemlo::bridge::fastcall;
using bridge::Num;
using bridge::steal;

namespace {

// Dictionary keys and names, interned once at load: KEY(name) is looked up
// by its own text, NAMED(name, text) by another. The keys of each result
// (parm, vidx, vxyz, sgmt) follow each other in the order of its dictionary.
// clang-format off
#define SURVEYCALC_KEYS(KEY, NAMED) \
    KEY(TRDX) KEY(TRDY) KEY(PNDX) KEY(PNDY) KEY(NTRACE) KEY(NPANEL) KEY(NSAMPLE) \
    KEY(TRACE_START) KEY(PANEL_START) KEY(SAMPLE_START) \
    KEY(TRACE_INC) KEY(PANEL_INC) KEY(SAMPLE_INC) \
    KEY(DATA_PRECISION) KEY(DATA_VEL_TYPE) KEY(DEPTH_OUTPUT) \
    KEY(TRACE_UNIT) KEY(PANEL_UNIT) KEY(SAMPLE_UNIT) KEY(DATA_UNIT) \
    KEY(IL_FRST) KEY(IL_LAST) KEY(IL_NCRT) KEY(IL_AMNT) \
    KEY(XL_FRST) KEY(XL_LAST) KEY(XL_NCRT) KEY(XL_AMNT) \
    KEY(DP_FRST) KEY(DP_LAST) KEY(DP_NCRT) KEY(DP_AMNT) \
    KEY(AXIS_ORX) KEY(AXIS_ORY) KEY(AXIS_ORZ) KEY(AXIS_DPX) KEY(AXIS_DPY) KEY(AXIS_DPZ) \
    KEY(AXIS_XLX) KEY(AXIS_XLY) KEY(AXIS_XLZ) KEY(AXIS_ILX) KEY(AXIS_ILY) KEY(AXIS_ILZ) \
    KEY(P1_ILNO) KEY(P1_XLNO) KEY(P1_CRSX) KEY(P1_CRSY) \
    KEY(P2_ILNO) KEY(P2_XLNO) KEY(P2_CRSX) KEY(P2_CRSY) \
    KEY(P3_ILNO) KEY(P3_XLNO) KEY(P3_CRSX) KEY(P3_CRSY) \
    /* The keyword options of get_parm_from_vidx, in the order of the keys */ \
    /* DATA_PRECISION .. DATA_UNIT they are stored under. */ \
    NAMED(OPT_PRECISION, dataPrecision) NAMED(OPT_VEL_TYPE, dataVelType) \
    NAMED(OPT_DEPTH, depthOutput) NAMED(OPT_TRACE_UNIT, traceUnit) \
    NAMED(OPT_PANEL_UNIT, panelUnit) NAMED(OPT_SAMPLE_UNIT, sampleUnit) \
    NAMED(OPT_DATA_UNIT, dataUnit) \
    NAMED(ILINE, iline) NAMED(XLINE, xline) NAMED(STEP, step) NAMED(SHAPE, shape) \
    NAMED(SURVEY, survey) NAMED(LN2XY, ln2xy) NAMED(XY2LN, xy2ln) NAMED(GET_STEP, get_step)

#define SURVEYCALC_ENUM_KEY(name) name,
#define SURVEYCALC_ENUM_NAMED(name, text) name,
enum K : std::size_t {
    SURVEYCALC_KEYS(SURVEYCALC_ENUM_KEY, SURVEYCALC_ENUM_NAMED)
    KEY_COUNT
};
#undef SURVEYCALC_ENUM_KEY
#undef SURVEYCALC_ENUM_NAMED

#define SURVEYCALC_TEXT_KEY(name) #name,
#define SURVEYCALC_TEXT_NAMED(name, text) #text,
constexpr const char *key_names[KEY_COUNT] = {
    SURVEYCALC_KEYS(SURVEYCALC_TEXT_KEY, SURVEYCALC_TEXT_NAMED)
};
#undef SURVEYCALC_TEXT_KEY
#undef SURVEYCALC_TEXT_NAMED
#undef SURVEYCALC_KEYS
// clang-format on

constexpr std::size_t option_count = OPT_DATA_UNIT - OPT_PRECISION + 1;

// A result dictionary: a template holding its keys in order, and the first
// of those keys in K, where they follow each other in the same order.
struct Shape {
    py::dict keys;
    K first;
};

struct State {
    static constexpr const char *capsule_name = "gemlo.utils.surveycalc.State";

    // The module's own namespace: the grid conversions are looked up in it at
    // call time, as a Python module's globals would be, so a replaced
    // attribute takes effect.
    py::dict globals;
    py::object array;    // numpy.array
    py::object ndarray;  // numpy.ndarray
    bridge::NumFallbacks num;
    std::array<std::array<py::tuple, 2>, 3> row_index;  // (row, column) of the three corners
    py::tuple survey_kwname;  // ("survey",), for calling ln2xy(..., survey=...)
    std::array<py::object, KEY_COUNT> key;
    std::array<py::object, option_count> option_default;
    std::array<py::object, 4> sgmt_default;  // p1ilno, p1xlno, ilstep, xlstep
    Shape parm_shape, vidx_shape, vxyz_shape, sgmt_shape;
};

// mapping[key], for any mapping with item access. A plain dict takes the
// fast road; anything else (a dict subclass with __missing__ included) goes
// through __getitem__.
py::object item(py::handle mapping, const py::object &key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject *value = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (value) return py::reinterpret_borrow<py::object>(value);
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key.ptr());
        throw py::error_already_set();
    }
    return steal(PyObject_GetItem(mapping.ptr(), key.ptr()));
}

Num num(const State &s, py::handle mapping, K key) { return Num(item(mapping, s.key[key])); }

// first + increment * (count - 1), in the values' own types.
Num last(const Num &first, const Num &increment, const Num &count) {
    return add(first, mul(increment, sub(count, Num::of_int(1))));
}

// Exactly a numpy array: a subclass may index and iterate differently.
bool is_ndarray(const State &s, PyObject *p) {
    return reinterpret_cast<PyObject *>(Py_TYPE(p)) == s.ndarray.ptr();
}

// `a, b, ... = result` with exactly N values; `what` names the result in the
// ValueError raised for any other number of values.
template <std::size_t N>
std::array<py::object, N> unpack(const State &s, py::handle result, const char *what) {
    std::array<py::object, N> out;
    auto wrong = [&](const std::string &got) {
        throw py::value_error(std::string(what) + " gave " + got + " values, expected " +
                              std::to_string(N));
    };
    PyObject *p = result.ptr();
    if (PyTuple_CheckExact(p) || PyList_CheckExact(p)) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(p);
        if (n != static_cast<Py_ssize_t>(N)) wrong(std::to_string(n));
        PyObject **items = PySequence_Fast_ITEMS(p);
        for (std::size_t i = 0; i < N; ++i) out[i] = py::reinterpret_borrow<py::object>(items[i]);
        return out;
    }
    if (is_ndarray(s, p)) {
        // An array iterates as a sequence, item by item up to its length;
        // asking for those items directly gives the same values in a
        // fraction of the time.
        Py_ssize_t n = PyObject_Length(p);
        if (n >= 0) {
            if (n != static_cast<Py_ssize_t>(N)) wrong(std::to_string(n));
            for (std::size_t i = 0; i < N; ++i) {
                out[i] = steal(PySequence_GetItem(p, static_cast<Py_ssize_t>(i)));
            }
            return out;
        }
        PyErr_Clear();  // 0-d: iteration below fails with numpy's own error
    }
    py::object it = steal(PyObject_GetIter(p));
    for (std::size_t i = 0; i < N; ++i) {
        PyObject *next = PyIter_Next(it.ptr());
        if (!next) {
            if (PyErr_Occurred()) throw py::error_already_set();
            wrong(std::to_string(i));
        }
        out[i] = py::reinterpret_steal<py::object>(next);
    }
    // One more at most: the result may be an endless iterator.
    if (PyObject *extra = PyIter_Next(it.ptr())) {
        Py_DECREF(extra);
        Py_ssize_t n = PyObject_Length(p);
        if (n < 0) PyErr_Clear();
        bool known = n > static_cast<Py_ssize_t>(N);
        wrong(known ? std::to_string(n) : "more than " + std::to_string(N));
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return out;
}

// `x, y = xy[row]` for a result of ln2xy on rows. From a two-dimensional
// array the two items are taken as xy[row, 0] and xy[row, 1], the same
// values without making the row's view first.
std::array<py::object, 2> row_xy(const State &s, py::handle xy, std::size_t row) {
    const char *what = "a row of ln2xy";
    if (is_ndarray(s, xy.ptr())) {
        py::object shape = steal(PyObject_GetAttr(xy.ptr(), s.key[SHAPE].ptr()));
        if (PyTuple_CheckExact(shape.ptr()) && PyTuple_GET_SIZE(shape.ptr()) == 2) {
            Py_ssize_t n = PyLong_AsSsize_t(PyTuple_GET_ITEM(shape.ptr(), 1));
            if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
            if (n != 2) {
                throw py::value_error(std::string(what) + " gave " + std::to_string(n) +
                                      " values, expected 2");
            }
            return {steal(PyObject_GetItem(xy.ptr(), s.row_index[row][0].ptr())),
                    steal(PyObject_GetItem(xy.ptr(), s.row_index[row][1].ptr()))};
        }
    }
    py::object index = steal(PyLong_FromSize_t(row));
    return unpack<2>(s, steal(PyObject_GetItem(xy.ptr(), index.ptr())), what);
}

// A grid conversion as the module namespace holds it now.
py::object host_function(const State &s, K name) {
    PyObject *f = PyDict_GetItemWithError(s.globals.ptr(), s.key[name].ptr());
    if (f) return py::reinterpret_borrow<py::object>(f);
    if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", key_names[name]);
    }
    throw py::error_already_set();
}

// numpy.array([a, b]) or numpy.array([[a, b], ...]) of the values as they are.
py::list pair(py::handle a, py::handle b) {
    py::list out(2);
    PyList_SET_ITEM(out.ptr(), 0, a.inc_ref().ptr());
    PyList_SET_ITEM(out.ptr(), 1, b.inc_ref().ptr());
    return out;
}

py::object to_array(const State &s, py::handle lines) {
    PyObject *args[] = {lines.ptr()};
    return steal(PyObject_Vectorcall(s.array.ptr(), args, 1, nullptr));
}

// ln2xy(lines, survey=survey)
py::object call_ln2xy(const State &s, py::handle lines, py::handle survey) {
    py::object f = host_function(s, LN2XY);
    py::object array = to_array(s, lines);
    PyObject *args[] = {array.ptr(), survey.ptr()};
    return steal(PyObject_Vectorcall(f.ptr(), args, 1, s.survey_kwname.ptr()));
}

// Fills a copy of the template from its first key on: copying a dict of that
// size clones its key table, which costs less than inserting the keys one by
// one and growing the table on the way.
template <std::size_t N>
py::dict make_dict(const State &s, const Shape &shape, const std::array<py::handle, N> &values) {
    py::dict out = py::reinterpret_steal<py::dict>(PyDict_Copy(shape.keys.ptr()));
    if (!out) throw py::error_already_set();
    for (std::size_t i = 0; i < N; ++i) {
        if (PyDict_SetItem(out.ptr(), s.key[shape.first + i].ptr(), values[i].ptr()) < 0) {
            throw py::error_already_set();
        }
    }
    return out;
}

// Line numbers counted in whole assumed steps along an axis of the given
// extent: int(length / step), so a zero step fails as Python's division does.
Num steps(const State &s, const Num &lenx, const Num &leny, const Num &step) {
    return truncate(div(length(s.num, lenx, leny), step));
}

py::dict sgmt_from_parm(const State &s, py::handle parm, const Num &p1ilno, const Num &p1xlno,
                        const Num &ilstep, const Num &xlstep) {
    Num crsx = num(s, parm, TRACE_START);
    Num crsy = num(s, parm, PANEL_START);

    Num trdx = num(s, parm, TRDX);
    Num traces = sub(num(s, parm, NTRACE), Num::of_int(1));
    Num trdy = num(s, parm, TRDY);
    Num xlenx = mul(trdx, traces), xleny = mul(trdy, traces);
    Num steps_xl = steps(s, xlenx, xleny, xlstep);
    Num p2xlno = add(p1xlno, steps_xl), p2x = add(crsx, xlenx), p2y = add(crsy, xleny);

    Num pndx = num(s, parm, PNDX);
    Num panels = sub(num(s, parm, NPANEL), Num::of_int(1));
    Num pndy = num(s, parm, PNDY);
    Num ilenx = mul(pndx, panels), ileny = mul(pndy, panels);
    Num steps_il = steps(s, ilenx, ileny, ilstep);

    Num p3ilno = add(p1ilno, steps_il), p3x = add(crsx, ilenx), p3y = add(crsy, ileny);
    return make_dict<12>(s, s.sgmt_shape,
                         {p1ilno.object(), p1xlno.object(), crsx.object(), crsy.object(),
                          p1ilno.object(), p2xlno.object(), p2x.object(), p2y.object(),
                          p3ilno.object(), p1xlno.object(), p3x.object(), p3y.object()});
}

py::dict vxyz_from_vidx(const State &s, py::handle vidx, py::handle survey) {
    py::object il_frst = item(vidx, s.key[IL_FRST]);
    py::object xl_frst = item(vidx, s.key[XL_FRST]);
    py::object xl_last = item(vidx, s.key[XL_LAST]);
    py::object il_last = item(vidx, s.key[IL_LAST]);

    py::list rows(3);
    PyList_SET_ITEM(rows.ptr(), 0, pair(il_frst, xl_frst).release().ptr());
    PyList_SET_ITEM(rows.ptr(), 1, pair(il_frst, xl_last).release().ptr());
    PyList_SET_ITEM(rows.ptr(), 2, pair(il_last, xl_frst).release().ptr());
    py::object xy = call_ln2xy(s, rows, survey);
    auto origin = row_xy(s, xy, 0);
    auto xl_end = row_xy(s, xy, 1);
    auto il_end = row_xy(s, xy, 2);

    Num z = num(s, vidx, DP_FRST);
    Num dp_ncrt = num(s, vidx, DP_NCRT);
    Num dpz = last(z, dp_ncrt, num(s, vidx, DP_AMNT));

    const py::object &oz = z.object();
    return make_dict<12>(s, s.vxyz_shape,
                         {origin[0], origin[1], oz, origin[0], origin[1], dpz.object(), xl_end[0],
                          xl_end[1], oz, il_end[0], il_end[1], oz});
}

py::dict parm_from_vidx(const State &s, py::handle vidx, py::handle survey, py::handle kwargs) {
    py::object step = steal(PyObject_GetAttr(survey.ptr(), s.key[STEP].ptr()));
    auto il = unpack<2>(s, item(step, s.key[ILINE]), "the survey's step 'iline'");
    auto xl = unpack<2>(s, item(step, s.key[XLINE]), "the survey's step 'xline'");

    Num xl_ncrt = num(s, vidx, XL_NCRT);
    Num il_ncrt = num(s, vidx, IL_NCRT);
    Num trdx = mul(Num(xl[0]), xl_ncrt), trdy = mul(Num(xl[1]), xl_ncrt);
    Num pndx = mul(Num(il[0]), il_ncrt), pndy = mul(Num(il[1]), il_ncrt);

    py::object ntrace = item(vidx, s.key[XL_AMNT]);
    py::object npanel = item(vidx, s.key[IL_AMNT]);
    py::object nsample = item(vidx, s.key[DP_AMNT]);

    py::object il_frst = item(vidx, s.key[IL_FRST]);
    py::object origin = pair(il_frst, item(vidx, s.key[XL_FRST]));
    py::object xy = call_ln2xy(s, origin, survey);
    py::object trace_start = xy[py::int_(0)], panel_start = xy[py::int_(1)];

    py::object sample_start = item(vidx, s.key[DP_FRST]);
    Num trace_inc = length(s.num, trdx, trdy), panel_inc = length(s.num, pndx, pndy);
    py::object sample_inc = item(vidx, s.key[DP_NCRT]);

    py::dict parm = make_dict<13>(s, s.parm_shape,
                                  {trdx.object(), trdy.object(), pndx.object(), pndy.object(),
                                   ntrace, npanel, nsample, trace_start, panel_start, sample_start,
                                   trace_inc.object(), panel_inc.object(), sample_inc});
    // The options as given, or their defaults, under DATA_PRECISION .. DATA_UNIT.
    for (std::size_t i = 0; i < option_count; ++i) {
        PyObject *given = PyDict_GetItemWithError(kwargs.ptr(), s.key[OPT_PRECISION + i].ptr());
        if (!given && PyErr_Occurred()) throw py::error_already_set();
        PyObject *value = given ? given : s.option_default[i].ptr();
        if (PyDict_SetItem(parm.ptr(), s.key[DATA_PRECISION + i].ptr(), value) < 0) {
            throw py::error_already_set();
        }
    }
    return parm;
}

// round(along / d) from the first non-zero component of a step; only the
// displacement key of the component taken is read.
Num increment(const State &s, py::handle parm, const Num &dx, const Num &dy, K along_x, K along_y,
              const char *both_zero) {
    if (nonzero(s.num, dx)) return round_even(s.num, div(num(s, parm, along_x), dx));
    if (nonzero(s.num, dy)) return round_even(s.num, div(num(s, parm, along_y), dy));
    throw py::value_error(both_zero);
}

py::dict vidx_from_parm(const State &s, py::handle parm, py::handle sgmt) {
    Num dp_frst = num(s, parm, SAMPLE_START);
    Num dp_ncrt = num(s, parm, SAMPLE_INC);
    Num dp_amnt = num(s, parm, NSAMPLE);
    Num dp_last = last(dp_frst, dp_ncrt, dp_amnt);

    Num xl_amnt = num(s, parm, NTRACE);
    Num il_amnt = num(s, parm, NPANEL);

    py::object trace_start = item(parm, s.key[TRACE_START]);
    py::object origin = pair(trace_start, item(parm, s.key[PANEL_START]));
    py::object xy2ln = host_function(s, XY2LN);
    py::object array = to_array(s, origin);
    PyObject *xy2ln_args[] = {array.ptr(), sgmt.ptr()};
    auto first =
        unpack<2>(s, steal(PyObject_Vectorcall(xy2ln.ptr(), xy2ln_args, 2, nullptr)), "xy2ln");
    Num il_frst(first[0]), xl_frst(first[1]);
    py::object get_step = host_function(s, GET_STEP);
    PyObject *get_step_args[] = {sgmt.ptr()};
    auto d = unpack<4>(s, steal(PyObject_Vectorcall(get_step.ptr(), get_step_args, 1, nullptr)),
                       "get_step");  // ILDX, ILDY, XLDX, XLDY

    Num xl_ncrt =
        increment(s, parm, Num(d[2]), Num(d[3]), TRDX, TRDY, "Both XLDX and XLDY are zero.");
    Num xl_last = last(xl_frst, xl_ncrt, xl_amnt);
    Num il_ncrt =
        increment(s, parm, Num(d[0]), Num(d[1]), PNDX, PNDY, "Both ILDX and ILDY are zero.");
    Num il_last = last(il_frst, il_ncrt, il_amnt);

    // Truncation comes last: the LAST values are taken from fractional
    // FRST values and increments as they are.
    Num v[] = {truncate(il_frst), truncate(il_last), truncate(il_ncrt), truncate(il_amnt),
               truncate(xl_frst), truncate(xl_last), truncate(xl_ncrt), truncate(xl_amnt),
               truncate(dp_frst), truncate(dp_last), truncate(dp_ncrt), truncate(dp_amnt)};
    return make_dict<12>(s, s.vidx_shape,
                         {v[0].object(), v[1].object(), v[2].object(), v[3].object(), v[4].object(),
                          v[5].object(), v[6].object(), v[7].object(), v[8].object(), v[9].object(),
                          v[10].object(), v[11].object()});
}

py::dict vxyz_from_parm(const State &s, py::handle parm) {
    Num orx = num(s, parm, TRACE_START);
    Num ory = num(s, parm, PANEL_START);
    Num orz = num(s, parm, SAMPLE_START);
    Num sample_inc = num(s, parm, SAMPLE_INC);
    Num dpz = last(orz, sample_inc, num(s, parm, NSAMPLE));
    Num trdx = num(s, parm, TRDX);
    Num traces = sub(num(s, parm, NTRACE), Num::of_int(1));
    Num trdy = num(s, parm, TRDY);
    Num xlx = add(orx, mul(trdx, traces)), xly = add(ory, mul(trdy, traces));
    Num pndx = num(s, parm, PNDX);
    Num panels = sub(num(s, parm, NPANEL), Num::of_int(1));
    Num pndy = num(s, parm, PNDY);
    Num ilx = add(orx, mul(pndx, panels)), ily = add(ory, mul(pndy, panels));

    const py::object &x = orx.object(), &y = ory.object(), &z = orz.object();
    return make_dict<12>(s, s.vxyz_shape,
                         {x, y, z, x, y, dpz.object(), xlx.object(), xly.object(), z, ilx.object(),
                          ily.object(), z});
}

// Entry points: each binds its arguments as a Python function with the same
// parameters would, messages included.

py::object get_sgmt_from_parm(const State &s, PyObject *const *args, Py_ssize_t nargs,
                              PyObject *kwnames) {
    auto a = fastcall::bind_args<5>("get_sgmt_from_parm",
                                    {"dict_parm", "p1ilno", "p1xlno", "ilstep", "xlstep"}, 1, args,
                                    nargs, kwnames);
    auto param = [&](std::size_t i) {
        return Num(py::reinterpret_borrow<py::object>(a[i] ? a[i] : s.sgmt_default[i - 1].ptr()));
    };
    return sgmt_from_parm(s, a[0], param(1), param(2), param(3), param(4));
}

py::object get_vxyz_from_vidx(const State &s, PyObject *const *args, Py_ssize_t nargs,
                              PyObject *kwnames) {
    auto a = fastcall::bind_args<2>("get_vxyz_from_vidx", {"dict_vidx", "survey"}, 2, args, nargs,
                                    kwnames);
    return vxyz_from_vidx(s, a[0], a[1]);
}

py::object get_parm_from_vidx(const State &s, PyObject *const *args, Py_ssize_t nargs,
                              PyObject *kwnames) {
    py::dict kwargs;
    auto a = fastcall::bind_args<2>("get_parm_from_vidx", {"dict_vidx", "survey"}, 2, args, nargs,
                                    kwnames, &kwargs);
    return parm_from_vidx(s, a[0], a[1], kwargs);
}

py::object get_vidx_from_parm(const State &s, PyObject *const *args, Py_ssize_t nargs,
                              PyObject *kwnames) {
    auto a = fastcall::bind_args<2>("get_vidx_from_parm", {"dict_parm", "dict_sgmt"}, 2, args,
                                    nargs, kwnames);
    return vidx_from_parm(s, a[0], a[1]);
}

py::object get_vxyz_from_parm(const State &s, PyObject *const *args, Py_ssize_t nargs,
                              PyObject *kwnames) {
    auto a = fastcall::bind_args<1>("get_vxyz_from_parm", {"dict_parm"}, 1, args, nargs, kwnames);
    return vxyz_from_parm(s, a[0]);
}

py::object main_function(const State &, PyObject *const *args, Py_ssize_t nargs,
                         PyObject *kwnames) {
    fastcall::bind_args<0>("main", {}, 0, args, nargs, kwnames);
    return py::none();
}

// Each doc starts with the signature in CPython's own form: it becomes
// __text_signature__ (for inspect and the stubs) and is cut from __doc__.
PyMethodDef methods[] = {
    fastcall::function<get_sgmt_from_parm>(
        "get_sgmt_from_parm",
        "get_sgmt_from_parm(dict_parm, p1ilno=0, p1xlno=0, ilstep=12.5, xlstep=12.5)\n--\n\n"
        "Convert parm to sgmt. Default P1_ILNO and P1_XLNO are both zero.\n"
        "Default inline and crossline step length is 12.5 meters.\n"
        "The segment is derived from the grid and the coordinates held in the parameters."),
    fastcall::function<get_vxyz_from_vidx>("get_vxyz_from_vidx",
                                           "get_vxyz_from_vidx(dict_vidx, survey)\n--\n\n"),
    fastcall::function<get_parm_from_vidx>("get_parm_from_vidx",
                                           "get_parm_from_vidx(dict_vidx, survey, **kwargs)\n--\n\n"
                                           "dataPrecision=4\n"
                                           "dataVelType='amplitude'\n"
                                           "depthOutput='POSITIVE'\n"
                                           "traceUnit='METERS'\n"
                                           "panelUnit='METERS'\n"
                                           "sampleUnit='MSECS'\n"
                                           "dataUnit='METERSPERSEC'\n"
                                           "Convert vidx to parm"),
    fastcall::function<get_vidx_from_parm>("get_vidx_from_parm",
                                           "get_vidx_from_parm(dict_parm, dict_sgmt)\n--\n\n"
                                           "Convert parm to vidx (volume index)"),
    fastcall::function<get_vxyz_from_parm>("get_vxyz_from_parm",
                                           "get_vxyz_from_parm(dict_parm)\n--\n\n"
                                           "Convert parm to vxyz (volume corners xyz)"),
    fastcall::function<main_function>("main", "main()\n--\n\n"),
};

}  // namespace

PYBIND11_MODULE(surveycalc, m) {
    m.doc() = "\nConvert parameter dictionaries of cube.\n";

    State &s = fastcall::attach_state<State>(m);
    s.globals = py::reinterpret_borrow<py::dict>(m.attr("__dict__"));
    s.num.sqrt = bridge::bind(m, "math", "sqrt");
    py::module_ numpy = bridge::bind_module(m, "numpy", "np");
    s.array = numpy.attr("array");
    s.ndarray = numpy.attr("ndarray");
    for (std::size_t row = 0; row < 3; ++row) {
        for (std::size_t col = 0; col < 2; ++col) s.row_index[row][col] = py::make_tuple(row, col);
    }
    bridge::bind(m, "gemlo.utils.convert_grid", "ln2xy");
    bridge::bind(m, "gemlo.utils.convert_grid", "xy2ln");
    bridge::bind(m, "gemlo.utils.convert_grid", "get_step");
    s.num.round = py::module_::import("builtins").attr("round");
    for (std::size_t i = 0; i < KEY_COUNT; ++i) s.key[i] = bridge::intern(key_names[i]);
    s.survey_kwname = py::make_tuple(s.key[SURVEY]);
    auto shape = [&](K first, K last) {
        Shape out{py::dict(), first};
        for (std::size_t k = first; k <= last; ++k) out.keys[s.key[k]] = py::none();
        return out;
    };
    s.parm_shape = shape(TRDX, DATA_UNIT);
    s.vidx_shape = shape(IL_FRST, DP_AMNT);
    s.vxyz_shape = shape(AXIS_ORX, AXIS_ILZ);
    s.sgmt_shape = shape(P1_ILNO, P3_CRSY);
    s.option_default = {
        py::int_(4),       py::str("amplitude"), py::str("POSITIVE"),    py::str("METERS"),
        py::str("METERS"), py::str("MSECS"),     py::str("METERSPERSEC")};
    s.sgmt_default = {py::int_(0), py::int_(0), py::float_(12.5), py::float_(12.5)};

    fastcall::add_functions(m, methods);
}
