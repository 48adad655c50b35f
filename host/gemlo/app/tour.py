"""A walk through the application, one step per screen a user would look at.

`make run` without a display takes a screenshot after each step; the
end-to-end test walks the same steps. A step gets the main window (on a
project holding the sample data) and leaves it showing what it is named for.
"""
from pathlib import Path

from qtpy.QtCore import Qt
from qtpy.QtWidgets import QApplication

STEPS = []


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


@step("statistics")
def statistics(window):
    # The percentiles of the sample cube's properties, as a user selecting it sees them.
    tree = window.treebase
    tree.setCurrentItem(tree.object_item("cube"))
    window.stats_dock.show()
    window.stats_dock.raise_()
    window.resizeDocks([window.stats_dock], [560], Qt.Horizontal)


def run(window, folder):
    """Walk every step, saving a screenshot after each into `folder`; yields the paths."""
    folder = Path(folder).absolute()
    folder.mkdir(parents=True, exist_ok=True)
    for name, function in STEPS:
        function(window)
        settle()
        path = folder / f"{name}.png"
        if not window.grab().save(str(path)):
            raise OSError(f"could not write {path}")
        yield path
