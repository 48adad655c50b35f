"""A walk through the application, one step per screen a user would look at.

`make run` without a display takes a screenshot after each step, and the
end-to-end test walks the same steps, checking what each one did. A step gets
the main window, does what a user would, and leaves the window showing it; it
returns what the checks need (a dialog, a script). The walk starts on a new,
empty project and ends on a second project holding an imported SEG-Y cube, moved
into a bucket of a local S3 endpoint.
"""

from pathlib import Path

import numpy as np
from qtpy.QtCore import QPoint, QRect, Qt
from qtpy.QtGui import QColor, QPainter
from qtpy.QtWidgets import QApplication, QDialog, QDialogButtonBox, QPushButton

STEPS = []
TITLE_BAR = 22
# Room for the viewers beside the Statistics dock.
WINDOW_SIZE = (1400, 860)

# What the console step runs: a new property made from the project's data, then
# the project as the script sees it.
CONSOLE_SCRIPT = """\
cube = self.treebase.object_data["cube"]
self.treebase.create_property("cube", "strength", np.abs(cube.array("amplitude")))
myprint(self.database)
"""
CALCULATOR_SCRIPT = "# property names stand for their arrays\namplitude = amplitude * 1.1"
# The height of the docks below the viewers while the tour shows a log and a map.
LOW_DOCKS = 90
BOTTOM_DOCKS = {}
# The module that the settings step switches off, as "group/module".
MODULE_OFF = "Viewers/volume"


def step(name):
    """Register the decorated function as the tour's next step, shot as `name`.png."""

    def register(function):
        STEPS.append((name, function))
        return function

    return register


def settle(ms=300):
    """Let Qt lay out and paint (and vispy draw) for `ms` milliseconds."""
    from qtpy.QtCore import QDeadlineTimer, QEventLoop

    deadline = QDeadlineTimer(ms)
    while not deadline.hasExpired():
        QApplication.processEvents(QEventLoop.AllEvents, 50)


def menu_action(window, text):
    """The action of the window's menus whose text (without its & mnemonic) is `text`."""
    for entry in window.menuBar().actions():
        for action in entry.menu().actions():
            if action.text().replace("&", "") == text:
                return action
    raise LookupError(f"no menu action {text!r}")


def viewer(window, kind):
    """The window's first viewer of class `kind`, made current."""
    found = window.viewers(kind)[0]
    window.deck.setCurrentWidget(found)
    return found


def console_of(window):
    consoles = [p.terminal for p in window.plugins if hasattr(p, "terminal")]
    if not consoles:
        raise RuntimeError("the script console did not load")
    return consoles[0]


@step("mainwindow")
def overview(window):
    # The walk starts on a new, empty project.
    menu_action(window, "Add sample data").trigger()
    window.raise_()


@step("console")
def console(window):
    # What a user sees after typing a script and pressing Ctrl+R.
    terminal = console_of(window)
    terminal.code_view.setPlainText(CONSOLE_SCRIPT)
    terminal.emit_script()
    return CONSOLE_SCRIPT


@step("plot")
def plot_viewer(window):
    # A well log in a new plot viewer, the way the data tree's "Show in plot viewer" does it.
    window.deck.new_vs_plot()
    return window.show_in_plot("well_A")


@step("image")
def image_viewer(window):
    window.deck.new_vs_image()
    return window.deck.currentWidget()


@step("volume")
def volume_viewer(window):
    from gemlo.widgets.vispy_volume import VispyVolume

    return viewer(window, VispyVolume)


def tour_data(window):
    """The tour's LAS well and ZMAP+ grid, written beside the project on first use."""
    from gemlo.io import sample

    folder = Path(window.database.path).parent / "tour-data"
    folder.mkdir(exist_ok=True)
    files = []
    for name, make in (
        ("GEM-2.las", sample.sample_las_text),
        ("TOP_C.zmap", sample.sample_zmap_text),
    ):
        path = folder / name
        if not path.exists():
            path.write_text(make())
        files.append(path)
    return files


@step("las_well")
def las_well(window):
    # File > Import LAS...: a well with wrapped lines and nulls, in a plot viewer of its own.
    las_file, _zmap = tour_data(window)
    [well] = window.import_las([las_file])
    # A log is read downwards: the docks below give the viewers room until the map.
    BOTTOM_DOCKS["height"] = window.output_dock.height()
    window.resizeDocks([window.output_dock], [LOW_DOCKS], Qt.Vertical)
    window.deck.new_vs_plot()
    return window.show_in_plot(well.name)


@step("horizon")
def horizon(window):
    # File > Import horizon...: the grid's times at every inline and crossline, as a map.
    from gemlo.widgets.vispy_image import VispyImage

    _las, zmap_file = tour_data(window)
    dob = window.import_horizon(zmap_file)
    if not window.viewers(VispyImage):
        window.deck.new_vs_image()
    tree = window.treebase
    tree.setCurrentItem(tree.object_item(dob.name))
    viewer(window, VispyImage)
    return dob


@step("well_map")
def well_map(window):
    # The wells with a location, on the survey map.
    window.deck.setCurrentWidget(window.survey_map)
    if "height" in BOTTOM_DOCKS:
        window.resizeDocks([window.output_dock], [BOTTOM_DOCKS.pop("height")], Qt.Vertical)
    return window.survey_map


@step("calculator")
def calculator(window):
    # The property calculator over the main window, after a run on the sample cube.
    from gemlo.widgets.dialogs import PropertyOperatorDialog

    tree = window.treebase
    tree.setCurrentItem(tree.object_item("cube"))
    tree.buds.open_property_operator()
    dialog = [d for d in tree.findChildren(PropertyOperatorDialog) if d.isVisible()][-1]
    dialog.editor.setPlainText(CALCULATOR_SCRIPT)
    dialog.buttons.button(QDialogButtonBox.Ok).click()
    return dialog


@step("statistics")
def statistics(window):
    # The percentiles of the cube's properties after the calculator's run, refreshed.
    tree = window.treebase
    tree.setCurrentItem(tree.object_item("cube"))
    window.stats_dock.show()
    window.stats_dock.raise_()
    window.resizeDocks([window.stats_dock], [560], Qt.Horizontal)
    window.stats_panel.panel.findChild(QPushButton).click()
    return window.stats_panel.table


@step("settings")
def project_settings(window):
    # One external module switched off on the project's settings page, and applied.
    dialog = window.open_project_settings()
    picker = dialog.picker
    group, module = MODULE_OFF.split("/")
    item = picker.treeWidget.findItems(group, Qt.MatchExactly)[0]
    [child] = [item.child(i) for i in range(item.childCount()) if item.child(i).text(0) == module]
    child.setCheckState(0, Qt.Unchecked)
    picker.findChild(QDialogButtonBox).button(QDialogButtonBox.Apply).click()
    return dialog


@step("reopened")
def reopen(window):
    # Saved and opened again: the plot viewer comes back with the well log, whose
    # statistics show once it is selected.
    from gemlo.widgets.chartpane import ChartPane

    window.save_project()
    window.open_project(window.database.path)
    window.treebase.setCurrentItem(window.treebase.object_item("well_A"))
    return viewer(window, ChartPane)


def second_project(window):
    """A new project file beside the open one."""
    current = Path(window.database.path)
    project, n = current.with_name(f"{current.stem}-segy.lmd"), 2
    while project.exists():
        project, n = current.with_name(f"{current.stem}-segy-{n}.lmd"), n + 1
    return project


@step("segy_image")
def segy_import(window):
    # A second, empty project takes the survey of the file; its cube in the image viewer.
    from qtpy.QtCore import QDeadlineTimer

    from gemlo.io.synthetic import tour_segy
    from gemlo.widgets.vispy_image import VispyImage

    source = tour_segy()
    window.create_new_project(second_project(window))
    done = []
    window.import_segy(source).sigDone.connect(done.append)
    deadline = QDeadlineTimer(300_000)
    while not done and not deadline.hasExpired():
        settle(50)
    if not done or done[0] is None:
        raise RuntimeError(f"the import of {source} did not complete")
    window.treebase.setCurrentItem(window.treebase.object_item(done[0].name))
    viewer(window, VispyImage)
    return done[0]


@step("segy_volume")
def segy_volume(window):
    from gemlo.widgets.vispy_volume import VispyVolume

    return viewer(window, VispyVolume)


@step("segy_envelope")
def segy_envelope(window):
    # Data > Processing > Envelope on the imported cube: its envelope in the image viewer.
    from qtpy.QtCore import QDeadlineTimer

    from gemlo.dialogs.processing import ProcessDialog
    from gemlo.widgets.vispy_image import VispyImage

    tree = window.treebase
    name = next(n for n, d in tree.object_data.items() if d.prop_array_key == "array3d")
    tree.setCurrentItem(tree.object_item(name))
    processing = next(
        a.menu() for a in window.data_menu.actions() if a.text().replace("&", "") == "Processing"
    )
    next(a for a in processing.actions() if a.text() == "Envelope...").trigger()
    dialog = [d for d in tree.findChildren(ProcessDialog) if d.isVisible()][-1]
    output = dialog.output_edit.text()
    dialog.buttons.button(QDialogButtonBox.Ok).click()
    done = []
    dialog.run_obj.sigDone.connect(done.append)
    deadline = QDeadlineTimer(300_000)
    while not done and not deadline.hasExpired():
        settle(50)
    if not done or done[0] is None:
        raise RuntimeError(f"the envelope of {name} was not computed")
    item = tree.object_item(name)
    tree.setCurrentItem(
        next(item.child(i) for i in range(item.childCount()) if item.child(i).text(0) == output)
    )
    viewer(window, VispyImage)
    return done[0]


@step("segy_export")
def segy_export(window):
    # File > Export SEG-Y: the envelope goes out with the imported file's headers, and
    # the file written is read back by segyio and compared with the property.
    import segyio
    from qtpy.QtCore import QDeadlineTimer

    from gemlo.utils.logger import logger

    tree = window.treebase
    name = next(n for n, d in tree.object_data.items() if d.prop_array_key == "array3d")
    dob = tree.object_data[name]
    prop = next(p for p in dob.prop if p.endswith("_envelope"))
    path = Path(window.workdir) / f"{name}.{prop}.sgy"
    done = []
    window.export_segy(name, prop, str(path)).sigDone.connect(done.append)
    deadline = QDeadlineTimer(300_000)
    while not done and not deadline.hasExpired():
        settle(50)
    if not done or done[0] is None:
        raise RuntimeError(f"the envelope of {name} was not exported")
    with segyio.open(path) as f:  # another program's reader
        values = segyio.tools.cube(f)
    same = bool(np.array_equal(values, dob.array(prop), equal_nan=True))
    logger.info(
        f"Read back {path.name}: {values.shape[0]} x {values.shape[1]} traces of "
        f"{values.shape[2]} samples, {'the same values as' if same else 'NOT the values of'} "
        f"{name}.{prop}"
    )
    if not same:
        raise RuntimeError(f"{path} does not hold the values of {name}.{prop}")
    return path


@step("segy_bucket")
def segy_bucket(window):
    # The imported cube moved into a bucket of an S3 endpoint on this machine, and its
    # inline read back from there on demand.
    from qtpy.QtCore import QDeadlineTimer

    from gemlo.app.tour_bucket import show_cube_from_bucket

    store = show_cube_from_bucket(window, Path(window.database.path).parent)
    deadline = QDeadlineTimer(60_000)  # the Statistics dock reads it on a thread of its own
    while window.stats_panel.reading is not None and not deadline.hasExpired():
        settle(50)
    return store


def open_dialogs():
    return [w for w in QApplication.topLevelWidgets() if isinstance(w, QDialog) and w.isVisible()]


def close_dialogs():
    """Close the open dialogs: each step starts on the bare window."""
    for dialog in open_dialogs():
        dialog.close()


def grab(window):
    """The window with the dialogs shown over it: its own grab() leaves them out."""
    pixmap = window.grab()
    origin = window.mapToGlobal(QPoint(0, 0))
    painter = QPainter(pixmap)
    for dialog in open_dialogs():
        # Without a window manager a dialog has no frame: draw its title bar.
        top_left = dialog.mapToGlobal(QPoint(0, 0)) - origin
        bar = QRect(
            top_left.x() - 1,
            top_left.y() - TITLE_BAR,
            dialog.width() + 2,
            dialog.height() + TITLE_BAR + 1,
        )
        painter.fillRect(bar, QColor("#3c4a5c"))
        painter.setPen(QColor("white"))
        painter.drawText(
            bar.adjusted(8, 0, 0, 0).topLeft() + QPoint(0, TITLE_BAR - 6), dialog.windowTitle()
        )
        painter.drawPixmap(top_left, dialog.grab())
    painter.end()
    return pixmap


def run(window, folder):
    """Walk every step, saving a screenshot after each into `folder`; yields the paths."""
    folder = Path(folder).absolute()
    folder.mkdir(parents=True, exist_ok=True)
    window.resize(*WINDOW_SIZE)
    for name, function in STEPS:
        function(window)
        settle()
        path = folder / f"{name}.png"
        if not grab(window).save(str(path)):
            raise OSError(f"could not write {path}")
        close_dialogs()
        yield path
