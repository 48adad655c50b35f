"""Horizons from ZMAP+ grids: the reader, the grid on a survey, the import and the map view."""

import io

import numpy as np
import pytest

from gemlo.app.__main__ import main as gemlo_main
from gemlo.errors import InputError
from gemlo.io import surface
from gemlo.io.horizons import read_horizon
from gemlo.io.surface import survey_lines
from gemlo.io.zmap import ZmapError, read_grid, write_grid
from gemlo.storage.database import ProjectDatabase
from gemlo.utils.convert_grid import ln2xy

# A grid over part of the rotated survey (x 508000-515000, y 6780000-6787000).
X_RANGE, Y_RANGE = (507000.0, 513000.0), (6779000.0, 6788000.0)


def known(x, y):
    """Bilinear in x and y: what bilinear interpolation gives back exactly."""
    u, v = (x - X_RANGE[0]) / 1000, (y - Y_RANGE[0]) / 1000
    return 1500 + 30 * u - 12 * v + 2.5 * u * v


def grid_text(z, per_line=5, null=-99999.0, x_range=X_RANGE, y_range=Y_RANGE):
    text = io.StringIO()
    write_grid(text, z, x_range, y_range, name="TOP", null=null, per_line=per_line)
    return text.getvalue()


def known_grid(rows=10, columns=7):
    x = np.linspace(*X_RANGE, columns)
    y = np.linspace(Y_RANGE[1], Y_RANGE[0], rows)  # north to south
    return known(*np.meshgrid(x, y))


@pytest.fixture
def write(tmp_path):
    def write(text, name="grid.zmap"):
        path = tmp_path / name
        path.write_text(text) if isinstance(text, str) else path.write_bytes(text)
        return path

    return write


@pytest.mark.parametrize("per_line", [1, 3, 5, 10, 70])
def test_values_split_over_lines_column_by_column(write, per_line):
    z = np.arange(70.0).reshape(10, 7)
    z[2, 3] = np.nan
    grid = read_grid(write(grid_text(z, per_line)))
    np.testing.assert_array_equal(grid.values[::-1], z)  # the file runs from the north
    assert (grid.name, grid.extent(), grid.null) == ("TOP", X_RANGE + Y_RANGE, -99999)


@pytest.mark.parametrize("newline", ["\n", "\r\n"])
def test_fields_run_together_are_split_by_their_width(write, newline):
    text = "! tight\n@G, GRID, 2\n10, 1e30, , 2, 1\n2, 2, 0, 1, 0, 1\n0.0, 0.0, 0.0\n@\n"
    text += "   12.5000    1.0E+30\n  -3.00000-1.0000000\n"
    path = write(b"").with_suffix(".dat")
    path.write_bytes(text.replace("\n", newline).encode())
    np.testing.assert_array_equal(read_grid(path).values, [[np.nan, -1.0], [12.5, -3.0]])


def _edit(old, new, count=1):
    return lambda text: text.replace(old, new, count)


@pytest.mark.parametrize(
    "change, reason",
    [
        (lambda text: text.rsplit("\n", 3)[0] + "\n", "truncated: 60 values where"),
        (lambda text: text + "1.0 2.0\n", "more values than the header's 10 rows by 7 columns"),
        (_edit("10, 7,", "7, 10,"), (7, 10)),  # same count: read, whatever it means
        (_edit("10, 7,", "11, 7,"), "truncated: 70 values where"),
        (_edit("\n@\n", "\n"), "truncated: the header does not end"),
        (_edit("0.0, 0.0, 0.0\n", ""), "the header holds 11 fields where 14 belong"),
        (_edit("10, 7,", "1, 70,"), "the header's row count is 1, less than 2"),
        (_edit("10, 7,", "ten, 7,"), "the header's row count is 'ten'"),
        (_edit("-99999, ,", ", ,"), "the header gives no null value"),
        (_edit("507000.0000, 513000.0000", "513000.0000, 507000.0000"), "is empty"),
        (_edit("1500.0000", "15OO.0000"), "'15OO.0000' is not a number"),
        (_edit("GRID", "GRD"), "not a ZMAP+ grid"),
        (_edit("GRID, 5", "FREE POINT, 5"), "of points or polygons (FREE POINT), not a grid"),
        (_edit("10, 7,", "100000, 70000,"), "7000000000 values, more than the file's"),
        # What other programs write: comments anywhere, trailing commas, inline comments.
        (_edit("@\n", "@\n+ written after the header\n"), None),
        (_edit("\n  ", "\n! a comment between values\n  ", 3), None),
        (lambda text: text.replace(", 1\n", ", 1,\n").replace("0.0\n@", "0.0,\n@"), None),
        (_edit("0.0, 0.0, 0.0\n", "0.0, 0.0, 0.0 ! no transform\n"), None),
        (lambda text: "hello\n", "not a ZMAP+ grid (no header line"),
        (lambda text: b"\x89PNG\x00\xff", "not an ASCII text file"),
    ],
)
def test_bad_grids_give_their_reason(write, change, reason):
    path = write(change(grid_text(known_grid())))
    if not isinstance(reason, str):
        values = read_grid(path).values
        if reason is None:  # the same grid
            np.testing.assert_allclose(values[::-1], known_grid(), atol=1e-4)
        assert values.shape == (reason or (10, 7))
        return
    with pytest.raises(ZmapError) as raised:
        read_grid(path)
    assert reason in str(raised.value) and str(path) in str(raised.value)


def test_horizon_on_a_rotated_survey_takes_the_grid_at_each_position(
    write, rotated_grid, monkeypatch
):
    survey, sgmt = rotated_grid
    monkeypatch.setattr(surface, "SLAB_POSITIONS", 1000)  # two inlines at a time, one left over
    z = known_grid(19, 13)  # nodes 500 m apart
    z[9, 6] = np.nan
    dob = read_horizon(write(grid_text(z)), survey, sgmt, taken={"TOP"})
    values = dob.array("z")
    assert dob.name == "TOP_2" and values.shape == (201, 401) and dob.prop_array_key == "array2d"
    assert (dob.meta["il0"], dob.meta["xl0"]) == (1000, 2000)
    vxyz = dob.meta["vxyz"]
    assert (vxyz["AXIS_ILX"], vxyz["AXIS_ILY"]) == (515000.0, 6784000.0)
    il, xl = np.meshgrid(np.arange(1000, 1201), np.arange(2000, 2401), indexing="ij")
    x, y = ln2xy(np.column_stack([il.ravel(), xl.ravel()]), survey).T.reshape(2, 201, 401)
    inside = (x >= X_RANGE[0]) & (x <= X_RANGE[1]) & (y >= Y_RANGE[0]) & (y <= Y_RANGE[1])
    # The null node blanks the four cells around it, 1000 m by 1000 m; within 1% of a cell
    # of their edges and of the grid's, positions keep their values.
    off = np.maximum(np.abs(x - 510000), np.abs(y - 6783500))
    valid = inside & (off > 500)
    assert 0 < (~inside).sum() and 0 < (off < 500).sum() < valid.sum()
    np.testing.assert_allclose(values[valid], known(x, y)[valid], atol=2e-3)
    near = (x >= X_RANGE[0] - 5) & (x <= X_RANGE[1] + 5) & (y >= Y_RANGE[0] - 5)
    assert np.isnan(values[~(near & (y <= Y_RANGE[1] + 5)) | (off < 495)]).all()


def test_a_grid_off_the_survey_or_no_survey_is_refused(write, rotated_grid):
    survey, sgmt = rotated_grid
    far = write(grid_text(known_grid(), x_range=(0.0, 1000.0), y_range=(0.0, 900.0)))
    with pytest.raises(InputError, match="holds no value over the survey"):
        read_horizon(far, survey, sgmt)
    with pytest.raises(InputError, match="the project has no survey"):
        read_horizon(far, None, None)
    assert survey_lines(sgmt)["IL_AMNT"] == 201


def test_horizon_in_the_window_the_map_view_and_statistics(main_window, write):
    from gemlo.io import sample
    from gemlo.widgets.vispy_image import VispyImage

    dob = main_window.import_horizon(write(sample.sample_zmap_text()))
    assert main_window.database.load_object(dob.name).array("z").shape == (60, 80)
    main_window.deck.new_vs_image()
    image = main_window.deck.currentWidget()
    assert isinstance(image, VispyImage) and image.shown == ("cube", "amplitude", 30)
    tree = main_window.treebase
    tree.setCurrentItem(tree.object_item(dob.name))
    assert image.shown == (dob.name, "z", None)
    assert image.canvas00.xlabel.text == "crossline" and image.canvas00.ylabel.text == "inline"
    table = main_window.stats_panel.table
    present = dob.array("z")[np.isfinite(dob.array("z"))]
    assert table.item(0, 1).text() == str(np.float32(present.min()))
    assert table.item(0, 6).text() == str(dob.array("z").size - present.size)


def test_a_cancelled_import_adds_nothing(main_window, write, monkeypatch, gemlo_log):
    from qtpy.QtWidgets import QProgressDialog

    from gemlo.app.tour import menu_action
    from gemlo.io import sample

    path = write(sample.sample_zmap_text())
    monkeypatch.setattr(surface, "SLAB_POSITIONS", 800)  # ten slabs
    asked = []
    monkeypatch.setattr(QProgressDialog, "wasCanceled", lambda self: asked.append(1) or True)
    monkeypatch.setattr("qtpy.QtWidgets.QFileDialog.getOpenFileName", lambda *a: (str(path), ""))
    before = main_window.database.object_names()
    menu_action(main_window, "Import horizon...").trigger()
    assert asked == [1] and main_window.database.object_names() == before
    assert list(main_window.treebase.object_data) == before
    assert gemlo_log[-1].getMessage().endswith("cancelled; nothing was added")


def test_import_zmap_command(write, tmp_path, capsys, sample_survey):
    grid = write(grid_text(known_grid()))
    project = tmp_path / "p.lmd"
    assert gemlo_main(["import-zmap", str(grid), str(project)]) == 1
    assert "no project at" in capsys.readouterr().err and not project.exists()
    database = ProjectDatabase.create(project)
    database.close()
    assert gemlo_main(["import-zmap", str(grid), str(project)]) == 1
    assert "the project has no survey" in capsys.readouterr().err
    from gemlo.io import sample

    grid = write(sample.sample_zmap_text(), "top.zmap")
    database = ProjectDatabase.open(project)
    database.save_survey(*sample_survey)
    database.close()
    assert gemlo_main(["import-zmap", str(grid), str(project)]) == 0
    out = capsys.readouterr().out.splitlines()
    assert out[-2:] == [f"{grid}: 60 of 60 inlines (100%)", f"Added TOP_C_TWT to {project}"]
    database = ProjectDatabase.open(project)
    assert database.object_names() == ["TOP_C_TWT"]
    database.close()
