"""The application end to end: the tour of `make run`, driven from launch to quit.

The tour goes on into a second project with an imported SEG-Y cube; the import
has tests of its own, on small files.
"""

import numpy as np
from qtpy.QtWidgets import QTableWidget

from gemlo.app import tour
from gemlo.automation import automate
from gemlo.widgets.chartpane import ChartPane

STEPS = dict(tour.STEPS)
WALKED = [name for name, _function in tour.STEPS][: list(STEPS).index("segy_image")]


def snapshot(window):
    """What a reopened project must give back: objects, values, viewers, module choice."""
    objects = {
        name: {p: np.array(dob.array(p)) for p in dob.prop}
        for name, dob in window.treebase.object_data.items()
    }
    plots = [
        (
            pane.base._name,
            {k: np.asarray(v).tolist() for k, v in pane.base.state.items()},
            pane.base.dpState,
            pane.base.canvas00.xlabel.text,
            pane.base.canvas00.ylabel.text,
        )
        for pane in window.viewers(ChartPane)
    ]
    names = sorted(window.deck.tabText(i) for i in range(window.deck.count()))
    return objects, plots, names, dict(window.extmodules)


def test_the_tour_from_launch_to_quit(qtbot, tmp_path, monkeypatch):
    monkeypatch.setenv("GEMLO_PROJECT_DIR", str(tmp_path))
    window = automate.launch()
    qtbot.addWidget(window)
    assert window.treebase.object_data == {}
    walked = []

    def take(name):
        tour.close_dialogs()  # those of the step before, as on screen
        result = STEPS[name](window)
        tour.settle(50)
        walked.append(name)
        return result

    take("mainwindow")
    tree = window.treebase
    assert list(tree.object_data) == ["cube", "well_A"] and window.survey is not None
    cube = tree.object_data["cube"]

    take("console")
    np.testing.assert_array_equal(cube.array("strength"), np.abs(cube.array("amplitude")))
    # myprint(self.database) in the log dock: the project file lists the new property.
    assert "strength (float32)" in window.output.toPlainText()

    pane = take("plot")
    well = tree.object_data["well_A"]
    assert pane.base.canvas.visuals == [well.visuals_in_plot[pane.base._name]]
    assert window.deck.currentWidget() is pane
    assert pane.base.canvas00.xlabel.text == "velocity (m/s)"
    image, volume = take("image"), take("volume")
    assert image.shown == ("cube", "amplitude", 30) and volume.shown == ("cube", "amplitude")
    assert window.deck.currentWidget() is volume

    pane = take("las_well")
    [las] = [dob for name, dob in tree.object_data.items() if name not in ("cube", "well_A")]
    assert las.name == "GEM-2 ST1" and las.meta["plot_y"] == "DEPT" and las.meta["location"]
    assert pane.base.canvas.visuals == [las.visuals_in_plot[pane.base._name]]
    assert (pane.base.canvas00.xlabel.text, pane.base.canvas00.ylabel.text) == (
        "GR (GAPI)",
        "DEPT (M)",
    )
    assert 0 < np.isnan(las.array("NPHI")).sum() < las.shape[0]
    horizon = take("horizon")
    assert image.shown == (horizon.name, "z", None) and window.deck.currentWidget() is image
    nulls = int(np.isnan(horizon.array("z")).sum())
    table = window.stats_panel.table
    assert table.columnCount() == 7 and table.item(0, 6).text() == str(nulls) and nulls > 0
    survey_map = take("well_map")
    assert [name for name, _x, _y in survey_map.wells] == ["well_A", las.name]

    before = np.array(cube.array("amplitude"))
    dialog = take("calculator")
    assert dialog.isVisible() and dialog.message.text() == "Script run on cube."
    np.testing.assert_array_equal(cube.array("amplitude"), before * 1.1)
    assert volume.shown == ("cube", "amplitude")

    table = take("statistics")
    rows = {
        table.item(r, 0).text(): [table.item(r, c).text() for c in range(1, 6)]
        for r in range(table.rowCount())
    }
    assert sorted(rows) == sorted(cube.prop)
    after = before * 1.1
    assert rows["amplitude"] == [str(np.percentile(after, p)) for p in (0, 10, 50, 90, 100)]

    dialog = take("settings")
    assert dialog.isVisible() and window.extmodules[tour.MODULE_OFF] == "False"
    # Switched off at once; the viewer that is open stays.
    assert not tour.menu_action(window, "New volume viewer").isVisible()
    assert volume in window.viewers()
    assert f"'{tour.MODULE_OFF}': False" in window.output.toPlainText()

    saved = snapshot(window)
    path = window.database.path
    pane = take("reopened")
    assert window.database.path == path and window.deck.currentWidget() is pane
    objects, plots, names, modules = snapshot(window)
    assert list(objects) == list(saved[0])
    for name, props in saved[0].items():
        assert list(objects[name]) == list(props)
        for prop, values in props.items():
            np.testing.assert_array_equal(objects[name][prop], values)
    assert (plots, names, modules) == saved[1:]
    assert plots[0][3:] == ("velocity (m/s)", "depth (m)")
    assert modules[tour.MODULE_OFF] == "False" and modules["Import/segy"] == "True"
    shown = [t for t in window.stats_panel.findChildren(QTableWidget) if t.isVisible()]
    assert shown == [window.stats_panel.table] and shown[0].rowCount() == 3

    assert walked == WALKED, "the test walks the tour of make run"
    automate.quit(qtbot, window)
    assert not window.isVisible()
