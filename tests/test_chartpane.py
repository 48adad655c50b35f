"""The plot pane: its canvas's protocol with data objects, its state and its toolbar."""

import numpy as np
import pytest
from qtpy.QtCore import QSize, Qt, QTimer
from qtpy.QtWidgets import QApplication, QHBoxLayout, QMessageBox, QToolButton
from vispy.scene.cameras import PanZoomCamera

from gemlo.io.sample import sample_cube, sample_well
from gemlo.model.dataobject import DataObject
from gemlo.widgets.chartpane import ChartPane, PlotBase


class CountingWell(DataObject):
    """A real well log that counts how often it is asked for a visual."""

    made = 0

    def make_visuals_in_plot(self, parent=None):
        self.made += 1
        return super().make_visuals_in_plot(parent=parent)


@pytest.fixture(scope="module")
def well():
    return sample_well(sample_cube())


@pytest.fixture
def pane(qtbot):
    pane = ChartPane(name="2_vs_plot")
    qtbot.addWidget(pane)
    pane.show()
    return pane


def messages(records):
    return [(r.levelname, r.getMessage()) for r in records]


def test_new_canvas_is_an_empty_configured_cell(pane):
    base = pane.base
    assert PlotBase.NAME == "chart pane" and base._name == "2_vs_plot"
    assert base.canvas00.visuals == [] and base.canvas.visuals == []
    assert isinstance(base.camera, PanZoomCamera) and base.view is base.canvas00.view
    state = base.state
    assert list(state) == ["aspect_method", "aspect_ratio", "bgcolor"]
    assert state["aspect_method"] == "Equal" and state["aspect_ratio"] == base.aspect_ratio == 1.0
    assert np.array_equal(state["bgcolor"], base.bgcolor.rgba)


@pytest.mark.parametrize(
    "written, method, aspect, rgba",
    [
        ({}, "Equal", 1.0, (1, 1, 1, 1)),
        ({"aspect_ratio": 2.0, "other": "ignored"}, "Equal", 2.0, (1, 1, 1, 1)),
        (
            {"aspect_method": "Free", "aspect_ratio": None, "bgcolor": (0, 0, 0.5, 1)},
            "Free",
            None,
            (0, 0, 0.5, 1),
        ),
    ],
)
def test_state_restores_only_the_keys_given(pane, written, method, aspect, rgba):
    base = pane.base
    base.state = written
    assert (base.aspect_method, base.camera.aspect) == (method, aspect)
    assert np.allclose(base.bgcolor.rgba, rgba)
    # What was read can be written back without change.
    before = base.state
    base.state = before
    assert repr(base.state) == repr(before)


def test_visual_is_made_once_and_reused(pane, well, gemlo_log):
    dob = CountingWell(well.name, well.prop, "array1d", well.meta)
    base = pane.base
    base.add_item_agent(dob)
    base.add_item_agent(dob)
    visual = dob.visuals_in_plot["2_vs_plot"]
    assert dob.made == 1 and base.canvas.visuals == [visual, visual]
    assert visual.parent is base.view.scene and visual.name == "well_A"
    assert base.dpState == {"well_A": {"object": {"self": True}}}
    # The camera fitted the line: its range holds every point.
    rect = base.camera.rect
    assert rect.left <= visual.pos[:, 0].min() and rect.right >= visual.pos[:, 0].max()
    base.remove_item_agent(dob)
    assert visual.parent is None and base.canvas.visuals == []
    assert base.dpState["well_A"]["object"]["self"] is False
    base.add_item_agent(dob)
    assert dob.made == 1 and visual.parent is base.view.scene
    assert messages(gemlo_log) == [("INFO", "2_vs_plot is adding well_A")] * 2 + [
        ("INFO", "2_vs_plot is removing well_A"),
        ("INFO", "2_vs_plot is adding well_A"),
    ]


def test_objects_not_shown_or_not_viewable_change_nothing(pane, gemlo_log, capsys):
    cube = sample_cube()
    base = pane.base
    base.add_item_agent(cube)
    base.remove_item_agent(cube)
    assert cube.visuals_in_plot == {} and base.dpState == {} and base.canvas.visuals == []
    assert messages(gemlo_log) == [("WARNING", "2_vs_plot cannot display cube")]
    assert capsys.readouterr().out == ""


def test_removal_of_a_visual_the_canvas_let_go_is_ignored(pane, well, gemlo_log, capsys):
    base = pane.base
    base.add_item_agent(well)
    base.remove_item(well.visuals_in_plot["2_vs_plot"])
    with pytest.raises(ValueError):
        base.remove_item(well.visuals_in_plot["2_vs_plot"])
    base.remove_item_agent(well)
    out = capsys.readouterr().out
    assert out.startswith("Ignore ") and "2_vs_plot does not hold" in out
    assert base.dpState["well_A"]["object"]["self"] is False
    assert messages(gemlo_log)[-1] == ("INFO", "2_vs_plot is removing well_A")


def button_row(pane):
    row = pane.layout().itemAt(0).layout()
    assert isinstance(row, QHBoxLayout)
    return [row.itemAt(i) for i in range(row.count())]


def test_toolbar_buttons_tips_and_options_button(qtbot):
    options = QToolButton()
    pane = ChartPane(options_button=options, name="p")
    qtbot.addWidget(pane)
    items = button_row(pane)
    buttons = [i.widget() for i in items[:5]]
    assert [b.toolTip() for b in buttons] == [
        "Hide all (Ctrl+L)",
        "Pick mode (P)",
        "Background color",
        "Export canvas to picture",
        "Help",
    ]
    assert all(b.iconSize() == QSize(16, 16) and not b.icon().isNull() for b in buttons)
    assert buttons[1] is pane.pick_btn and pane.pick_btn.isCheckable()
    assert [b.shortcut().toString() for b in buttons] == ["Ctrl+L", "P", "", "", ""]
    assert items[5].spacerItem() is not None and items[6].widget() is options
    assert len(items) == 7 and len(button_row(ChartPane(parent=pane))) == 5
    assert pane.parent is None and pane.layout().itemAt(1).widget() is pane.base


def test_shortcuts_hide_all_and_toggle_pick_mode(pane, well, qtbot):
    pane.base.add_item_agent(well)
    pane.activateWindow()
    qtbot.waitUntil(pane.isActiveWindow)
    # A shortcut clicks its button a moment later (Qt animates the press).
    qtbot.keyClick(pane, Qt.Key_L, Qt.ControlModifier)
    qtbot.waitUntil(lambda: pane.base.canvas.visuals == [])
    assert well.visuals_in_plot["2_vs_plot"].parent is None
    assert pane.base.dpState["well_A"]["object"]["self"] is False
    for expected in (True, False, True):
        qtbot.keyClick(pane, Qt.Key_P)
        qtbot.waitUntil(lambda expected=expected: pane.pick_btn.isChecked() is expected)
        assert pane.base.pick_mode is expected


def close_modal_later(found):
    def close():
        box = QApplication.activeModalWidget()
        if box is None:
            QTimer.singleShot(20, close)
            return
        found.append((box.windowTitle(), box.text()))
        box.done(QMessageBox.Ok)

    QTimer.singleShot(0, close)


def test_help_box_shows_the_canvas_help(pane):
    found = []
    close_modal_later(found)
    pane.show_help()
    assert found == [("How to use", pane.base.HELP)]


def test_background_color_dialog_sets_the_canvas_colour(pane):
    found = []

    def choose():
        dialog = QApplication.activeModalWidget()
        if dialog is None:
            QTimer.singleShot(20, choose)
            return
        found.append(dialog)
        dialog.setCurrentColor(Qt.darkBlue)
        dialog.accept()

    QTimer.singleShot(0, choose)
    pane.base.set_background_color()
    assert found and np.allclose(pane.base.state["bgcolor"], (0, 0, 0.5, 1), atol=0.01)
