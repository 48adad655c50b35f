"""A walk through the application, one step per screen a user would look at.

`make run` without a display takes a screenshot after each step; the
end-to-end test walks the same steps. A step gets the main window (on a
project holding the sample data) and leaves it showing what it is named for.
"""
from pathlib import Path

from qtpy.QtCore import QPoint, QRect, Qt
from qtpy.QtGui import QColor, QPainter
from qtpy.QtWidgets import QApplication, QDialog

STEPS = []
TITLE_BAR = 22


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


@step("mainwindow")
def overview(window):
    window.raise_()


@step("console")
def console(window):
    # What a user sees after typing a script and pressing Ctrl+R.
    consoles = [p.terminal for p in window.plugins if hasattr(p, "terminal")]
    if not consoles:
        raise RuntimeError("the script console did not load")
    consoles[0].code_view.setPlainText("myprint(self.database)\nmyprint(self.treebase)")
    consoles[0].emit_script()


@step("plot")
def plot_viewer(window):
    # A well log in a new plot viewer, the way the data tree's "Show in plot viewer" does it.
    window.deck.new_vs_plot()
    window.show_in_plot("well_A")


@step("image")
def image_viewer(window):
    window.deck.new_vs_image()


@step("volume")
def volume_viewer(window):
    from gemlo.widgets.vispy_volume import VispyVolume
    window.deck.setCurrentWidget(window.viewers(VispyVolume)[0])


@step("calculator")
def calculator(window):
    # The property calculator over the main window, after a run on the sample cube.
    from gemlo.widgets.dialogs import PropertyOperatorDialog
    tree = window.treebase
    tree.setCurrentItem(tree.object_item("cube"))
    tree.buds.open_property_operator()
    dialog = [d for d in tree.findChildren(PropertyOperatorDialog) if d.isVisible()][-1]
    dialog.editor.setPlainText("# property names stand for their arrays\namplitude = amplitude * 1.1")
    dialog.start()


@step("statistics")
def statistics(window):
    # The percentiles of the sample cube's properties, as a user selecting it sees them.
    tree = window.treebase
    tree.setCurrentItem(tree.object_item("cube"))
    window.stats_dock.show()
    window.stats_dock.raise_()
    window.resizeDocks([window.stats_dock], [560], Qt.Horizontal)


@step("segy_import")
def segy_import(window):
    # A second, empty project beside the current one takes the survey of the file.
    from gemlo.io.synthetic import tour_segy
    source = tour_segy()
    current = Path(window.database.path)
    project, n = current.with_name(f"{current.stem}-segy.lmd"), 2
    while project.exists():
        project, n = current.with_name(f"{current.stem}-segy-{n}.lmd"), n + 1
    window.create_new_project(project)
    done = []
    window.import_segy(source).sigDone.connect(done.append)
    from qtpy.QtCore import QDeadlineTimer
    deadline = QDeadlineTimer(300_000)
    while not done and not deadline.hasExpired():
        settle(50)
    if not done or done[0] is None:
        raise RuntimeError(f"the import of {source} did not complete")
    window.treebase.setCurrentItem(window.treebase.object_item(done[0].name))


def open_dialogs():
    return [w for w in QApplication.topLevelWidgets() if isinstance(w, QDialog) and w.isVisible()]


def grab(window):
    """The window with the dialogs shown over it: its own grab() leaves them out."""
    pixmap = window.grab()
    origin = window.mapToGlobal(QPoint(0, 0))
    painter = QPainter(pixmap)
    for dialog in open_dialogs():
        # Without a window manager a dialog has no frame: draw its title bar.
        top_left = dialog.mapToGlobal(QPoint(0, 0)) - origin
        bar = QRect(top_left.x() - 1, top_left.y() - TITLE_BAR, dialog.width() + 2,
                    dialog.height() + TITLE_BAR + 1)
        painter.fillRect(bar, QColor("#3c4a5c"))
        painter.setPen(QColor("white"))
        painter.drawText(bar.adjusted(8, 0, 0, 0).topLeft() + QPoint(0, TITLE_BAR - 6),
                         dialog.windowTitle())
        painter.drawPixmap(top_left, dialog.grab())
    painter.end()
    return pixmap


def run(window, folder):
    """Walk every step, saving a screenshot after each into `folder`; yields the paths."""
    folder = Path(folder).absolute()
    folder.mkdir(parents=True, exist_ok=True)
    for name, function in STEPS:
        function(window)
        settle()
        path = folder / f"{name}.png"
        if not grab(window).save(str(path)):
            raise OSError(f"could not write {path}")
        for dialog in open_dialogs():  # each step starts on the bare window
            dialog.close()
        yield path
