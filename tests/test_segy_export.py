"""SEG-Y export: what came in goes out, derived and made cubes read back, faults leave nothing."""

import errno
import os
import threading
from pathlib import Path

import numpy as np
import pytest
import segyio
from qtpy.QtWidgets import QPushButton
from test_segy_import import DTYPES, NS, Case, folder_files, write_cube, write_segy

from gemlo.app.__main__ import main
from gemlo.io import cli, segycodec
from gemlo.io.outfile import OutputFile
from gemlo.io.sample import sample_cube, sample_survey
from gemlo.storage.database import ProjectDatabase
from gemlo.utils.convert_grid import Survey, ln2xy

HOLES = ((1000, 2000), (1004, 2003), (1008, 2006))


def _cases():
    # Every format; byte order, sorting, missing traces and extended headers take turns.
    for k, fmt in enumerate(DTYPES):
        extended = {}
        if k % 4 == 3:
            extended = {"extended": 2 if k % 8 == 3 else -1}
        yield pytest.param(
            Case(
                fmt, ("big", "little")[k % 2], k % 3 != 1, holes=HOLES if k % 3 else (), **extended
            ),
            id=f"{fmt}",
        )


@pytest.mark.parametrize("case", list(_cases()))
def test_import_export_round_trip(tmp_path, capsys, case):
    source, project = tmp_path / "cube.sgy", tmp_path / "p.lmd"
    expected, _xy, traces = write_cube(source, case)
    assert main(["import-segy", str(source), str(project)]) == 0
    assert main(["export-segy", str(project), "cube", str(tmp_path / "out.sgy")]) == 0
    assert "(100%)" in capsys.readouterr().out
    assert (tmp_path / "out.sgy").read_bytes() == source.read_bytes()

    # A derived property goes out with the source's headers, its own samples and format.
    db = ProjectDatabase.open(project)
    cube = db.load_object("cube")
    derived = cube.array("amplitude").astype(np.float64) * 0.5 - 1
    db.store_properties(cube, {"half": derived.astype(np.float32)})
    db.close()
    out = tmp_path / "half.sgy"
    args = ["export-segy", str(project), "cube", str(out), "--property", "half", "--format", "5"]
    assert main(args) == 0
    il_sorted, xl_sorted = sorted(case.ilines), sorted(case.xlines)
    src, got = source.read_bytes(), out.read_bytes()
    first = len(src) - len(traces) * (240 + NS * segycodec.sample_bytes(case.fmt))
    assert got[:3200] == src[:3200] and got[3600:first] == src[3600:first]
    assert int.from_bytes(got[3224:3226], case.endian) == 5
    assert len(got) == first + len(traces) * (240 + 4 * NS)
    order = ">" if case.endian == "big" else "<"
    for t, (il, xl) in enumerate(traces):
        at, was = first + t * (240 + 4 * NS), first + t * (len(src) - first) // len(traces)
        assert got[at : at + 240] == src[was : was + 240]
        row = derived[il_sorted.index(il), xl_sorted.index(xl)].astype(np.float32)
        np.testing.assert_array_equal(np.frombuffer(got, order + "f4", NS, at + 240), row)


def test_cube_without_segy_origin_reads_back(tmp_path, capsys):
    survey, sgmt = sample_survey()
    cube = sample_cube()
    db = ProjectDatabase.create(tmp_path / "s.lmd")
    db.save_survey(survey, sgmt)
    db.save_object(cube)
    db.close()
    out = tmp_path / "imp.sgy"
    args = ["export-segy", str(tmp_path / "s.lmd"), "cube", str(out), "--property", "impedance"]
    assert main([*args, "--format", "1"]) == 0
    n_il, n_xl, ns = cube.array("impedance").shape
    with segyio.open(out) as f:
        assert (
            f.bin[segyio.su.format] == 1 and f.sorting == segyio.TraceSortingFormat.INLINE_SORTING
        )
        np.testing.assert_array_equal(f.ilines, np.arange(n_il) + cube.meta["il0"])
        np.testing.assert_array_equal(f.xlines, np.arange(n_xl) + cube.meta["xl0"])
        np.testing.assert_array_equal(f.samples, np.arange(ns) * cube.meta["dz"])
        values = cube.array("impedance")
        read = segyio.tools.cube(f)
        np.testing.assert_allclose(read, values, rtol=2**-20)
        h = f.header[n_xl + 2]
        x, y = ln2xy(np.array([[cube.meta["il0"] + 1, cube.meta["xl0"] + 2]]), survey=survey)[0]
        scale = -h[segyio.su.scalco] if h[segyio.su.scalco] < 0 else 1 / h[segyio.su.scalco]
        assert h[segyio.su.cdpx] / scale == pytest.approx(x, abs=0.01)
        assert h[segyio.su.cdpy] / scale == pytest.approx(y, abs=0.01)
        assert b"impedance" in f.text[0]  # segyio gives it as ASCII
    # and comes back in as it went out
    assert main(["import-segy", str(out), str(tmp_path / "again.lmd")]) == 0
    again = ProjectDatabase.open(tmp_path / "again.lmd")
    np.testing.assert_array_equal(again.load_object("imp").array("amplitude"), read)
    lines = np.array([[1000, 2000], [1059, 2079]], float)
    np.testing.assert_allclose(
        ln2xy(lines, survey=again.load_survey()[0]), ln2xy(lines, survey=survey), atol=0.01
    )


def _no_space(monkeypatch):
    def full(*args):
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

    monkeypatch.setattr(os, "posix_fallocate", full)


def _unwritable(monkeypatch):
    real = os.open

    def refused(path, flags, *args, **kwargs):
        if flags & (os.O_WRONLY | os.O_RDWR):
            raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), path)
        return real(path, flags, *args, **kwargs)

    monkeypatch.setattr(os, "open", refused)


def _interrupted(monkeypatch):
    def tenths(*args):
        def progress(done, total):
            raise KeyboardInterrupt

        return progress

    monkeypatch.setattr(cli, "tenths", tenths)


def _headers_cut_short(monkeypatch):
    # Once the maps are open: reading through them would now be SIGBUS.
    real = OutputFile.reserve

    def reserve(self, size):
        (headers,) = Path(self.folder).glob("*trace-headers.npy")
        os.truncate(headers, headers.stat().st_size - 1000)
        real(self, size)

    monkeypatch.setattr(OutputFile, "reserve", reserve)


@pytest.mark.parametrize(
    "fault, status, reason",
    [
        (_no_space, 1, "No space left on device"),
        (_unwritable, 1, "Permission denied"),
        (_interrupted, 130, "interrupted; nothing was written"),
        (_headers_cut_short, 1, "ends before its last row"),
    ],
    ids=["full-disk", "unwritable", "interrupted", "headers-cut-short"],
)
def test_faults_leave_nothing(tmp_path, capsys, monkeypatch, fault, status, reason):
    write_segy(tmp_path / "f.sgy")
    assert main(["import-segy", str(tmp_path / "f.sgy"), str(tmp_path / "p.lmd")]) == 0
    (tmp_path / "out.sgy").write_bytes(b"old")
    before = folder_files(tmp_path)
    capsys.readouterr()
    fault(monkeypatch)
    assert main(["export-segy", str(tmp_path / "p.lmd"), "f", str(tmp_path / "out.sgy")]) == status
    error = capsys.readouterr().err
    assert reason in error and len(error.strip().splitlines()) == 1, error
    assert folder_files(tmp_path) == before
    assert (tmp_path / "out.sgy").read_bytes() == b"old"


def test_tolerance_allows_the_rounding_of_coordinates(tmp_path, capsys):
    # 12.5 m bins, inline numbers in steps of 2, coordinates rounded to whole metres.
    grid = Survey((1000, 2000, 605123.45, 6071234.56), (5.3003, 3.31205), (-6.62405, 10.6006))
    path = tmp_path / "metres.sgy"
    write_segy(path, grid=grid, ilines=range(1000, 1020, 2), xlines=range(2000, 2030, 2))
    with segyio.open(path, "r+", ignore_geometry=True) as f:
        for t in range(f.tracecount):
            h = f.header[t]
            f.header[t] = {71: 1, 181: round(h[181] / 100), 185: round(h[185] / 100)}
    assert main(["scan-segy", str(path)]) == 0
    assert main(["import-segy", str(path), str(tmp_path / "p.lmd")]) == 0
    # A trace 3 m off its place is still refused, by the scan as by the import.
    with segyio.open(path, "r+", ignore_geometry=True) as f:
        f.header[17] = {181: f.header[17][181] + 3}
    capsys.readouterr()
    assert main(["scan-segy", str(path)]) == 1
    assert "trace 18 " in capsys.readouterr().err
    assert main(["import-segy", str(path), str(tmp_path / "q.lmd")]) == 1
    assert "trace 18 " in capsys.readouterr().err


def test_window_exports_and_cancels(main_window, qtbot, tmp_path):
    out = tmp_path / "cube.sgy"
    with qtbot.waitSignal(main_window.export_segy("cube", "velocity", out).sigDone) as done:
        pass
    assert done.args == [str(out)]
    with segyio.open(out) as f:
        cube = main_window.treebase.object_data["cube"]
        np.testing.assert_array_equal(segyio.tools.cube(f), cube.array("velocity"))

    release = threading.Event()
    # One trace per chunk; the worker waits after the first until Cancel was pressed.
    run = main_window.export_segy(
        "cube",
        "amplitude",
        tmp_path / "x.sgy",
        chunk_bytes=1,
        progress=lambda *a: release.wait(10),
    )
    qtbot.waitUntil(lambda: run.job.done > 0, timeout=10000)
    run.dialog.findChild(QPushButton).click()
    release.set()
    with qtbot.waitSignal(run.sigDone, timeout=10000) as done:
        pass
    assert done.args == [None] and run.job.done < run.job.total
    assert folder_files(tmp_path) == ["cube.sgy", "project.lmd"]


def test_damaged_record_of_the_headers_is_refused(tmp_path, capsys):
    write_segy(tmp_path / "f.sgy")
    assert main(["import-segy", str(tmp_path / "f.sgy"), str(tmp_path / "p.lmd")]) == 0
    db = ProjectDatabase.open(tmp_path / "p.lmd")
    cube = db.load_object("f")
    cube.meta["segy"]["format"] = 99
    db.update_object(cube)
    db.close()
    capsys.readouterr()
    assert main(["export-segy", str(tmp_path / "p.lmd"), "f", str(tmp_path / "o.sgy")]) == 1
    assert "SEG-Y headers kept with 'f' is damaged" in capsys.readouterr().err
    assert not (tmp_path / "o.sgy").exists()


def test_cube_moved_to_a_store_exports_as_it_came_in(tmp_path):
    source, project = tmp_path / "c.sgy", str(tmp_path / "p.lmd")
    write_cube(source, Case(3, "little", False, holes=HOLES))
    assert main(["import-segy", str(source), project]) == 0
    assert main(["move-cube", project, "c", "--store", "zarr"]) == 0
    assert main(["export-segy", project, "c", str(tmp_path / "out.sgy")]) == 0
    assert (tmp_path / "out.sgy").read_bytes() == source.read_bytes()
