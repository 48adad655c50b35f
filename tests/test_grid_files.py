"""Horizon grid files in and out (ZMAP+, IRAP ASCII and binary), with xtgeo as the reference."""

import errno
import os
import tracemalloc

import numpy as np
import pytest
import xtgeo
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from gemlo.app.__main__ import main as gemlo_main
from gemlo.errors import InputError
from gemlo.io import horizons, irap
from gemlo.io.surface import Surface, horizon, surface_of_horizon
from gemlo.storage.database import ProjectDatabase
from gemlo.utils.convert_grid import Survey

XTGEO = {"zmap": "zmap_ascii", "irap-ascii": "irap_ascii", "irap-binary": "irap_binary"}


def plane(x, y):
    """Linear in x and y: what any bilinear resampling gives back exactly."""
    return 1500 + 0.01 * (x - 600000) - 0.02 * (y - 6070000)


def _survey(name):
    from gemlo.io.sample import sample_survey

    if name == "sample":  # turned 32 degrees, inlines clockwise from crosslines
        return sample_survey()
    il_step, xl_step = {"north": ((0, 25), (25, 0)), "west": ((-25, 0), (0, 25))}[name]
    survey = Survey((1000, 2000, 604000.0, 6069000.0), il_step, xl_step)
    return survey, survey.sgmt(1029, 2039)


def _horizon(survey, sgmt):
    x, y = np.meshgrid(598000 + np.arange(121) * 100.0, 6064000 + np.arange(121) * 100.0)
    grid = Surface("H", plane(x, y), (598000, 6064000), (100, 100))
    dob = horizon(grid, survey, sgmt, "H")
    dob.array("z")[3:5, 7] = np.nan
    return dob


@pytest.mark.parametrize("kind", list(XTGEO))
@pytest.mark.parametrize("survey_name", ["north", "west", "sample"])
def test_horizons_go_out_as_xtgeo_reads_them_and_come_back(tmp_path, kind, survey_name):
    survey, sgmt = _survey(survey_name)
    dob = _horizon(survey, sgmt)
    path = tmp_path / f"h{horizons.SUFFIXES[kind]}"
    written = horizons.write_horizon(dob, survey, path, kind)
    nodes = surface_of_horizon(dob, survey)
    turned = kind == "zmap" and survey_name == "sample"
    if kind != "zmap":
        assert written.rotation == pytest.approx(
            {"north": 0, "west": 90}.get(survey_name, 122), abs=1e-3
        )
    elif not turned:
        np.testing.assert_array_equal(np.isnan(written.values).sum(), 2)  # nodes kept
    theirs = xtgeo.surface_from_file(path, fformat=XTGEO[kind])
    assert (theirs.ncol, theirs.nrow) == written.shape[::-1]
    assert (theirs.xinc, theirs.yinc) == pytest.approx((written.xinc, written.yinc))
    assert (theirs.xori, theirs.yori) == pytest.approx(written.origin, abs=0.5)
    x, y, z = theirs.get_xyz_values()
    defined = ~np.ma.getmaskarray(z)
    np.testing.assert_allclose(z[defined], plane(x[defined], y[defined]), atol=0.05)
    # Every node but the two nulls, or (turned) every node inside the survey but theirs.
    assert defined.sum() == (
        nodes.values.size - 2 if not turned else np.isfinite(written.values).sum()
    )
    back = horizons.read_horizon(path, survey, sgmt).array("z")
    original = dob.array("z")
    if turned:  # nodes off the survey are null: the survey's edge and the nulls' ring blank
        both = np.isfinite(back) & np.isfinite(original)
        assert both[2:-2, 2:-2].sum() > both[2:-2, 2:-2].size - 20
        np.testing.assert_allclose(back[both], original[both], atol=0.05)
    else:
        np.testing.assert_allclose(back, original, atol=0.05)


@pytest.mark.parametrize("fformat", ["irap_ascii", "irap_binary", "zmap_ascii"])
@pytest.mark.parametrize("rotation", [0.0, 30.0])
def test_files_xtgeo_writes_read_as_xtgeo_reads_them(tmp_path, fformat, rotation):
    values = np.ma.masked_invalid(np.arange(35.0).reshape(7, 5) * 1.5 + 1000)
    values[2, 3] = np.ma.masked
    theirs = xtgeo.RegularSurface(
        ncol=7, nrow=5, xinc=25.0, yinc=50.0, xori=604000.0, yori=6069000.0,
        rotation=rotation, values=values,
    )  # fmt: skip
    path = tmp_path / "grid"
    theirs.to_file(path, fformat=fformat)
    ours = horizons.read_surface(path)
    reread = xtgeo.surface_from_file(path, fformat=fformat)
    x, y, z = reread.get_xyz_values()
    ox, oy = ours.nodes_xy()
    np.testing.assert_allclose(ox, x.T, atol=1e-3)
    np.testing.assert_allclose(oy, y.T, atol=1e-3)
    np.testing.assert_allclose(ours.values, z.filled(np.nan).T, atol=1e-3)
    if fformat == "irap_binary":  # every field is a 4-byte word: the little-endian file
        path.write_bytes(np.frombuffer(path.read_bytes(), ">u4").astype("<u4").tobytes())
        np.testing.assert_array_equal(horizons.read_surface(path).values, ours.values)


def _files(tmp_path):
    survey, sgmt = _survey("north")
    dob = _horizon(survey, sgmt)
    for kind in XTGEO:
        path = tmp_path / f"good{horizons.SUFFIXES[kind]}"
        horizons.write_horizon(dob, survey, path, kind)
        yield kind, path.read_bytes()


HUGE = [
    ("zmap", b"@G, GRID, 5\n15, 1e30, , 4, 1\n100000, 10000, 0, 1, 0, 1\n0, 0, 0\n@\n1 2\n"),
    ("irap-ascii", b"-996 100000 1 1\n0 1 0 1\n10000 0 0 0\n0 0 0 0 0 0 0\n1 2\n"),
    (
        "irap-binary",
        b"".join(
            irap._record(part)
            for part in (
                np.array([-996, 100000], ">i4").tobytes() + np.ones(6, ">f4").tobytes(),
                np.array([10000], ">i4").tobytes() + np.zeros(3, ">f4").tobytes(),
                bytes(28),
                np.ones(2, ">f4").tobytes(),
            )
        ),
    ),
]


@pytest.mark.parametrize("kind, data", HUGE)
def test_a_header_claiming_a_billion_nodes_is_refused_early(tmp_path, kind, data):
    (tmp_path / "huge").write_bytes(data)
    tracemalloc.start()
    with pytest.raises(InputError, match="1000000000 (values|nodes)"):
        horizons.read_surface(tmp_path / "huge")
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert horizons.file_format(tmp_path / "huge") == kind and peak < 1 << 20


def _refused_or_read(path):
    try:
        grid = horizons.read_surface(path)
    except InputError as error:
        assert str(path) in str(error) and "\n" not in str(error)
        return None
    assert grid.values.ndim == 2 and min(grid.shape) >= 2
    return grid


def test_every_truncation_is_refused_with_a_reason(tmp_path):
    for kind, good in _files(tmp_path):
        cuts = (
            range(0, len(good), 4)
            if kind == "irap-binary"
            else [i + 1 for i, c in enumerate(good[:-1]) if c == ord("\n")]
        )
        for cut in cuts:
            path = tmp_path / "cut"
            path.write_bytes(good[:cut])
            assert _refused_or_read(path) is None, (kind, cut)


@settings(
    max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(data=st.data())
def test_damaged_files_give_a_reason_or_a_grid(tmp_path, data):
    kind, good = data.draw(st.sampled_from(list(_files(tmp_path))))
    damaged = bytearray(good)
    for at in data.draw(st.lists(st.integers(0, len(good) - 1), min_size=1, max_size=8)):
        damaged[at] = data.draw(st.integers(0, 255))
    if data.draw(st.booleans()):
        damaged = data.draw(st.binary(max_size=300))
    path = tmp_path / "damaged"
    path.write_bytes(bytes(damaged))
    _refused_or_read(path)


def test_import_and_export_commands(tmp_path, capsys, sample_survey):
    project = tmp_path / "p.lmd"
    database = ProjectDatabase.create(project)
    database.save_survey(*sample_survey)
    database.close()
    bad = tmp_path / "bad.gri"
    bad.write_bytes(b"-996 3 25 25\n0 50 0 50\n3 0 0 0\n0 0 0 0 0 0 0\n1 2 3\n")
    assert gemlo_main(["import-horizon", str(bad), str(project)]) == 1
    assert "truncated: 3 values where the header's 3 by 3 nodes make 9" in capsys.readouterr().err
    database = ProjectDatabase.open(project)
    assert database.object_names() == []
    database.close()
    dob = _horizon(*sample_survey)
    grid = tmp_path / "top.irap"
    horizons.write_horizon(dob, sample_survey[0], grid, "irap-ascii")
    assert gemlo_main(["import-horizon", str(grid), str(project)]) == 0
    assert capsys.readouterr().out.splitlines()[-1] == f"Added top to {project}"
    out = tmp_path / "out.gri"
    assert (
        gemlo_main(["export-horizon", str(project), "top", str(out), "--format", "irap-binary"])
        == 0
    )
    lines = capsys.readouterr().out.splitlines()
    assert lines[-2:] == [
        f"{out}: 60 of 60 rows (100%)",
        f"Wrote top to {out}: IRAP binary, 80 by 60 nodes",
    ]
    assert horizons.file_format(out) == "irap-binary"
    for args, reason in [
        (
            ["top", str(tmp_path / "none" / "x.gri")],
            "No such file or directory; nothing was written",
        ),
        (["nothing", str(out)], "the project has no object named 'nothing'"),
    ]:
        assert gemlo_main(["export-horizon", str(project), *args, "--format", "zmap"]) == 1
        assert reason in capsys.readouterr().err
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        "bad.gri",
        "out.gri",
        "p.lmd",
        "top.irap",
    ]


@pytest.fixture
def project(tmp_path, sample_survey):
    """A project with the sample survey, a well "W" and a horizon "H"."""
    from gemlo.io import sample
    from gemlo.io.las import read_well

    (tmp_path / "w.las").write_text(sample.sample_las_text())
    path = tmp_path / "p.lmd"
    database = ProjectDatabase.create(path)
    database.save_survey(*sample_survey)
    well = read_well(tmp_path / "w.las")
    well.name = "W"
    database.save_objects([well, _horizon(*sample_survey)])
    database.close()
    (tmp_path / "w.las").unlink()
    return path


@pytest.mark.parametrize(
    "args, unit",
    [(["export-las", "W"], "rows"), (["export-horizon", "H", "--format", "irap-ascii"], "rows")],
)
def test_exports_are_all_or_nothing(project, capsys, monkeypatch, args, unit):
    from gemlo.io.outfile import OutputFile

    out = project.parent / "out"
    out.write_bytes(b"precious")
    command = [args[0], str(project), args[1], str(out), *args[2:]]
    write = OutputFile.write

    def full(self, data):
        write(self, data[: len(data) // 2])
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

    monkeypatch.setattr(OutputFile, "write", full)
    assert gemlo_main(command) == 1
    assert (
        capsys.readouterr().err == f"Cannot write {out}: the disk is full; nothing was written\n"
    )
    assert out.read_bytes() == b"precious" and sorted(os.listdir(project.parent)) == [
        "out",
        "p.lmd",
    ]
    monkeypatch.undo()
    assert gemlo_main(command) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[-2].startswith(f"{out}: ") and lines[-2].endswith(f" {unit} (100%)")
    assert 2 <= len(lines) <= 12 and out.read_bytes() != b"precious"


def test_exports_in_the_window(main_window, tmp_path, monkeypatch, gemlo_log):
    import lasio
    from qtpy.QtWidgets import QFileDialog, QProgressDialog

    from gemlo.app.tour import menu_action
    from gemlo.io import sample

    tree = main_window.treebase
    (tmp_path / "top.zmap").write_text(sample.sample_zmap_text())
    dob = main_window.import_horizon(tmp_path / "top.zmap")
    for name, action, answer in [
        ("well_A", "Export well (LAS)...", (str(tmp_path / "w.las"), "")),
        (dob.name, "Export horizon...", (str(tmp_path / "h"), "IRAP binary (*.gri)")),
    ]:
        tree.setCurrentItem(tree.object_item(name))
        monkeypatch.setattr(QFileDialog, "getSaveFileName", lambda *a, answer=answer: answer)
        menu_action(main_window, action).trigger()
    well = lasio.read(tmp_path / "w.las")
    np.testing.assert_allclose(
        well["DEPTH"], main_window.treebase.object_data["well_A"].array("depth"), rtol=1e-6
    )
    theirs = xtgeo.surface_from_file(tmp_path / "h.gri", fformat="irap_binary")
    assert (theirs.nrow, theirs.ncol) == (60, 80)
    np.testing.assert_allclose(theirs.values.filled(np.nan).T[::-1], dob.array("z"), atol=1e-3)
    monkeypatch.setattr(QProgressDialog, "wasCanceled", lambda self: True)
    monkeypatch.setattr(QFileDialog, "getSaveFileName", lambda *a: (str(tmp_path / "c"), "x"))
    menu_action(main_window, "Export horizon...").trigger()
    assert gemlo_log[-1].getMessage().endswith("c.zmap cancelled; nothing was written")
    assert sorted(os.listdir(tmp_path)) == ["h.gri", "project.lmd", "top.zmap", "w.las"]
