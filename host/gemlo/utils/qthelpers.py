"""Small factories for the widgets every module builds."""

from qtpy.QtCore import QObject, Qt, QTimer
from qtpy.QtGui import QKeySequence
from qtpy.QtWidgets import QMessageBox, QProgressDialog, QToolButton, QVBoxLayout

from gemlo.config.base import _
from gemlo.utils import icon_manager as ima
from gemlo.utils.bgrunner import BgRunner
from gemlo.utils.logger import logger


def show_failure(window, title, text):
    """Log `text` and show it in a message box that does not block the caller."""
    logger.warning(text)
    box = QMessageBox(QMessageBox.Warning, title, text, QMessageBox.Ok, window)
    box.setAttribute(Qt.WA_DeleteOnClose)
    box.open()
    return box


def create_toolbutton(
    parent, icon=None, tip=None, shortcut=None, triggered=None, toggled=None, text=None
):
    """Return a QToolButton; its shortcut presses it, `triggered` or `toggled` is called."""
    button = QToolButton(parent)
    if text is not None:
        button.setText(text)
    if icon is not None:
        button.setIcon(icon)
    if tip is not None:
        button.setToolTip(tip)
    if shortcut is not None:
        button.setShortcut(QKeySequence(shortcut))
        if tip is not None:
            button.setToolTip(f"{tip} ({shortcut})")
    if triggered is not None:
        button.clicked.connect(lambda checked=False: triggered())
    if toggled is not None:
        button.setCheckable(True)
        button.toggled.connect(toggled)
    button.setAutoRaise(True)
    return button


def create_toolbutton_help(parent, triggered=None):
    """Return the help button every module shows at the end of its row."""
    return create_toolbutton(parent, icon=ima.icon("help"), tip=_("Help"), triggered=triggered)


def create_module_layout(button_row, main_widget):
    """Return a layout with the row of buttons above the module's main widget."""
    layout = QVBoxLayout()
    layout.setContentsMargins(2, 2, 2, 2)
    layout.setSpacing(2)
    # Buttons keep to the left unless the row has a stretch of its own.
    button_row.setAlignment(Qt.AlignLeft)
    layout.addLayout(button_row)
    layout.addWidget(main_widget)
    return layout


class JobRun(QObject):
    """A job on a worker thread behind a window-modal progress dialog, shown at once and
    kept open until the job ends. The worker touches no widget: the dialog follows the
    job's `done` of `total` through a timer, and its Cancel button only calls the job's
    `cancel`. Subclasses call `_watch` in their constructor and end in `_finish`, on the
    GUI thread, which calls `_close` first."""

    STEPS = 1000

    def _watch(self, parent, title, label, args=()):
        self.dialog = QProgressDialog(label, _("Cancel"), 0, self.STEPS, parent)
        self.dialog.setWindowTitle(title)
        self.dialog.setWindowModality(Qt.WindowModal)
        self.dialog.setAutoClose(False)
        self.dialog.setAutoReset(False)
        self.dialog.setMinimumDuration(0)
        self.dialog.canceled.connect(self.job.cancel)
        self.timer = QTimer(self)
        self.timer.setInterval(100)
        self.timer.timeout.connect(self._poll)
        self.runner = BgRunner(self.job.run, args)
        self.runner.finished.connect(self._finish)

    def start(self):
        self.dialog.show()
        self.timer.start()
        self.runner.start()
        return self

    def _poll(self):
        self.dialog.setValue(self.STEPS * self.job.done // self.job.total)

    def _close(self):
        self.timer.stop()
        # Closing the dialog emits `canceled`: it must not count as the user's cancel.
        self.dialog.canceled.disconnect(self.job.cancel)
        self.dialog.reset()
        self.dialog.close()

    def _finish(self):
        raise NotImplementedError
