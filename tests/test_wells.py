"""Well logs from LAS files: the reader, the import into a project, how wells are shown."""

import io
import os
import re
import signal

import lasio
import numpy as np
import pytest
from qtpy.QtCore import Qt
from qtpy.QtWidgets import QFileDialog, QMessageBox, QPushButton

from gemlo.app.__main__ import main as gemlo_main
from gemlo.io import cli, sample
from gemlo.io.las import LasError, read_well, read_wells, write_well
from gemlo.storage.database import ProjectDatabase
from gemlo.utils.convert_grid import ln2xy


def las_text(curves, version=2.0, wrap=False, well="W-1", null=-999.25, extra_well=()):
    """A LAS file's text from [(mnemonic, unit, values)], nulls written as `null`."""
    las = lasio.LASFile()
    las.well["WELL"].value = well
    las.well["NULL"].value = null
    for mnemonic, unit, value in extra_well:
        las.well.append(lasio.HeaderItem(mnemonic, unit, value))
    for mnemonic, unit, values in curves:
        las.append_curve(mnemonic, np.asarray(values, dtype=float), unit=unit)
    text = io.StringIO()
    las.write(text, version=version, wrap=wrap, fmt="%.4f")
    return text.getvalue()


DEPTH = ("DEPT", "M", [1000.0, 1000.5, 1001.0, 1001.5])
GR = ("GR", "GAPI", [50.0, np.nan, 70.0, 80.0])


@pytest.fixture
def write(tmp_path):
    def write(text, name="well.las"):
        path = tmp_path / name
        path.write_text(text) if isinstance(text, str) else path.write_bytes(text)
        return path

    return write


def test_a_real_looking_well_with_wrapped_lines_and_nulls(write):
    text = sample.sample_las_text(lines=(1018, 2030))
    assert "WRAP.   YES" in text and "-999.25" in text
    well = read_well(write(text))
    assert well.name == "GEM-2 ST1" and well.prop_array_key == "array1d"
    assert list(well.prop) == ["DEPT", "GR", "RHOB", "NPHI", "DT", "ILD", "CALI", "SP"]
    assert [well.prop[m]["unit"] for m in ("DEPT", "GR", "RHOB")] == ["M", "GAPI", "G/C3"]
    depth = well.array("DEPT")
    assert depth[0] == sample.WELL_TOP and np.all(np.diff(depth) > 0)
    assert not np.isin(-999.25, [well.array(m) for m in well.prop])
    # The neutron log starts below the top; the sonic misses the washout.
    nphi, dt = np.isnan(well.array("NPHI")), np.isnan(well.array("DT"))
    assert nphi[: nphi.argmin()].all() and not nphi[nphi.argmin() :].any()
    assert 0 < dt.sum() < 100 and np.isfinite(well.array("GR")).all()
    survey = sample.sample_survey()[0]
    np.testing.assert_allclose(well.meta["location"], ln2xy([1018, 2030], survey), atol=0.01)
    assert (
        well.meta.items()
        >= {
            "plot_x": "GR",
            "plot_y": "DEPT",
            "plot_y_down": True,
            "las_version": 2.0,
            "wrapped": True,
            "null_value": -999.25,
        }.items()
    )
    assert well.meta["header"]["UWI"] == "00/12-34-056-07W5/0"
    assert well.plot_labels() == ("GR (GAPI)", "DEPT (M)")


@pytest.mark.parametrize(
    "version, wrap, curves, well, name, y_down",
    [
        (1.2, False, [DEPTH, GR], "W-1", "W-1", True),
        (2.0, True, [DEPTH, GR], "", "file_name", True),
        (2.0, False, [("TIME", "MS", [0, 2, 4, 6]), GR], "T", "T", False),
        (2.0, False, [("MD", "FT", [3000, 2999, 2998, 2997]), GR], "up", "up", True),
    ],
)
def test_versions_indexes_and_names(write, version, wrap, curves, well, name, y_down):
    path = write(las_text(curves, version, wrap, well), "file_name.las")
    dob = read_well(path)
    assert dob.name == name and dob.meta["plot_y_down"] is y_down
    np.testing.assert_array_equal(dob.array(curves[0][0]), curves[0][2])
    np.testing.assert_array_equal(dob.array("GR"), GR[2])
    assert dob.meta["location"] is None
    # Nulls leave gaps in the drawn line: no point, no joint across them.
    points, connect = dob.plot_line()
    assert len(points) == 3 and connect.tolist() == [False, True, False]


@pytest.mark.parametrize(
    "text, reason",
    [
        (None, "no such file"),
        (b"\x00\x01binary\xff" * 10, "not a readable LAS file"),
        ("", "not a readable LAS file"),
        (las_text([GR, DEPTH]), "no index curve: the first curve, GR (GAPI)"),
        (las_text([DEPTH]), "no log curves besides the index"),
        (las_text([("DEPT", "M", [1, 2, 2, 3]), GR]), "not monotonic (2 is followed by 2, row 3)"),
        (las_text([("DEPT", "M", [1, 2, np.nan, 3]), GR]), "index curve DEPT has null values"),
        (las_text([DEPTH, GR]).replace("VERS.   2.0", "VERS.   3.0"), "LAS version 3.0"),
    ],
)
def test_bad_files_give_their_reason(write, text, reason):
    path = write(text) if text is not None else write("").with_name("missing.las")
    with pytest.raises(LasError) as raised:
        read_well(path)
    assert reason in str(raised.value) and str(path) in str(raised.value)


FULL = """~VERSION INFORMATION
 VERS.                  2.1 : CWLS LOG ASCII STANDARD - VERSION 2.1
 WRAP.                   NO : ONE LINE PER DEPTH STEP
~WELL INFORMATION
 STRT.FT             3000.0 : START DEPTH
 STOP.FT             2999.0 : STOP DEPTH
 STEP.FT               -0.5 : STEP
 NULL.               -999.0 : NULL VALUE
 WELL.               W-FULL : WELL
 XCOORD.M          605100.5 : SURFACE X
 DATE.           2020-01-02 : LOG DATE
~CURVE INFORMATION
 MD  .FT     00 001 00 00 : MEASURED DEPTH
 GR  .GAPI   07 310 01 00 : GAMMA RAY
 RHOB.G/C3   45 350 02 00 : BULK DENSITY
~PARAMETER INFORMATION
 BHT .DEGC            71.5 : BOTTOM HOLE TEMPERATURE
 MUD .              WATER : MUD TYPE
~OTHER
 Logged after the second run.
~A
 3000.0  55.25   2.31
 2999.5 -999.0   2.4
 2999.0  60.125 -999.0
"""


@pytest.mark.parametrize(
    "text, names, version",
    [
        (sample.sample_las_text(), None, 2.0),  # wrapped, header items, nulls
        (las_text([DEPTH, GR], version=1.2), None, 1.2),
        (FULL, None, 2.0),  # 2.1: parameters, other text, curve codes, a depth going up
        (
            re.sub(r"^ *VERS\..*\n", "", las_text([DEPTH, GR]), flags=re.M),
            None,
            2.0,
        ),
        ("~A\n1000 50 3\n1000.5 60 4\n1001 70 5\n", ["DEPT", "CURVE2", "CURVE3"], 2.0),
    ],
)
def test_wells_go_back_out_as_lasio_reads_them(write, tmp_path, text, names, version):
    source = write(text)
    well = read_well(source)
    assert well.meta["las_version"] == version
    out = tmp_path / "out.las"
    write_well(well, out)
    theirs, back = lasio.read(source), lasio.read(out)
    assert [c.mnemonic for c in back.curves] == (names or [c.mnemonic for c in theirs.curves])
    for came, went in zip(theirs.curves, back.curves, strict=True):
        assert (went.unit, went.descr, str(went.value)) == (came.unit, came.descr, str(came.value))
        np.testing.assert_array_equal(went.data, well.array(went.mnemonic))
    null = well.meta["null_value"] if well.meta["null_value"] is not None else -999.25
    assert back.well["NULL"].value == null
    data_lines = out.read_text().split("~ASCII")[1].splitlines()[1:]
    nulls = sum(np.isnan(well.array(m)).sum() for m in well.prop)
    assert sum(line.split().count(f"{null:g}") for line in data_lines) == nulls
    kept = [i for i in theirs.well if i.mnemonic not in ("STRT", "STOP", "STEP", "NULL")]
    if names is None:  # a file with a header: every item goes back out
        assert [(i.mnemonic, i.unit, str(i.value), i.descr) for i in kept] == [
            (i.mnemonic, i.unit, str(i.value), i.descr) for i in back.well[4:]
        ]
    assert [(i.mnemonic, i.unit, str(i.value)) for i in back.params] == [
        (i.mnemonic, i.unit, str(i.value)) for i in theirs.params
    ]
    assert back.other.strip() == theirs.other.strip()
    assert back.well["STRT"].value == well.array(back.curves[0].mnemonic)[0]


def test_names_unique_in_the_batch_and_the_project(write):
    a = write(las_text([DEPTH, GR], well="W"), "a.las")
    b = write(las_text([DEPTH, GR], well="W"), "b.las")
    assert [w.name for w in read_wells([a, b, a], taken={"W_2"})] == ["W", "W_3", "W_4"]


def test_import_in_the_window_all_or_nothing(main_window, write, monkeypatch):
    from gemlo.app import tour

    good = write(las_text([DEPTH, GR], well="W", extra_well=[("X", "M", 605100.0)]), "a.las")
    bad = write(las_text([GR, DEPTH]), "b.las")
    before = main_window.database.object_names()
    warned = []
    monkeypatch.setattr(QMessageBox, "warning", lambda *args: warned.append(args[2]))
    monkeypatch.setattr(QFileDialog, "getOpenFileNames", lambda *args: ([str(good), str(bad)], ""))
    tour.menu_action(main_window, "Import LAS...").trigger()
    assert len(warned) == 1 and "b.las: no index curve" in warned[0]
    assert main_window.database.object_names() == before
    assert list(main_window.treebase.object_data) == before

    located = write(las_text([DEPTH, GR], well="W", extra_well=[("X", "M", 1.0), ("Y", "M", 2.0)]))
    [w1, w2] = main_window.import_las([good, located])
    assert (w1.name, w2.name, w1.meta["location"], w2.meta["location"]) == (
        "W",
        "W_2",
        None,
        [1.0, 2.0],
    )
    assert [name for name, *_xy in main_window.survey_map.wells] == ["well_A", "W_2"]
    main_window.treebase.rename_object("W_2", "located")
    main_window.treebase.remove_object_worker("well_A")
    assert [name for name, *_xy in main_window.survey_map.wells] == ["located"]
    main_window.treebase.rename_object("located", "W_2")
    assert main_window.database.object_names() == [n for n in before if n != "well_A"] + [
        "W",
        "W_2",
    ]
    stored = main_window.database.load_object("W")
    np.testing.assert_array_equal(stored.array("GR"), GR[2])
    assert stored.prop["GR"]["unit"] == "GAPI" and stored.meta["plot_y"] == "DEPT"


def test_choosing_the_plotted_curve_redraws_the_line(main_window, write):
    from gemlo.dialogs.style_pages import CurvesPage
    from gemlo.widgets.dialogs import ConfigDialog

    rhob = ("RHOB", "G/C3", [2.1, 2.2, 2.3, 2.4])
    [well] = main_window.import_las([write(las_text([DEPTH, GR, rhob]))])
    pane = main_window.show_in_plot(well.name)
    assert pane.base.state["aspect_ratio"] is None  # depth and values share no scale
    visual = well.visuals_in_plot[pane.base._name]
    assert CurvesPage in well.style_pages
    dialog = ConfigDialog(main_window.treebase, well.name)
    page = CurvesPage(dialog)
    page.initialize()
    dialog.add_page(page)
    assert page.x_curve.currentText() == "GR" and page.x_curve.count() == 3
    page.x_curve.setCurrentText("RHOB")
    dialog.accept()
    assert main_window.database.load_object(well.name).meta["plot_x"] == "RHOB"
    np.testing.assert_allclose(visual.pos[:, 0], rhob[2])
    assert isinstance(visual.color, str) and visual.color == well.meta["color"]
    assert pane.base.canvas00.xlabel.text == "RHOB (G/C3)"


def test_statistics_of_curves_with_nulls(main_window, write, qtbot):
    tree, panel = main_window.treebase, main_window.stats_panel
    [well] = main_window.import_las([write(las_text([DEPTH, GR]))])
    tree.setCurrentItem(tree.object_item(well.name))

    def rows():
        table = panel.table
        header = [table.horizontalHeaderItem(c).text() for c in range(table.columnCount())]
        return header, {
            table.item(r, 0).text(): [table.item(r, c).text() for c in range(1, len(header))]
            for r in range(table.rowCount())
        }

    header, shown = rows()
    assert header[-1] == "Nulls" and shown["GR"] == ["50.0", "54.0", "70.0", "78.0", "80.0", "1"]
    assert shown["DEPT"][-1] == "0"
    # Values changed in place, then the panel's own Refresh: the new nulls are counted.
    well.array("GR")[:] = [np.nan, np.nan, np.nan, 10.0]
    qtbot.mouseClick(panel.panel.findChild(QPushButton), Qt.LeftButton)
    assert rows()[1]["GR"] == ["10.0"] * 5 + ["3"]
    well.array("GR")[:] = np.nan
    tree.object_changed(well.name)
    assert rows()[1]["GR"] == ["nan"] * 5 + ["4"]
    well.array("GR")[:] = 1.0
    tree.object_changed(well.name)
    assert rows()[0][-1] == "Max"  # no nulls left: the plain table


def test_import_las_command(write, tmp_path, capsys):
    a = write(las_text([DEPTH, GR], well="A"), "a.las")
    bad = write(las_text([GR, DEPTH]), "bad.las")
    project = tmp_path / "wells.lmd"
    assert gemlo_main(["import-las", str(a), str(bad), str(project)]) == 1
    assert "bad.las: no index curve" in capsys.readouterr().err and not project.exists()
    assert gemlo_main(["import-las", str(a), str(project)]) == 0
    assert gemlo_main(["import-las", str(a), str(project)]) == 0
    assert gemlo_main(["import-las", str(a), str(bad), str(project)]) == 1
    database = ProjectDatabase.open(project)
    assert database.object_names() == ["A", "A_2"]
    database.close()
    assert sorted(os.listdir(tmp_path)) == ["a.las", "bad.las", "wells.lmd"]


def test_a_signal_ends_a_command_as_ctrl_c_does(capsys):
    def work():
        os.kill(os.getpid(), signal.SIGTERM)
        raise AssertionError("not interrupted")

    assert cli.run(work, "Import of x interrupted; nothing was added") == cli.INTERRUPTED
    assert capsys.readouterr().err == "Import of x interrupted; nothing was added\n"
    assert signal.getsignal(signal.SIGTERM) is signal.SIG_DFL


@pytest.mark.parametrize("chunk", [1, 7, 12, 1000])
def test_nulls_are_counted_a_slab_at_a_time(chunk):
    from gemlo.widgets.statpanel import null_count

    values = np.ones((5, 4, 3), np.float32)
    values[1, 2, 0] = values[4, 0, 2] = np.nan
    values[0, 0, 0] = np.inf  # a value, not a null
    assert null_count(values, chunk) == 2 and null_count(np.float32("nan")) == 1
