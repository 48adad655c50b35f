"""SEG-Y import: geometry, samples, the project file, bad input, cancel, the window."""

import errno
import os
import resource
import signal
import sqlite3
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pytest
import segyio
from qtpy.QtWidgets import QPushButton

import gemlo
from gemlo.app.__main__ import main
from gemlo.app.project import ProjectDatabase
from gemlo.io.segy import SegyError, SegyImport
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


@pytest.mark.parametrize("fmt", [1, 5], ids=["ibm", "ieee"])
@pytest.mark.parametrize("inline_sorted", [True, False], ids=["inline", "crossline"])
def test_command_imports_a_cube_that_reopens_memory_mapped(tmp_path, capsys, fmt, inline_sorted):
    data, xy = write_segy(tmp_path / "field.sgy", fmt=fmt, inline_sorted=inline_sorted)
    assert main(["import-segy", str(tmp_path / "field.sgy"), str(tmp_path / "p")]) == 0
    assert "(100%)" in capsys.readouterr().out
    assert folder_files(tmp_path) == ["field.sgy", "p.field.amplitude.npy", "p.lmd"]

    db = ProjectDatabase.open(tmp_path / "p.lmd")
    survey, _sgmt = db.load_survey()
    lines = np.array([[(il, xl) for xl in XLINES] for il in ILINES]).reshape(-1, 2)
    np.testing.assert_allclose(ln2xy(lines, survey=survey).reshape(xy.shape), xy, atol=0.01)
    cube = db.load_object("field")
    array = cube.array("amplitude")
    assert isinstance(array, np.memmap) and array.mode == "r+" and array.dtype == np.float32
    np.testing.assert_allclose(array, data, rtol=2e-6 if fmt == 1 else 0)
    assert (cube.meta["il0"], cube.meta["xl0"], cube.meta["il_step"], cube.meta["dz"]) == (
        1000,
        2000,
        2,
        4.0,
    )

    # Written in place and saved: the map is flushed, the database holds no samples.
    array[0, 0, 0] = 42.0
    db.save_object(cube)
    db.close()
    with sqlite3.connect(tmp_path / "p.lmd") as conn:
        assert conn.execute("SELECT length(data) FROM properties").fetchall() == [(0,)]
    assert (
        ProjectDatabase.open(tmp_path / "p.lmd").load_object("field").array("amplitude")[0, 0, 0]
        == 42.0
    )


def _text(path):
    path.write_text("not seismic\n" * 400)


def _truncated(path):
    write_segy(path)
    os.truncate(path, os.path.getsize(path) - 7)


def _irregular(path):
    write_segy(path)
    with segyio.open(path, "r+", ignore_geometry=True) as f:
        f.header[9] = {193: 2003}  # the third inline holds crossline 2003 twice


def _int16(path):
    write_segy(path, fmt=3)


@pytest.mark.filterwarnings("ignore:Implicit conversion from float32 to int16")
@pytest.mark.parametrize(
    "make, reason",
    [
        (_text, "not a SEG-Y file"),
        (_truncated, "truncated"),
        (_irregular, "irregular geometry"),
        (_int16, "unsupported sample format 3"),
    ],
    ids=["text", "truncated", "irregular", "int16"],
)
def test_bad_input_is_refused_and_leaves_nothing(tmp_path, capsys, make, reason):
    make(tmp_path / "bad.sgy")
    assert main(["import-segy", str(tmp_path / "bad.sgy"), str(tmp_path / "p.lmd")]) == 1
    error = capsys.readouterr().err
    assert str(tmp_path / "bad.sgy") in error and reason in error
    assert folder_files(tmp_path) == ["bad.sgy"]


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
    from gemlo.app.sample import sample_cube

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
    _irregular(tmp_path / "bad.sgy")  # passes the header scan, fails at its third inline
    run = main_window.import_segy(tmp_path / "bad.sgy")
    assert wait_done(qtbot, run) is None
    assert "bad.sgy" in run.message.text() and "trace 10 holds inline" in run.message.text()
    assert run.message.isVisible()
    assert folder_files(tmp_path / "p") == ["new.lmd"] and main_window.treebase.object_data == {}
