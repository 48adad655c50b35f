"""The host's viewers (vispy canvases) and how the main window uses them."""

import sqlite3

import numpy as np
import pytest
from qtpy.QtCore import QTimer
from qtpy.QtGui import QImage
from qtpy.QtWidgets import QApplication, QFileDialog, QTabBar

from gemlo.app import tour
from gemlo.storage.database import ProjectDatabase
from gemlo.widgets.chartpane import ChartPane
from gemlo.widgets.vispy_image import VispyImage
from gemlo.widgets.vispy_volume import MAX_SIDE, VispyVolume, downsample


def pixels(image):
    """A QImage as an (h, w, 4) uint8 array."""
    image = image.convertToFormat(QImage.Format_RGBA8888)
    return np.array(image.constBits()).reshape(image.height(), image.width(), 4)


@pytest.mark.parametrize("kind", [VispyImage, VispyVolume])
def test_viewers_alone_show_an_empty_scene(qtbot, kind):
    viewer = kind(parent=None, name="9_vs_x")
    qtbot.addWidget(viewer)
    viewer.show()
    assert viewer._name == "9_vs_x" and viewer.shown is None and viewer.dpState == {}
    viewer.refresh()
    assert viewer.shown is None


def test_volume_reads_a_memory_mapped_cube_with_a_stride(tmp_path):
    cube = np.lib.format.open_memmap(tmp_path / "big.npy", "w+", np.float32, (500, 170, 90))
    cube[::7] = 1.0
    small = downsample(cube)
    assert small.shape == (125, 85, 90) and max(downsample(cube, 64).shape) <= 64
    assert small.flags.c_contiguous and small.dtype == np.float32 and small[0, 0, 0] == 1.0
    assert max(small.shape) <= MAX_SIDE


def test_main_window_deck_map_and_cube_viewers(main_window):
    deck = main_window.deck
    assert main_window.centralWidget() is deck and deck.widget(0) is main_window.survey_map
    assert deck.tabBar().tabButton(0, QTabBar.RightSide) is None
    [volume] = main_window.viewers(VispyVolume)
    assert volume.shown == ("cube", "amplitude") and volume.volume.parent is not None
    # Selecting a property shows it in the viewers that follow the cube.
    deck.new_vs_image()
    image = deck.currentWidget()
    assert image.shown == ("cube", "amplitude", 30)
    cube_item = main_window.treebase.object_item("cube")
    main_window.treebase.setCurrentItem(cube_item.child(1))
    assert image.shown[:2] == volume.shown == ("cube", "velocity")


def test_data_tree_shows_objects_in_the_current_plot_viewer(main_window, qtbot):
    tree = main_window.treebase
    labels = [label for label, _action in tree.object_actions]
    assert labels == ["Show in plot viewer", "Remove from plot viewer"]
    show, remove = (action for _label, action in tree.object_actions)
    pane = show("well_A")  # no plot viewer yet: one is opened
    assert isinstance(pane, ChartPane) and main_window.deck.currentWidget() is pane
    visual = tree.object_data["well_A"].visuals_in_plot[pane.base._name]
    assert pane.base.canvas.visuals == [visual]
    remove("well_A")
    assert pane.base.canvas.visuals == [] and visual.parent is None
    show("well_A")
    tree.rename_object("well_A", "well_B")
    assert pane.base.canvas.visuals == [] and not pane.base.dpState["well_A"]["object"]["self"]
    show("well_B")
    assert pane.base.canvas.visuals == [visual] and visual.name == "well_B"
    tree.remove_object_worker("well_B")
    assert pane.base.canvas.visuals == [] and not pane.base.dpState["well_B"]["object"]["self"]


def test_plot_viewers_round_trip_through_the_project_file(main_window, tmp_path):
    deck = main_window.deck
    deck.new_vs_plot()
    first = deck.currentWidget()
    first.base.state = {"aspect_method": "Free", "aspect_ratio": None, "bgcolor": (0, 0, 0, 1)}
    main_window.show_in_plot("well_A")
    deck.new_vs_plot()
    second = deck.currentWidget()
    second.base.state = {"aspect_ratio": 3.0}

    def described(pane):
        state = pane.base.state
        return pane.base._name, list(state), state["aspect_ratio"], list(state["bgcolor"])

    saved = [described(p) for p in (first, second)]
    main_window.save_project()

    path = main_window.database.path
    main_window.open_project(path)
    panes = main_window.viewers(ChartPane)
    assert [described(p) for p in panes] == saved
    assert saved[0][2:] == (None, [0, 0, 0, 1]) and saved[1][2] == 3.0
    assert panes[0].base.aspect_method == "Free"
    assert [p.base.dpState for p in panes] == [{"well_A": {"object": {"self": True}}}, {}]
    deck.new_vs_plot()
    assert deck.tabText(deck.currentIndex()) == "4_vs_plot"


def test_a_project_file_without_the_viewers_table_opens(main_window, tmp_path):
    path = main_window.database.path
    main_window.database.close()
    main_window.database = None
    with sqlite3.connect(path) as conn:
        conn.execute("DROP TABLE IF EXISTS viewers")
    conn.close()
    main_window.open_project(path)
    assert main_window.viewers(ChartPane) == [] and "well_A" in main_window.treebase.object_data
    main_window.deck.new_vs_plot()
    main_window.save_project()
    assert [v[0] for v in ProjectDatabase.open(path).load_viewers()] == ["2_vs_plot"]


# Drawing: these need an OpenGL context, so they run on an X display.


@pytest.mark.render
def test_export_writes_the_drawn_line(gl, main_window, tmp_path, qtbot):
    pane = main_window.show_in_plot("well_A")
    target = tmp_path / "plot.png"

    def answer():
        dialog = QApplication.activeModalWidget()
        if not isinstance(dialog, QFileDialog):
            QTimer.singleShot(20, answer)
            return
        dialog.selectFile(str(target)[:-4])  # the extension is added
        dialog.accept()

    tour.settle(300)
    QTimer.singleShot(0, answer)
    pane.base.export_canvas()
    rgba = pixels(QImage(str(target)))
    assert rgba.shape[:2] == (pane.base.canvas.size[1], pane.base.canvas.size[0])
    red = (rgba[..., 0] > 150) & (rgba[..., 1] < 100) & (rgba[..., 2] < 100)
    assert red.sum() > 200  # the well log, drawn in red


@pytest.mark.render
def test_pick_mode_reports_the_object_under_the_click(gl, main_window, gemlo_log, qtbot):
    from qtpy.QtCore import QPoint, Qt

    pane = main_window.show_in_plot("well_A")
    tour.settle(300)
    base = pane.base
    point = main_window.treebase.object_data["well_A"].plot_points()[60]
    to_canvas = base.canvas.scene.node_transform(base.view.scene).imap(point)[:2]
    pane.pick_btn.setChecked(True)
    qtbot.mouseClick(base.canvas.native, Qt.LeftButton, pos=QPoint(*map(round, to_canvas)))
    text = [r.getMessage() for r in gemlo_log if "picked" in r.getMessage()]
    assert text == ["{}: picked well_A at x={:.6g}, y={:.6g}".format(base._name, *point)]


@pytest.mark.render
@pytest.mark.parametrize("step", ["plot", "image", "volume", "las_well", "horizon"])
def test_tour_screenshots_show_rendered_data(gl, main_window, step):
    for name, function in tour.STEPS:
        if name == step:
            function(main_window)
    tour.settle(500)
    viewer = main_window.deck.currentWidget()
    canvas = viewer.base if isinstance(viewer, ChartPane) else viewer
    # What the tour saves: the window grabbed by Qt, GL content included.
    rgba = pixels(main_window.grab().toImage()).astype(int)
    top_left = canvas.canvas.native.mapTo(main_window, canvas.canvas.native.rect().topLeft())
    width, height = canvas.canvas.size
    area = rgba[top_left.y() : top_left.y() + height, top_left.x() : top_left.x() + width, :3]
    # Not blank, not black: many colours, and mostly light background.
    assert len(np.unique(area.reshape(-1, 3), axis=0)) > 50
    assert area.mean() > 100


@pytest.mark.render
def test_volume_is_framed_whole(gl, main_window):
    # A deep cube: its near corners, which the perspective draws larger, stay in the view.
    from gemlo.model.dataobject import DataObject

    volume = tour.volume_viewer(main_window)
    tour.settle(300)
    cube = DataObject("deep", {"amplitude": {"array3d": np.ones((150, 100, 150), np.float32)}})
    main_window.treebase.add_object(cube)
    main_window.treebase.setCurrentItem(main_window.treebase.object_item("deep"))
    tour.settle(500)
    native = volume.canvas.native
    top_left = native.mapTo(main_window, native.rect().topLeft())
    width, height = volume.canvas.size
    rgba = pixels(main_window.grab().toImage()).astype(int)[
        top_left.y() : top_left.y() + height, top_left.x() : top_left.x() + width, :3
    ]
    # The view's background fills a box inside the canvas; the volume must keep off its edge.
    background = np.nonzero((rgba == rgba[height // 2, 8]).all(axis=2))
    drawn = np.nonzero(np.ptp(rgba, axis=2) > 30)  # coloured, not grey
    assert len(drawn[0]) > 0.1 * width * height
    for axis in (0, 1):
        assert background[axis].min() + 3 < drawn[axis].min()
        assert drawn[axis].max() < background[axis].max() - 3
