"""SEG-Y import: geometry, samples, the project file, bad input, cancel, the window."""

import errno
import os
import resource
import signal
import sqlite3
import subprocess
import sys
import threading
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pytest
import segyio
from qtpy.QtGui import QImage
from qtpy.QtWidgets import QDialog, QFileDialog, QPushButton

import gemlo
from gemlo.app.__main__ import main
from gemlo.io.segy import HeaderBytes, SegyError, SegyImport
from gemlo.storage.database import ProjectDatabase
from gemlo.utils.convert_grid import Survey, ln2xy

ILINES, XLINES, NS = range(1000, 1010, 2), range(2000, 2007), 11
# A rotated grid at real-world coordinates: 12.5 m per inline number at 32 degrees, 25 m per
# crossline number across it.
GRID = Survey((1000, 2000, 605123.45, 6071234.56), (10.6006, 6.6241), (-13.2481, 21.2012))


def write_segy(path, grid=GRID, fmt=5, inline_sorted=True, ilines=ILINES, xlines=XLINES, ns=NS):
    """Write a cube on `grid` (coordinates in cm, scalar -100); returns its samples and the
    map coordinates of its traces, both indexed [inline, crossline]."""
    rng = np.random.default_rng(len(ilines) * fmt)
    data = rng.standard_normal((len(ilines), len(xlines), ns)).astype(np.float32)
    lines = np.array([[(il, xl) for xl in xlines] for il in ilines])
    xy = np.round(ln2xy(lines.reshape(-1, 2), survey=grid), 2).reshape(*lines.shape)
    layout = segyio.spec()
    layout.format, layout.samples, layout.ilines, layout.xlines = fmt, range(ns), ilines, xlines
    layout.sorting = 2 if inline_sorted else 1
    order = [(i, j) for i in range(len(ilines)) for j in range(len(xlines))]
    if not inline_sorted:
        order.sort(key=lambda ij: (ij[1], ij[0]))
    with segyio.create(path, layout) as f:
        for t, (i, j) in enumerate(order):
            x, y = xy[i, j]
            f.header[t] = {
                189: ilines[i],
                193: xlines[j],
                71: -100,
                181: round(x * 100),
                185: round(y * 100),
            }
            f.trace[t] = data[i, j]
        f.bin.update(hdt=4000, hns=ns)
    return data, xy


def folder_files(path):
    return sorted(p.name for p in path.iterdir())


DTYPES = {
    1: np.float32, 2: np.int32, 3: np.int16, 5: np.float32, 6: np.float64, 7: np.int32,
    8: np.int8, 9: np.int64, 10: np.uint32, 11: np.uint16, 12: np.uint64, 15: np.uint32,
    16: np.uint8,
}  # fmt: skip


def samples_of(fmt, shape, rng):
    """Values that the format holds exactly, its extremes among them."""
    dtype = np.dtype(DTYPES[fmt])
    if fmt == 1:  # at most 21 significant bits: exact in IBM and in float32
        data = rng.integers(-(2**20), 2**20, shape) / 1024.0
    elif dtype.kind == "f":
        data = rng.standard_normal(shape) * 1e3
    else:
        lo, hi = np.iinfo(dtype).min, np.iinfo(dtype).max
        if fmt in (7, 15):
            lo, hi = (-(2**23), 2**23 - 1) if fmt == 7 else (0, 2**24 - 1)
        data = rng.integers(lo, hi, shape, dtype=np.int64 if dtype.kind == "i" else np.uint64,
                            endpoint=True)  # fmt: skip
        data.flat[:2] = lo, hi
    return data.astype(dtype)


@dataclass
class Case:
    fmt: int = 5
    endian: str = "big"
    inline_sorted: bool = True
    ilines: tuple = tuple(range(1000, 1010, 2))
    xlines: tuple = tuple(range(2000, 2007))
    holes: tuple = ()  # (inline, crossline) without a trace
    coordinates: bool = True
    bytes: tuple = (189, 193, 181, 185)
    extended: int = 0  # textual headers after the binary one; -1: ended by the stanza
    delay: int = 0


def write_cube(path, case, ns=NS, grid=GRID):
    """Write the SEG-Y file of `case` (with segyio; formats 7 and 15 as 1-byte samples whose
    format code is then changed). Returns the cube expected in increasing line order, the
    map coordinates of its positions and the (inline, crossline) pairs of its traces."""
    rng = np.random.default_rng(case.fmt * 31 + len(case.holes))
    il_sorted, xl_sorted = sorted(case.ilines), sorted(case.xlines)
    expected = samples_of(case.fmt, (len(il_sorted), len(xl_sorted), ns), rng)
    order = [(il, xl) for il in case.ilines for xl in case.xlines if (il, xl) not in case.holes]
    if not case.inline_sorted:
        order.sort(key=lambda p: (case.xlines.index(p[1]), case.ilines.index(p[0])))
    for il, xl in case.holes:
        expected[il_sorted.index(il), xl_sorted.index(xl)] = 0
    xy = np.round(ln2xy(np.array(order, dtype=float), survey=grid), 2)
    three = case.fmt in (7, 15)
    layout = segyio.spec()
    layout.format = 8 if three else case.fmt
    layout.samples = range(3 * ns if three else ns)
    layout.tracecount, layout.endian = len(order), case.endian
    layout.ext_headers = max(case.extended, 1 if case.extended == -1 else 0)
    b_il, b_xl, b_x, b_y = case.bytes
    with segyio.create(path, layout) as f:
        for k in range(1, layout.ext_headers + 1):
            f.text[k] = (b"((SEG: EndText))" if k == layout.ext_headers else b"more").ljust(3200)
        for t, (il, xl) in enumerate(order):
            x, y = xy[t] if case.coordinates else (0, 0)
            f.header[t] = {b_il: il, b_xl: xl, 71: -100, b_x: round(x * 100),
                           b_y: round(y * 100), 109: case.delay}  # fmt: skip
            trace = expected[il_sorted.index(il), xl_sorted.index(xl)]
            if three:
                word = trace.astype(">u4" if case.endian == "big" else "<u4").view(np.uint8)
                word = word.reshape(ns, 4)[:, 1:] if case.endian == "big" else word.reshape(
                    ns, 4)[:, :3]  # fmt: skip
                f.trace[t] = word.reshape(-1).view(np.int8)
            else:
                f.trace[t] = trace
        f.bin.update(hdt=4000, hns=ns, format=case.fmt, exth=case.extended)
    lines = np.array([[(il, xl) for xl in xl_sorted] for il in il_sorted])
    return expected, ln2xy(lines.reshape(-1, 2), survey=grid), np.array(order)


def _cases():
    # Every format in both byte orders; the layouts and sortings take turns.
    layouts = {
        "plain": {},
        "decreasing": {"ilines": tuple(range(1008, 999, -2)), "xlines": (2012, 2010, 2008)},
        "bytes": {"bytes": (9, 21, 73, 77)},
        "holes": {"holes": ((1000, 2000), (1004, 2003), (1008, 2006), (1008, 2005))},
        "nocoords": {"coordinates": False},
        "extended": {"extended": 2},
        "stanza": {"extended": -1},
        "delay": {"delay": 4},
    }
    names = list(layouts)
    k = 0
    for fmt in DTYPES:
        for endian in ("big", "little"):
            name = names[k % len(names)]
            yield pytest.param(
                Case(fmt, endian, k % 3 != 1, **layouts[name]), id=f"{fmt}-{endian}-{name}"
            )
            k += 1


@pytest.mark.parametrize("case", list(_cases()))
def test_every_format_and_layout_imports_exactly(tmp_path, capsys, case):
    expected, xy, traces = write_cube(tmp_path / "cube.sgy", case)
    names = ("iline", "xline", "cdpx", "cdpy")
    options = [f"--{n}={b}" for n, b in zip(names, case.bytes, strict=True)]
    assert main(["scan-segy", str(tmp_path / "cube.sgy"), *options]) == 0
    shown = capsys.readouterr().out
    assert f"Sample format: {case.fmt} " in shown and f"{case.endian}-endian" in shown
    assert f"first sample at {case.delay} ms" in shown
    assert f"{len(case.holes)} missing" in shown
    assert ("Sorting: inline" if case.inline_sorted else "Sorting: crossline") in shown

    project = tmp_path / "p.lmd"
    assert main(["import-segy", str(tmp_path / "cube.sgy"), str(project), *options]) == 0
    told = capsys.readouterr().out
    assert ("4 of 35 positions have no trace" in told) == bool(case.holes)
    assert ("no coordinates" in told) != case.coordinates
    db = ProjectDatabase.open(project)
    cube = db.load_object("cube")
    array = cube.array("amplitude")
    assert array.dtype == DTYPES[case.fmt]
    np.testing.assert_array_equal(array, expected)
    assert (cube.meta["z0"], cube.meta["dz"]) == (case.delay, 4.0)
    assert (cube.meta["il0"], cube.meta["xl0"]) == (min(case.ilines), min(case.xlines))
    survey, _sgmt = db.load_survey()
    if case.coordinates:
        lines = np.array([[(il, xl) for xl in sorted(case.xlines)] for il in sorted(case.ilines)])
        np.testing.assert_allclose(ln2xy(lines.reshape(-1, 2), survey=survey), xy, atol=0.01)
    else:
        np.testing.assert_array_equal(ln2xy(traces, survey=survey), traces)
        assert "line-number units" in cube.meta["info"]
    db.close()


def test_imported_cube_reopens_memory_mapped_and_writable(tmp_path):
    data, _xy = write_segy(tmp_path / "field.sgy", fmt=1, inline_sorted=False)
    assert main(["import-segy", str(tmp_path / "field.sgy"), str(tmp_path / "p")]) == 0
    assert folder_files(tmp_path) == ["field.sgy", "p.field.amplitude.npy", "p.lmd"]
    db = ProjectDatabase.open(tmp_path / "p.lmd")
    cube = db.load_object("field")
    array = cube.array("amplitude")
    assert isinstance(array, np.memmap) and array.mode == "r+"
    np.testing.assert_array_equal(array, data)
    # Written in place and saved: the map is flushed, the database holds no samples.
    array[0, 0, 0] = 42.0
    db.save_object(cube)
    db.close()
    with sqlite3.connect(tmp_path / "p.lmd") as conn:
        assert conn.execute("SELECT length(data) FROM properties").fetchall() == [(0,)]
    reopened = ProjectDatabase.open(tmp_path / "p.lmd").load_object("field")
    assert reopened.array("amplitude")[0, 0, 0] == 42.0


def _text(path):
    path.write_text("not seismic\n" * 400)


def _truncated(path):
    write_segy(path)
    os.truncate(path, os.path.getsize(path) - 7)


def _irregular(path):
    write_segy(path)
    with segyio.open(path, "r+", ignore_geometry=True) as f:
        f.header[9] = {193: 2003}  # the third inline holds crossline 2003 twice


def _fixed_point(path):
    write_segy(path)
    with open(path, "r+b") as f:
        f.seek(3224)
        f.write((4).to_bytes(2, "big"))


def _prestack(path):
    write_cube(path, Case(ilines=(1000, 1000, 1002, 1002), xlines=(2000, 2001)))


def _no_traces(path):
    write_segy(path)
    os.truncate(path, 3600)


def _misplaced(path):
    write_segy(path)
    with segyio.open(path, "r+", ignore_geometry=True) as f:
        f.header[17] = {181: f.header[17][181] + 300}  # 3 m east of its place


@pytest.mark.parametrize(
    "make, options, reason",
    [
        (_text, [], "not a SEG-Y file"),
        (_truncated, [], "truncated"),
        (_irregular, [], "irregular geometry: traces 10 and 11 both hold inline 1002"),
        (_fixed_point, [], "unsupported sample format 4"),
        (_prestack, [], "2 traces per position: only post-stack cubes"),
        (_no_traces, [], "holds no traces"),
        (write_segy, ["--iline", "9"], "bytes 9-12, which hold 0 to 0"),
        (_misplaced, [], "trace 18 (inline 1004, crossline 2003) lies at"),
        (write_segy, ["--cdpy", "238"], "a 4-byte header word starts at a byte from 1 to 237"),
    ],
    ids=[
        "text",
        "truncated",
        "duplicate",
        "fixed-point",
        "prestack",
        "no-traces",
        "wrong-bytes",
        "misplaced",
        "bad-option",
    ],
)
def test_bad_input_is_refused_and_leaves_nothing(tmp_path, capsys, make, options, reason):
    make(tmp_path / "bad.sgy")
    assert main(["scan-segy", str(tmp_path / "bad.sgy"), *options]) == 1
    assert reason in capsys.readouterr().err
    assert main(["import-segy", str(tmp_path / "bad.sgy"), str(tmp_path / "p.lmd"), *options]) == 1
    error = capsys.readouterr().err
    assert str(tmp_path / "bad.sgy") in error and reason in error
    assert folder_files(tmp_path) == ["bad.sgy"]


def _mutations(path, rng):
    """(name, bytes) of damaged copies of the file at `path`."""
    good = path.read_bytes()
    trace_bytes = 240 + 4 * NS
    n = (len(good) - 3600) // trace_bytes
    for t in range(n + 1):
        for d in (-1, 0, 1):
            end = 3600 + t * trace_bytes + d
            if end != len(good):
                yield f"cut-{t}{d:+d}", good[:end]
    for k in range(24):
        data = bytearray(good)
        region = (3200, 3600) if k % 2 else (3600, len(good))
        for at in rng.integers(*region, size=rng.integers(1, 6)):
            if k % 2 or (at - 3600) % trace_bytes < 240:  # headers only
                data[at] = rng.integers(256)
        yield f"random-{k}", bytes(data)
    for name, offset, value in [
        ("samples-65535", 3220, 65535),
        ("samples-1", 3220, 1),
        ("interval-0", 3216, 0),
        ("interval-negative", 3216, -4000),
        ("extended-huge", 3504, 32767),
        ("extended-negative", 3504, -7),
    ]:
        data = bytearray(good)
        data[offset : offset + 2] = value.to_bytes(2, "big", signed=value < 0)
        if name.startswith("interval"):  # the trace headers must not stand in for it
            for t in range(n):
                data[3600 + t * trace_bytes + 116 : 3600 + t * trace_bytes + 118] = data[
                    offset : offset + 2
                ]
        yield name, bytes(data)


def test_damaged_files_are_refused_with_a_reason_or_import_whole(tmp_path, capsys):
    write_segy(tmp_path / "good.sgy", fmt=1, ilines=range(1000, 1008, 2), xlines=range(2000, 2003))
    rng = np.random.default_rng(7)
    for name, data in _mutations(tmp_path / "good.sgy", rng):
        folder = tmp_path / name
        folder.mkdir()
        (folder / "f.sgy").write_bytes(data)
        scanned = main(["scan-segy", str(folder / "f.sgy")])
        scan_out = capsys.readouterr()
        imported = main(["import-segy", str(folder / "f.sgy"), str(folder / "p.lmd")])
        out = capsys.readouterr()
        assert scanned == imported, name
        if imported:
            assert imported == 1 and "Cannot import" in out.err, name
            assert scan_out.err.strip() == out.err.strip().splitlines()[-1], name
            assert folder_files(folder) == ["f.sgy"], name
        else:
            assert folder_files(folder) == ["f.sgy", "p.f.amplitude.npy", "p.lmd"], name
            assert "Traceback" not in out.err + scan_out.err, name


def test_existing_project_is_never_touched(tmp_path, capsys):
    write_segy(tmp_path / "field.sgy")
    (tmp_path / "p.lmd").write_bytes(b"precious")
    assert main(["import-segy", str(tmp_path / "field.sgy"), str(tmp_path / "p.lmd")]) == 1
    assert "already exists" in capsys.readouterr().err
    assert (tmp_path / "p.lmd").read_bytes() == b"precious"
    assert folder_files(tmp_path) == ["field.sgy", "p.lmd"]


def test_full_disk_fails_cleanly(tmp_path):
    write_segy(tmp_path / "big.sgy", ilines=range(1000, 1040, 2), ns=1000)

    def small_disk():  # files of at most 256 KiB, failing with EFBIG rather than a signal
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (256 << 10, 256 << 10))

    host = str(Path(gemlo.__file__).parent.parent)
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([host, os.environ.get("PYTHONPATH", "")])}
    done = subprocess.run(
        [sys.executable, "-m", "gemlo.app", "import-segy", "big.sgy", "p.lmd"],
        cwd=tmp_path,
        env=env,
        preexec_fn=small_disk,
        capture_output=True,
        text=True,
        timeout=60,
        check=False,
    )
    assert done.returncode == 1
    assert "big.sgy" in done.stderr and "File too large" in done.stderr
    assert folder_files(tmp_path) == ["big.sgy"]


def test_no_room_for_the_data_file_fails_cleanly(tmp_path, capsys, monkeypatch):
    write_segy(tmp_path / "field.sgy")

    def full(fd, offset, length):
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

    monkeypatch.setattr(os, "posix_fallocate", full)
    assert main(["import-segy", str(tmp_path / "field.sgy"), str(tmp_path / "p.lmd")]) == 1
    error = capsys.readouterr().err
    assert "field.sgy" in error and "No space left on device" in error
    assert folder_files(tmp_path) == ["field.sgy"]


def test_project_file_from_before_mapped_properties_opens_and_imports(tmp_path, sample_survey):
    from gemlo.io.sample import sample_cube

    db = ProjectDatabase.create(tmp_path / "old.lmd")
    db.save_object(sample_cube())
    db._conn.execute("DROP TABLE property_files")
    db.close()

    db = ProjectDatabase.open(tmp_path / "old.lmd")
    assert db.load_object("cube").shape == sample_cube().shape
    data, _xy = write_segy(tmp_path / "field.sgy")
    job = SegyImport(tmp_path / "field.sgy", tmp_path, "field")
    job.copy()
    job.commit(db)
    db.close()
    np.testing.assert_array_equal(
        ProjectDatabase.open(tmp_path / "old.lmd").load_object("field").array("amplitude"), data
    )


def wait_done(qtbot, run):
    with qtbot.waitSignal(run.sigDone, timeout=10000) as blocker:
        pass
    return blocker.args[0]


def test_window_imports_onto_its_survey_or_into_a_new_project(main_window, qtbot, tmp_path):
    # A cube on the sample grid, every other crossline, goes into the sample project.
    on_grid, _xy = write_segy(
        tmp_path / "on_grid.sgy",
        grid=main_window.survey,
        ilines=range(1010, 1020),
        xlines=range(2000, 2020, 2),
    )
    dob = wait_done(qtbot, main_window.import_segy(tmp_path / "on_grid.sgy"))
    assert main_window.treebase.object_data["on_grid"] is dob
    np.testing.assert_array_equal(dob.array("amplitude"), on_grid)

    write_segy(tmp_path / "elsewhere.sgy")
    before = folder_files(tmp_path)
    with pytest.raises(SegyError, match="does not match the project's survey"):
        main_window.import_segy(tmp_path / "elsewhere.sgy")
    assert folder_files(tmp_path) == before
    assert list(main_window.treebase.object_data) == ["cube", "well_A", "on_grid"]

    main_window.create_new_project(tmp_path / "new.lmd")
    dob = wait_done(qtbot, main_window.import_segy(tmp_path / "elsewhere.sgy"))
    for axis in ("iline", "xline"):
        assert main_window.survey.step[axis] == pytest.approx(GRID.step[axis], abs=1e-3)
    assert main_window.sgmt["P1_CRSX"] == 605123.45
    main_window.open_project(tmp_path / "new.lmd")
    assert isinstance(main_window.treebase.object_data["elsewhere"].array("amplitude"), np.memmap)
    assert main_window.sgmt == dob.meta["sgmt"]


def test_cancel_during_the_copy_leaves_the_project_unchanged(main_window, qtbot, tmp_path):
    main_window.create_new_project(tmp_path / "p" / "new.lmd")
    write_segy(tmp_path / "field.sgy")
    release = threading.Event()
    # One inline per chunk; the worker waits after the first one until Cancel was pressed.
    run = main_window.import_segy(
        tmp_path / "field.sgy",
        chunk_bytes=4 * NS * len(XLINES),
        progress=lambda done, total: release.wait(10),
    )
    qtbot.waitUntil(lambda: run.job.done > 0, timeout=10000)
    run.dialog.findChild(QPushButton).click()
    release.set()
    assert wait_done(qtbot, run) is None
    assert run.job.done < run.job.total
    assert folder_files(tmp_path / "p") == ["new.lmd"]
    assert main_window.treebase.object_data == {} and main_window.survey is None
    db = ProjectDatabase.open(tmp_path / "p" / "new.lmd")
    assert db.object_names() == [] and db.load_survey() == (None, None)


def test_window_reports_a_failure_found_while_copying(main_window, qtbot, tmp_path):
    main_window.create_new_project(tmp_path / "p" / "new.lmd")
    write_segy(tmp_path / "field.sgy")

    def shrink(done, total):  # the file loses its end while it is read
        if done == 1:
            os.truncate(tmp_path / "field.sgy", 3600 + 10 * (240 + 4 * NS))

    run = main_window.import_segy(tmp_path / "field.sgy", chunk_bytes=1, progress=shrink)
    assert wait_done(qtbot, run) is None
    assert "field.sgy" in run.message.text() and "ends inside trace 11" in run.message.text()
    assert run.message.isVisible()
    assert folder_files(tmp_path / "p") == ["new.lmd"] and main_window.treebase.object_data == {}


def test_cube_without_coordinates_goes_where_its_lines_lie(main_window, qtbot, tmp_path):
    inside = Case(ilines=(1010, 1012, 1014), xlines=(2070, 2075), coordinates=False)
    expected, _xy, _traces = write_cube(tmp_path / "inside.sgy", inside)
    dob = wait_done(qtbot, main_window.import_segy(tmp_path / "inside.sgy"))
    np.testing.assert_array_equal(dob.array("amplitude"), expected)
    assert dob.meta["coordinates"] == "line numbers"

    write_cube(tmp_path / "outside.sgy", Case(xlines=(2075, 2080), coordinates=False))
    with pytest.raises(SegyError, match="crosslines 2075 to 2080.* do not lie within"):
        main_window.import_segy(tmp_path / "outside.sgy")


def test_dialog_shows_the_scan_again_when_a_byte_changes(
    main_window, qtbot, tmp_path, monkeypatch
):
    from gemlo.dialogs.segy_import import SegyScanDialog

    main_window.create_new_project(tmp_path / "new.lmd")
    write_cube(tmp_path / "other.sgy", Case(bytes=(9, 21, 73, 77)))
    look = SegyScanDialog(main_window, tmp_path / "other.sgy")
    qtbot.addWidget(look)
    assert (
        not look.ok.isEnabled() and "bytes 189-192, which hold 0 to 0" in look.text.toPlainText()
    )
    for name, byte in zip(("iline", "xline", "cdpx", "cdpy"), (9, 21, 73, 77), strict=True):
        look.spins[name].setValue(byte)
    qtbot.waitUntil(look.ok.isEnabled, timeout=5000)
    assert "Inlines (byte 9): 1000 to 1008, step 2" in look.text.toPlainText()
    assert look.header() == HeaderBytes(9, 21, 73, 77)

    # The menu's way: the file asked for, the bytes chosen in the dialog, then imported.
    def choose(dialog):
        for name, spin in look.spins.items():
            dialog.spins[name].setValue(spin.value())
        dialog.refresh()
        return QDialog.Accepted if dialog.ok.isEnabled() else QDialog.Rejected

    monkeypatch.setattr(SegyScanDialog, "exec", choose)
    monkeypatch.setattr(
        QFileDialog, "getOpenFileName", lambda *args: (str(tmp_path / "other.sgy"), "")
    )
    imported = []
    monkeypatch.setattr(
        type(main_window),
        "import_segy",
        lambda self, path, **options: imported.append((path, options)),
    )
    main_window._ask_import_segy()
    assert imported == [(str(tmp_path / "other.sgy"), {"header": HeaderBytes(9, 21, 73, 77)})]


def test_integer_cube_in_statistics_and_the_calculator(main_window, qtbot, tmp_path):
    from gemlo.widgets import statgrid

    main_window.create_new_project(tmp_path / "p" / "new.lmd")
    expected, _xy, _traces = write_cube(tmp_path / "int.sgy", Case(fmt=3))
    dob = wait_done(qtbot, main_window.import_segy(tmp_path / "int.sgy"))
    entry = dob.prop["amplitude"]
    statgrid.add_array_percentile(entry)
    percentiles = np.percentile(expected, [0, 10, 50, 90, 100])
    np.testing.assert_array_equal(entry["arrayPercentiles"], percentiles)
    main_window.treebase.buds.property_operation("int", "amplitude = amplitude // 2")
    assert dob.array("amplitude").dtype == np.int16
    np.testing.assert_array_equal(dob.array("amplitude"), expected // 2)


@pytest.mark.render
def test_tour_shows_an_integer_cube(gl, main_window, tmp_path, monkeypatch):
    from gemlo.app import tour
    from gemlo.io import synthetic

    write_cube(tmp_path / "int.sgy", Case(fmt=16, ilines=tuple(range(1000, 1040))), ns=60)
    monkeypatch.setattr(synthetic, "tour_segy", lambda: tmp_path / "int.sgy")
    for name, function in tour.STEPS:
        if name not in ("image", "segy_image", "segy_volume"):
            continue
        function(main_window)  # the image viewer that the tour's import step shows
        if name == "image":
            continue
        tour.settle(500)
        canvas = main_window.deck.currentWidget().canvas
        top_left = canvas.native.mapTo(main_window, canvas.native.rect().topLeft())
        image = main_window.grab().toImage().convertToFormat(QImage.Format_RGBA8888)
        rgba = np.frombuffer(image.constBits(), np.uint8).reshape(image.height(), -1, 4)
        width, height = canvas.size
        area = rgba[top_left.y() : top_left.y() + height, top_left.x() : top_left.x() + width]
        assert len(np.unique(area[..., :3].reshape(-1, 3), axis=0)) > 50, name
