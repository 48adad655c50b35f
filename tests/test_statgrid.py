"""The property distribution table, and its percentiles against numpy.percentile."""

import math
import warnings
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from qtpy.QtCore import Qt
from qtpy.QtWidgets import QApplication, QLabel, QPushButton, QTableWidget

import gemlo.config.base
from gemlo.widgets import statgrid

POINTS = (0, 10, 50, 90, 100)
HEADERS = ["Name", "Min", "P10", "P50", "P90", "Max"]
KERNEL_DTYPES = [
    np.float32,
    np.float64,
    np.int8,
    np.int16,
    np.int32,
    np.int64,
    np.uint8,
    np.uint16,
    np.uint32,
    np.uint64,
]


def percentiles(data):
    prop = {"array1d": data}
    statgrid.add_array_percentile(prop)
    return prop["arrayPercentiles"]


def numpy_percentile(data, p):
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        return np.percentile(data, p)


def expected(data, p):
    """numpy's result; where numpy's arithmetic leaves the data, what the formula means.

    The formula's value v(lo) + (r - lo) * (v(lo + 1) - v(lo)), r = p / 100 * (n - 1), is
    returned as a Fraction with the neighbours when it is finite and numpy's is not trusted.
    """
    want = numpy_percentile(data, p)
    flat = np.sort(data, axis=None)
    if flat.dtype.kind == "f" and np.isnan(flat).any():
        return want
    n = flat.size
    index = (n - 1) * (p / 100)
    lo = min(math.floor(index), n - 1)
    hi = min(lo + 1, n - 1)
    a, b = flat[lo].item(), flat[hi].item()
    if flat.dtype.kind == "f" and (math.isinf(a) or math.isinf(b)):
        if a == b or index == lo:
            return type(want)(a)
        return type(want)(
            math.nan if math.isinf(a) and math.isinf(b) else a if math.isinf(a) else b
        )
    if flat.dtype.kind == "f":
        with np.errstate(over="ignore"):
            overflows = math.isinf(flat.dtype.type(b) - flat.dtype.type(a))
    else:
        overflows = b - a > np.iinfo(flat.dtype).max
    if not overflows:
        return want
    exact = Fraction(a) + (Fraction(p, 100) * (n - 1) - lo) * (Fraction(b) - Fraction(a))
    return exact, a, b


def check(data, got=None):
    got = percentiles(data) if got is None else got
    assert len(got) == len(POINTS)
    for p, value in zip(POINTS, got, strict=True):
        want = expected(data, p)
        result_type = (
            np.float32 if data.dtype.kind + str(data.dtype.itemsize) == "f4" else np.float64
        )
        assert type(value) is result_type, p
        if isinstance(want, tuple):
            # A difference wider than the dtype: the exact formula, to a few units
            # of the last place of the neighbours and of the weight, never outside them.
            exact, a, b = want
            ulp = Fraction(float(np.finfo(result_type).eps)) * (
                Fraction(max(abs(a), abs(b))) + (Fraction(b) - Fraction(a)) * data.size
            )
            assert a <= value <= b and abs(Fraction(float(value)) - exact) <= 4 * ulp, p
        elif np.isnan(want):
            assert np.isnan(value), p
        else:
            assert value == want, (p, value, want)
            if want != 0:  # the sign of a zero at a rank is numpy's arbitrary choice
                assert str(value) == str(want), p


@st.composite
def arrays(draw):
    """Arrays of every kernel dtype and layout, with duplicates, extremes and NaNs."""
    dtype = np.dtype(draw(st.sampled_from(KERNEL_DTYPES)))
    info = np.finfo(dtype) if dtype.kind == "f" else np.iinfo(dtype)
    # The extremes make differences that overflow; infinities and NaN the special ranks.
    extremes = [info.min, info.max, 0] + ([-np.inf, np.inf] if dtype.kind == "f" else [])
    extremes += [np.nan] if dtype.kind == "f" and draw(st.booleans()) else []
    elements = st.one_of(hnp.from_dtype(dtype, allow_nan=False), st.sampled_from(extremes))
    if draw(st.booleans()):  # few distinct values, many times each
        elements = st.sampled_from(draw(st.lists(elements, min_size=1, max_size=4)))
    shape = draw(hnp.array_shapes(min_dims=1, max_dims=3, min_side=1, max_side=7))
    data = draw(hnp.arrays(dtype, shape, elements=elements))
    layout = draw(st.sampled_from(["plain", "reversed", "strided", "transposed", "swapped"]))
    if layout == "reversed":
        data = data[(slice(None, None, -1),) * data.ndim]
    elif layout == "strided":
        wide = np.zeros(tuple(2 * s for s in data.shape), dtype)
        wide[(slice(None, None, 2),) * data.ndim] = data
        data = wide[(slice(None, None, 2),) * data.ndim]
    elif layout == "transposed":
        data = data.T
    elif layout == "swapped":
        data = data.astype(dtype.newbyteorder())
    return data


@settings(max_examples=400, deadline=None)
@given(arrays())
def test_percentiles_are_numpys(data):
    check(data)


@settings(max_examples=12, deadline=None)
@given(
    st.integers(0, 2**32 - 1),
    st.sampled_from(["normal", "quantised", "narrow", "spiky"]),
    st.sampled_from([np.float32, np.float64, np.int16, np.int64]),
    st.one_of(st.integers(1, 1000), st.integers(300_000, 700_000)),
)
def test_large_arrays_are_numpys(seed, kind, dtype, size):
    rng = np.random.default_rng(seed)
    values = rng.standard_normal(size) * 1000
    if kind == "quantised":
        values = np.round(values / 20)
    elif kind == "narrow":
        values = 7 + rng.integers(0, 3, size)
    elif kind == "spiky":
        values[rng.integers(0, size, 3)] = [-30000, 0, 30000]
    check(values.astype(dtype))


@pytest.mark.parametrize("dtype", [np.float32, np.int64, np.dtype(">f8")])
def test_memory_mapped_arrays_are_read_in_place(tmp_path, dtype):
    path = tmp_path / "cube.bin"
    rng = np.random.default_rng(5)
    rng.standard_normal(5 * 40 * 30).astype(dtype).tofile(path)
    cube = np.memmap(path, dtype=dtype, mode="r", shape=(5, 40, 30))
    check(cube)
    check(cube[::2, ::-3, 1:])


@pytest.mark.filterwarnings("ignore:Warning. 'partition' will ignore the 'mask'")
@pytest.mark.parametrize(
    "data",
    [
        np.array([1.5, -2, 3, 2.25], np.float16),
        np.array([3, 1.5, 2], dtype=object),
        [4, 1, 2.5],
        np.ma.masked_array([1.0, 5.0, 3.0]),
        np.array(["2020-01-01", "2021-01-01"], "M8[D]"),
    ],
    ids=["float16", "object", "list", "masked", "dates"],
)
def test_other_kinds_are_left_to_numpy(data):
    got = percentiles(data)
    for p, value in zip(POINTS, got, strict=True):
        want = np.percentile(data, p)
        assert type(value) is type(want) and value == want


@pytest.mark.parametrize(
    "data", [np.array([True, False]), np.array([1 + 2j, 3j])], ids=["bool", "complex"]
)
def test_numpys_errors_pass_through(data):
    with pytest.raises(TypeError):
        np.percentile(data, 10)
    with pytest.raises(TypeError):
        percentiles(data)


@pytest.mark.parametrize(
    "data",
    [np.zeros(0, np.float32), np.zeros((3, 0), np.int8), np.zeros(0, np.float16), []],
    ids=["float32", "int8 3x0", "float16", "list"],
)
def test_no_values_is_a_clear_error(data):
    with pytest.raises(ValueError, match="array with no values"):
        percentiles(data)


def test_mended_faults():
    # numpy 2.4 gives nan, -128.1 and 127.5 here: values outside the data.
    assert percentiles(np.array([1, 2, np.inf])) == [1.0, 1.2, 2.0, np.inf, np.inf]
    assert percentiles(np.array([-np.inf, 1, 2]))[:2] == [-np.inf, -np.inf]
    assert [str(v) for v in percentiles(np.array([-128, 127], np.int8))] == [
        "-128.0",
        "-102.5",
        "-0.5",
        "101.5",
        "127.0",
    ]
    assert percentiles(np.array([-3e38, 3e38], np.float32))[0] == np.float32(-3e38)


# The table


def cells(table):
    return [
        [table.item(r, c).text() if table.item(r, c) else None for c in range(table.columnCount())]
        for r in range(table.rowCount())
    ]


def headers(table):
    return [table.horizontalHeaderItem(c).text() for c in range(table.columnCount())]


@pytest.fixture
def translated(monkeypatch):
    monkeypatch.setattr(gemlo.config.base._translation, "gettext", lambda text: "T:" + text)


def test_table_rows(qtbot):
    empty = statgrid.PropertyDistribtionTable({})
    assert (empty.rowCount(), headers(empty)) == (0, HEADERS)

    tens = np.arange(0, 50, 10, dtype=np.int32)
    dict_prop = {
        "b": {"array2d": tens.reshape(1, 5)},
        "a": {"array3d": np.array([[[7.0]]], np.float32)},
        "c": {"array1d": tens, "array3d": np.full((2, 2, 2), 99.0)},
    }
    table = statgrid.PropertyDistribtionTable(dict_prop)
    qtbot.addWidget(table)
    assert cells(table) == [
        ["a"] + ["7.0"] * 5,
        ["b", "0.0", "4.0", "20.0", "36.0", "40.0"],
        ["c", "0.0", "4.0", "20.0", "36.0", "40.0"],
    ]
    assert table.item(0, 1).flags() == statgrid.QTableWidgetItem("x").flags()
    assert type(dict_prop["a"]["arrayPercentiles"][0]) is np.float32


def test_panel_caches_and_refreshes_the_same_dictionary(qtbot, translated):
    dict_prop = {"vp": {"array1d": np.arange(5.0)}}
    panel = statgrid.dict_prop_table(dict_prop)
    qtbot.addWidget(panel)
    table, label, button = (panel.findChild(t) for t in (QTableWidget, QLabel, QPushButton))
    assert (label.text(), button.text()) == ("T:Property value distribution", "T:Refresh")
    assert headers(table) == HEADERS

    # Changed in place: the builder keeps the cached percentiles, a refresh recomputes.
    dict_prop["vp"]["array1d"] *= 10
    assert cells(statgrid.PropertyDistribtionTable(dict_prop))[0][5] == "4.0"
    dict_prop["a"] = {"array1d": np.array([1, 2])}
    qtbot.mouseClick(button, Qt.LeftButton)
    assert cells(table) == [
        ["a", "1.0", "1.1", "1.5", "1.9", "2.0"],
        ["vp", "0.0", "4.0", "20.0", "36.0", "40.0"],
    ]
    del dict_prop["vp"]
    statgrid.refresh(table, dict_prop)
    assert cells(table) == [["a", "1.0", "1.1", "1.5", "1.9", "2.0"]]


def test_failing_refresh_leaves_what_it_had_not_reached(qtbot):
    table = statgrid.PropertyDistribtionTable(
        {k: {"array1d": np.array([i])} for i, k in enumerate("xyz")}
    )
    qtbot.addWidget(table)
    broken = {
        "p": {"array1d": np.array([5])},
        "q": {"unit": "m"},
        "r": {"array1d": np.array([6])},
        "s": {"array1d": np.array([7])},
    }
    with pytest.raises(ValueError, match="^Unknown value$"):
        statgrid.refresh(table, broken)
    assert cells(table) == [
        ["p"] + ["5.0"] * 5,
        ["y"] + ["1.0"] * 5,
        ["z"] + ["2.0"] * 5,
        [None] * 6,
    ]
    assert "arrayPercentiles" not in broken["r"]

    with pytest.raises(ValueError, match="holds 3 values"):
        statgrid.PropertyDistribtionTable({"p": {"arrayPercentiles": [1, 2, 3]}})
    with pytest.raises(ValueError, match="^Unknown value$"):
        statgrid.add_array_percentile({"array": np.ones(3)})


def test_documentation():
    assert statgrid.add_array_percentile.__doc__ == "-i- prop : dict, for example cube.prop[prop]"
    assert statgrid.PropertyDistribtionTable.__doc__.endswith(
        "Return a table widget of properties data value distribution."
    )
    assert statgrid.dict_prop_table.__doc__ == " table with label "
    assert statgrid.refresh.__doc__ is None


# The application's statistics panel


class Probe:
    """Values that note the cursor shown while numpy reads them."""

    def __init__(self, values):
        self.values, self.cursors = np.asarray(values), []
        self.dtype = self.values.dtype

    def __array__(self, dtype=None, copy=None):
        cursor = QApplication.overrideCursor()
        self.cursors.append(cursor.shape() if cursor is not None else None)
        return self.values


def test_statistics_panel_follows_the_tree(main_window, tmp_path, monkeypatch):
    from gemlo.data import DataObject
    from gemlo.widgets import statpanel

    tree, panel = main_window.treebase, main_window.stats_panel
    cube = tree.object_data["cube"]
    tree.setCurrentItem(tree.object_item("cube").child(0))  # a property item selects its object
    assert panel.name == "cube"
    rows = {row[0]: row[1:] for row in cells(panel.table)}
    assert rows["amplitude"] == [str(np.percentile(cube.array("amplitude"), p)) for p in POINTS]

    # Changed in place and announced: recomputed.
    cube.array("amplitude")[...] = 3
    tree.sigObjectChanged.emit("cube")
    assert cells(panel.table)[0] == ["amplitude"] + ["3.0"] * 5

    # Arrays on disk are read where they lie; a large object shows the busy cursor.
    path = tmp_path / "big.f32"
    np.arange(24, dtype=np.float32).tofile(path)
    probe = Probe([1.0, 2.0])
    on_disk = DataObject(
        "disk",
        {"mapped": {"array1d": np.memmap(path, np.float32, "r")}, "probe": {"array1d": probe}},
        "array1d",
    )
    monkeypatch.setattr(statpanel, "BUSY_VALUES", 10)
    tree.add_object(on_disk, save=False)
    tree.setCurrentItem(tree.object_item("disk"))
    assert cells(panel.table) == [
        ["mapped", "0.0", "2.3", "11.5", "20.7", "23.0"],
        ["probe", "1.0", "1.1", "1.5", "1.9", "2.0"],
    ]
    assert Qt.WaitCursor in probe.cursors and QApplication.overrideCursor() is None

    # A failing refresh restores the cursor too; removing the object empties the panel.
    on_disk.prop["broken"] = {"unit": "m"}
    with pytest.raises(ValueError, match="Unknown value"):
        panel.refresh()
    assert QApplication.overrideCursor() is None
    tree.remove_object_worker("disk")
    assert panel.name in tree.object_data


def test_cached_percentiles_are_not_stored_in_the_project(qtbot, tmp_path):
    # JSON would bring float32 percentiles back as doubles that print differently.
    from gemlo.data import DataObject
    from gemlo.storage.database import ProjectDatabase

    dob = DataObject("c", {"a": {"array1d": np.full(5, 0.1, np.float32), "unit": "m"}}, "array1d")
    statgrid.add_array_percentile(dob.prop["a"])
    database = ProjectDatabase.create(tmp_path / "p.lmd")
    database.save_object(dob)
    reopened = ProjectDatabase.open(database.path).load_object("c").prop
    assert reopened["a"]["unit"] == "m" and "arrayPercentiles" not in reopened["a"]
    assert cells(statgrid.PropertyDistribtionTable(reopened))[0] == ["a"] + ["0.1"] * 5
