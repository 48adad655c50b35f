"""Small factories for the widgets every module builds."""

from qtpy.QtCore import Qt
from qtpy.QtGui import QKeySequence
from qtpy.QtWidgets import QProgressDialog, QToolButton, QVBoxLayout

from gemlo.config.base import _
from gemlo.utils import icon_manager as ima


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


def job_progress_dialog(parent, title, label, maximum, cancel):
    """A window-modal progress dialog for a job on a worker thread: shown at once, kept
    open until closed, and calling `cancel` when the user presses Cancel."""
    dialog = QProgressDialog(label, _("Cancel"), 0, maximum, parent)
    dialog.setWindowTitle(title)
    dialog.setWindowModality(Qt.WindowModal)
    dialog.setAutoClose(False)
    dialog.setAutoReset(False)
    dialog.setMinimumDuration(0)
    dialog.canceled.connect(cancel)
    return dialog
