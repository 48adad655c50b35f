"""Conversions between the parameter, volume index, corner and segment dictionaries."""

import math
import subprocess
import sys
import types
from collections.abc import Mapping

import numpy as np
import pytest

import surveycalc_reference as ref
from gemlo.utils import surveycalc as sc
from gemlo.utils.convert_grid import ln2xy

SGMT_KEYS = [f"P{i}_{k}" for i in (1, 2, 3) for k in ("ILNO", "XLNO", "CRSX", "CRSY")]
VIDX_KEYS = [f"{a}_{k}" for a in ("IL", "XL", "DP") for k in ("FRST", "LAST", "NCRT", "AMNT")]
VXYZ_KEYS = [f"AXIS_{c}{a}" for c in ("OR", "DP", "XL", "IL") for a in "XYZ"]
PARM_KEYS = [
    "TRDX",
    "TRDY",
    "PNDX",
    "PNDY",
    "NTRACE",
    "NPANEL",
    "NSAMPLE",
    "TRACE_START",
    "PANEL_START",
    "SAMPLE_START",
    "TRACE_INC",
    "PANEL_INC",
    "SAMPLE_INC",
    "DATA_PRECISION",
    "DATA_VEL_TYPE",
    "DEPTH_OUTPUT",
    "TRACE_UNIT",
    "PANEL_UNIT",
    "SAMPLE_UNIT",
    "DATA_UNIT",
]

# 101 traces 25 apart along x, 51 panels 25 apart along y, origin (1000, 2000).
PARM = {
    "TRACE_START": 1000,
    "PANEL_START": 2000,
    "SAMPLE_START": 0.0,
    "SAMPLE_INC": 0.5,
    "NSAMPLE": 11,
    "TRDX": 25,
    "TRDY": 0,
    "NTRACE": 101,
    "PNDX": 0,
    "PNDY": 25,
    "NPANEL": 51,
}
VIDX = ref.ROTATED_VIDX


class Recorder(Mapping):
    """A read-only mapping that records every key read from it."""

    def __init__(self, data):
        self._data, self.reads = dict(data), []

    def __getitem__(self, key):
        self.reads.append(key)
        return self._data[key]

    def __iter__(self):
        return iter(self._data)

    def __len__(self):
        return len(self._data)


@pytest.fixture
def fake_grid(monkeypatch):
    """Replaces xy2ln and get_step with fakes giving the values set on the returned namespace."""
    host = types.SimpleNamespace(first=(100.0, 200.0), step=(0.0, 12.5, 12.5, 0.0))
    monkeypatch.setattr(sc, "xy2ln", lambda xy, sgmt: host.first)
    monkeypatch.setattr(sc, "get_step", lambda sgmt: host.step)
    return host


def test_documentation_strings():
    assert sc.__doc__ == "\nConvert parameter dictionaries of cube.\n"
    assert sc.get_sgmt_from_parm.__doc__.startswith(
        "Convert parm to sgmt. Default P1_ILNO and P1_XLNO are both zero.\n"
    )
    assert "12.5 meters" in sc.get_sgmt_from_parm.__doc__
    doc = sc.get_parm_from_vidx.__doc__
    assert doc.startswith("dataPrecision=4\n") and doc.endswith("\nConvert vidx to parm")
    assert sc.get_vidx_from_parm.__doc__ == "Convert parm to vidx (volume index)"
    assert sc.get_vxyz_from_parm.__doc__ == "Convert parm to vxyz (volume corners xyz)"
    assert sc.get_vxyz_from_vidx.__doc__ is None and sc.main.__doc__ is None
    assert sc.main() is None


def test_sgmt_of_an_unrotated_cube():
    sgmt = sc.get_sgmt_from_parm(PARM)
    assert list(sgmt) == SGMT_KEYS
    assert list(sgmt.values()) == [0, 0, 1000, 2000, 0, 200, 3500, 2000, 100, 0, 1000, 3250]
    assert all(type(v) is int for v in sgmt.values())


@pytest.mark.parametrize(
    "trdx, trdy, ntrace, xlstep, added",
    [
        (3, 4, 11, 12.5, 4),  # rotated: axis length 50
        (12.4999999, 0, 2, 12.5, 0),  # a little short of a step is truncated
        (-25.0, 0, 101, 12.5, 200),  # a length has no sign
        (25, 0, 1, 12.5, 0),  # one trace: P2 is P1
        (25, 0, 101, 25, 100),  # an int step
    ],
)
def test_sgmt_counts_whole_steps_along_the_crossline_axis(trdx, trdy, ntrace, xlstep, added):
    parm = dict(PARM, TRDX=trdx, TRDY=trdy, NTRACE=ntrace)
    sgmt = sc.get_sgmt_from_parm(parm, 7, p1xlno=30, xlstep=xlstep)
    assert (sgmt["P2_ILNO"], sgmt["P2_XLNO"]) == (7, 30 + added)
    extent = (trdx * (ntrace - 1), trdy * (ntrace - 1))
    assert (sgmt["P2_CRSX"], sgmt["P2_CRSY"]) == (1000 + extent[0], 2000 + extent[1])
    assert sgmt["P3_ILNO"] == 7 + 100 and sgmt["P3_XLNO"] == 30


@pytest.mark.parametrize("step", ["ilstep", "xlstep"])
def test_sgmt_with_a_zero_step_length(step):
    with pytest.raises(ZeroDivisionError):
        sc.get_sgmt_from_parm(dict(PARM, NTRACE=1, NPANEL=1), **{step: 0})


@pytest.mark.parametrize(
    "step, parm, expected",
    [
        ((0.0, 12.5, 12.5, 0.0), {"TRDX": 25, "PNDY": 25}, (2, 2)),  # inline from PNDY
        ((12.5, 0, 0, 12.5), {"TRDY": 25, "PNDX": 50}, (4, 2)),  # crossline from TRDY
        ((0, 10.0, 10.0, 0), {"TRDX": 25, "PNDY": 35}, (4, 2)),  # halves go to even
        ((0, -10.0, 10.0, 0), {"TRDX": -25, "PNDY": 25}, (-2, -2)),
        ((np.float64(0), 1e-300, np.float32(4), 0), {"TRDX": 8, "PNDY": 3e-300}, (3, 2)),
    ],
)
def test_vidx_increments_from_the_first_nonzero_step(fake_grid, step, parm, expected):
    fake_grid.step = step
    base = {
        k: PARM[k]
        for k in (
            "SAMPLE_START",
            "SAMPLE_INC",
            "NSAMPLE",
            "NTRACE",
            "NPANEL",
            "TRACE_START",
            "PANEL_START",
        )
    }
    vidx = sc.get_vidx_from_parm(Recorder({**base, **parm}), {})
    assert (vidx["IL_NCRT"], vidx["XL_NCRT"]) == expected  # only the keys of the branch exist


@pytest.mark.parametrize(
    "step, message",
    [
        ((0, 0, 0, 0), "Both XLDX and XLDY are zero."),
        ((0, 0.0, 1.0, 0), "Both ILDX and ILDY are zero."),
    ],
)
def test_vidx_with_zero_steps(fake_grid, step, message):
    fake_grid.step = step
    with pytest.raises(ValueError) as excinfo:
        sc.get_vidx_from_parm(PARM, {})
    assert str(excinfo.value) == message


@pytest.mark.parametrize(
    "first, expected",
    [
        ((100.7, 200.25), (100, 104, 200, 400)),  # 100.7 + 2 * 2, 200.25 + 2 * 100
        ((-2.5, -2.5), (-2, 1, -2, 197)),  # toward zero, not down
        ((np.float64(99.5), np.float32(0.5)), (99, 103, 0, 200)),
    ],
)
def test_vidx_truncates_only_at_the_end(fake_grid, first, expected):
    fake_grid.first = first
    vidx = sc.get_vidx_from_parm(dict(PARM, NPANEL=3, PNDY=25), {})
    assert list(vidx) == VIDX_KEYS
    assert tuple(vidx[k] for k in ("IL_FRST", "IL_LAST", "XL_FRST", "XL_LAST")) == expected
    assert [vidx[k] for k in ("DP_FRST", "DP_LAST", "DP_NCRT", "DP_AMNT")] == [0, 5, 0, 11]
    assert all(type(v) is int for v in vidx.values())


@pytest.mark.parametrize(
    "name, host, result, args",
    [
        ("get_vidx_from_parm", "xy2ln", lambda xy, sgmt: (1.0, 2.0, 3.0), (PARM, {})),
        ("get_vidx_from_parm", "xy2ln", lambda xy, sgmt: np.array([1.0]), (PARM, {})),
        ("get_vidx_from_parm", "get_step", lambda sgmt: iter([0.0, 12.5, 12.5]), (PARM, {})),
        ("get_vidx_from_parm", "get_step", lambda sgmt: iter(lambda: 1.0, None), (PARM, {})),
        ("get_vxyz_from_vidx", "ln2xy", lambda lines, survey: np.zeros((3, 3)), (VIDX, None)),
        ("get_vxyz_from_vidx", "ln2xy", lambda lines, survey: [[1, 2], [3], [5, 6]], (VIDX, None)),
    ],
)
def test_host_results_of_the_wrong_arity(monkeypatch, fake_grid, name, host, result, args):
    monkeypatch.setattr(sc, host, result)
    with pytest.raises(ValueError, match="expected"):
        getattr(sc, name)(*args)


@pytest.mark.parametrize(
    "step",
    [{"iline": (1.0, 2.0, 3.0), "xline": (1.0, 0.0)}, {"iline": (1.0, 0.0), "xline": [1.0]}],
)
def test_parm_with_a_survey_step_of_the_wrong_arity(step):
    with pytest.raises(ValueError, match="expected 2"):
        sc.get_parm_from_vidx(VIDX, types.SimpleNamespace(step=step))


@pytest.mark.parametrize(
    "dx, dy",
    [
        (3, 4),
        (0.1, 0.2),
        (np.float32(0.1), np.float32(0.2)),
        (393023209988, 981892367999),  # the int squares are exact, their doubles not
    ],
)
def test_parm_lengths_are_python_square_roots(monkeypatch, dx, dy):
    monkeypatch.setattr(sc, "ln2xy", lambda lines, survey: lines)
    survey = types.SimpleNamespace(step={"iline": (dx, dy), "xline": (dy, dx)})
    parm = sc.get_parm_from_vidx(dict(VIDX, IL_NCRT=1, XL_NCRT=1), survey)
    assert parm["PANEL_INC"] == math.sqrt(dx * dx + dy * dy) == parm["TRACE_INC"]
    assert type(parm["PANEL_INC"]) is float and type(parm["PNDX"]) is type(dx)


def test_parm_options_and_number_types(rotated_grid):
    survey, _ = rotated_grid
    parm = sc.get_parm_from_vidx(VIDX, survey)
    assert list(parm) == PARM_KEYS
    assert list(parm.values())[-7:] == [
        4,
        "amplitude",
        "POSITIVE",
        "METERS",
        "METERS",
        "MSECS",
        "METERSPERSEC",
    ]
    assert parm["TRACE_INC"] == 50.0 and parm["PANEL_INC"] == 50.0
    assert type(parm["TRACE_START"]) is np.float64  # as the host's ln2xy gives it
    assert type(parm["SAMPLE_INC"]) is int and type(parm["TRDX"]) is float

    given = sc.get_parm_from_vidx(
        dict_vidx=VIDX, survey=survey, dataPrecision=8, bogus=1, dataUnit="FEETPERSEC"
    )
    assert (given["DATA_PRECISION"], given["DATA_UNIT"]) == (8, "FEETPERSEC")
    assert "bogus" not in given and list(given) == PARM_KEYS


@pytest.mark.parametrize("kind", [int, float, np.float32, np.float64])
def test_corners_keep_number_types(kind):
    parm = {k: kind(v) for k, v in dict(PARM, SAMPLE_INC=2).items()}
    vxyz = sc.get_vxyz_from_parm(parm)
    assert list(vxyz) == VXYZ_KEYS
    assert all(type(v) is kind for v in vxyz.values())
    assert [vxyz[k] for k in VXYZ_KEYS] == [
        1000,
        2000,
        0,
        1000,
        2000,
        20,
        3500,
        2000,
        0,
        1000,
        3250,
        0,
    ]


def test_round_trip_on_a_rotated_grid(rotated_grid):
    survey, sgmt = rotated_grid
    parm = sc.get_parm_from_vidx(VIDX, survey)
    assert sc.get_vidx_from_parm(parm, sgmt) == VIDX

    vxyz = sc.get_vxyz_from_vidx(VIDX, survey)
    corners = ln2xy(np.array([[1000, 2000], [1000, 2400], [1200, 2000]]), survey=survey)
    got = [vxyz[f"AXIS_{c}{a}"] for c in ("OR", "XL", "IL") for a in "XY"]
    assert got == corners.ravel().tolist()
    assert (vxyz["AXIS_DPX"], vxyz["AXIS_DPY"]) == (vxyz["AXIS_ORX"], vxyz["AXIS_ORY"])
    assert vxyz["AXIS_ORZ"] == vxyz["AXIS_XLZ"] == vxyz["AXIS_ILZ"] == 0
    assert vxyz["AXIS_DPZ"] == 2000
    assert sc.get_vxyz_from_parm(parm) == pytest.approx(vxyz)

    # The segment rebuilt from the parameters with the grid's own step lengths.
    rebuilt = sc.get_sgmt_from_parm(parm, 1000, 2000, ilstep=25.0, xlstep=12.5)
    assert rebuilt == pytest.approx(survey.sgmt(1200, 2400))


# name: (input, its partner argument, the keys read, in order)
READS = {
    "get_sgmt_from_parm": (
        PARM,
        None,
        ("TRACE_START", "PANEL_START", "TRDX", "NTRACE", "TRDY", "PNDX", "NPANEL", "PNDY"),
    ),
    "get_vxyz_from_parm": (
        PARM,
        None,
        (
            "TRACE_START",
            "PANEL_START",
            "SAMPLE_START",
            "SAMPLE_INC",
            "NSAMPLE",
            "TRDX",
            "NTRACE",
            "TRDY",
            "PNDX",
            "NPANEL",
            "PNDY",
        ),
    ),
    "get_vidx_from_parm": (
        PARM,
        "sgmt",
        (
            "SAMPLE_START",
            "SAMPLE_INC",
            "NSAMPLE",
            "NTRACE",
            "NPANEL",
            "TRACE_START",
            "PANEL_START",
            "TRDX",
            "PNDX",
        ),
    ),
    "get_vxyz_from_vidx": (
        VIDX,
        "survey",
        ("IL_FRST", "XL_FRST", "XL_LAST", "IL_LAST", "DP_FRST", "DP_NCRT", "DP_AMNT"),
    ),
    "get_parm_from_vidx": (
        VIDX,
        "survey",
        (
            "XL_NCRT",
            "IL_NCRT",
            "XL_AMNT",
            "IL_AMNT",
            "DP_AMNT",
            "IL_FRST",
            "XL_FRST",
            "DP_FRST",
            "DP_NCRT",
        ),
    ),
}


def convert(name, data, grid):
    survey, sgmt = grid
    partner = {None: (), "survey": (survey,), "sgmt": (sgmt,)}[READS[name][1]]
    return getattr(sc, name)(data, *partner)


@pytest.mark.parametrize("name", READS)
def test_keys_are_read_in_step_order_and_inputs_are_left_alone(rotated_grid, name):
    data, _, reads = READS[name]
    recorder = Recorder(data)
    convert(name, recorder, rotated_grid)
    assert recorder.reads == list(reads)
    before = dict(data)
    convert(name, types.MappingProxyType(data), rotated_grid)
    assert data == before


@pytest.mark.parametrize("name, key", [(n, k) for n, (_, _, keys) in READS.items() for k in keys])
def test_a_missing_key_is_named(rotated_grid, name, key):
    data = {k: v for k, v in READS[name][0].items() if k != key}
    with pytest.raises(KeyError) as excinfo:
        convert(name, data, rotated_grid)
    assert excinfo.value.args == (key,)


def _sgmt(dict_parm, p1ilno=0, p1xlno=0, ilstep=12.5, xlstep=12.5):
    pass


def _parm(dict_vidx, survey, **kwargs):
    pass


def _corners(dict_vidx, survey):
    pass


def _main():
    pass


@pytest.mark.parametrize(
    "name, twin, args, kwargs",
    [
        ("get_sgmt_from_parm", _sgmt, (), {}),
        ("get_sgmt_from_parm", _sgmt, (1, 2, 3, 4, 5, 6), {}),
        ("get_sgmt_from_parm", _sgmt, (PARM,), {"dict_parm": PARM}),
        ("get_sgmt_from_parm", _sgmt, (PARM,), {"p1": 0}),
        ("get_parm_from_vidx", _parm, (), {"dataPrecision": 8}),
        ("get_parm_from_vidx", _parm, (1, 2, 3), {}),
        ("get_vxyz_from_vidx", _corners, (VIDX,), {}),
        ("get_vxyz_from_vidx", _corners, (), {"survey": None, "extra": 1}),
        ("main", _main, (1,), {}),
    ],
)
def test_arguments_bind_as_in_python(name, twin, args, kwargs):
    with pytest.raises(TypeError) as expected:
        twin(*args, **kwargs)
    with pytest.raises(TypeError) as got:
        getattr(sc, name)(*args, **kwargs)
    assert str(got.value) == str(expected.value).replace(twin.__name__, name)


def test_load_fails_without_a_host_conversion():
    script = (
        "import sys, types\n"
        "fake = types.ModuleType('gemlo.utils.convert_grid')\n"
        "fake.ln2xy = fake.get_step = lambda *a: None\n"
        "sys.modules['gemlo.utils.convert_grid'] = fake\n"
        "try:\n"
        "    import gemlo.utils.surveycalc\n"
        "except ImportError as e:\n"
        "    print(e)\n"
    )
    out = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, check=True
    ).stdout
    assert "xy2ln" in out and "convert_grid" in out


@pytest.mark.filterwarnings("ignore::RuntimeWarning")  # numpy's divisions by zero, on both sides
def test_matches_python_on_random_mixed_number_types(monkeypatch):
    """The compiled arithmetic keeps Python's values and types, whatever numbers come in."""
    rng = np.random.default_rng(7)
    kinds = [int, float, np.float32, np.float64, np.int64, np.int32]

    def number(zero=0.1):
        if rng.random() < zero:
            return rng.choice([0, 0.0, np.float64(0.0)])
        kind = kinds[rng.integers(len(kinds))]
        value = rng.uniform(-1e4, 1e4) if rng.random() < 0.5 else rng.integers(-50, 50) + 0.5
        return kind(round(value)) if kind in (int, np.int64, np.int32) else kind(value)

    host = types.SimpleNamespace()
    for module in (sc, ref):
        monkeypatch.setattr(
            module,
            "ln2xy",
            lambda lines, survey: host.xy[: len(lines)] if np.ndim(lines) == 2 else host.xy[0],
        )
        monkeypatch.setattr(module, "xy2ln", lambda xy, sgmt: host.first)
        monkeypatch.setattr(module, "get_step", lambda sgmt: host.step)

    def outcome(function, *args):
        try:
            result = function(*args)
        except (ValueError, ZeroDivisionError, OverflowError) as error:
            return type(error)
        return [(k, v, type(v)) for k, v in result.items()]

    for _ in range(2000):
        host.xy = [(number(), number()) for _ in range(3)]
        host.first = (number(), number())
        host.step = tuple(number(zero=0.4) for _ in range(4))
        survey = types.SimpleNamespace(
            step={"iline": (number(), number()), "xline": (number(), number())}
        )
        parm = {k: number() for k in PARM if k not in ("NTRACE", "NPANEL", "NSAMPLE")}
        parm.update(
            NTRACE=int(rng.integers(1, 500)),
            NPANEL=np.int64(rng.integers(1, 500)),
            NSAMPLE=int(rng.integers(1, 500)),
            PNDX=number(),
            TRDY=number(),
        )
        vidx = {k: number() for k in VIDX}
        steps = dict(p1ilno=number(), p1xlno=number(), ilstep=number(), xlstep=number())
        for name, args in [
            ("get_sgmt_from_parm", (parm, *steps.values())),
            ("get_vxyz_from_vidx", (vidx, survey)),
            ("get_parm_from_vidx", (vidx, survey)),
            ("get_vidx_from_parm", (parm, {})),
            ("get_vxyz_from_parm", (parm,)),
        ]:
            assert outcome(getattr(sc, name), *args) == outcome(getattr(ref, name), *args), name
