"""Set the camera of the current viewer by its numbers (angles, centre, range)."""

import ast

from qtpy.QtCore import Qt
from qtpy.QtWidgets import QDialog, QDialogButtonBox, QFormLayout, QLabel, QLineEdit, QVBoxLayout

from gemlo.config.base import _


def camera_of(widget):
    """The vispy camera a viewer draws with, or None."""
    for path in (("canvas00", "camera"), ("view", "camera"), ("camera",)):
        target = widget
        for name in path:
            target = getattr(target, name, None)
        if target is not None and hasattr(target, "get_state"):
            return target
    return None


def _literal(value):
    if hasattr(value, "pos") and hasattr(value, "size"):  # a vispy Rect
        value = tuple(value.pos) + tuple(value.size)
    return repr(value)


class Dialog(QDialog):
    """Shows each entry of the camera's state as a Python literal; Apply sets those edited."""

    def __init__(self, tree):
        super().__init__(tree)
        self.tree = tree
        self.camera = None
        self.edits = {}
        self.setAttribute(Qt.WA_DeleteOnClose)
        self.setWindowTitle(_("Camera"))
        self.form = QFormLayout()
        self.message = QLabel(self)
        self.message.setStyleSheet("color: #b00020;")
        self.message.setWordWrap(True)
        buttons = QDialogButtonBox(QDialogButtonBox.Apply | QDialogButtonBox.Close, self)
        buttons.button(QDialogButtonBox.Apply).clicked.connect(self.apply)
        buttons.rejected.connect(self.reject)
        layout = QVBoxLayout(self)
        layout.addLayout(self.form)
        layout.addWidget(self.message)
        layout.addWidget(buttons)

    def load_from_viewer(self):
        """Take the camera of the main window's current viewer."""
        deck = getattr(self.tree.main, "deck", None)
        self.camera = camera_of(deck.currentWidget()) if deck is not None else None
        while self.form.rowCount():
            self.form.removeRow(0)
        self.edits = {}
        if self.camera is None:
            self.message.setText(_("The current view has no camera."))
            return
        self.message.setText("")
        for key, value in self.camera.get_state().items():
            self.edits[key] = QLineEdit(_literal(value), self)
            self.form.addRow(key, self.edits[key])

    def apply(self):
        if self.camera is None:
            return
        state = {}
        current = self.camera.get_state()
        for key, edit in self.edits.items():
            if edit.text() == _literal(current[key]):
                continue  # an unset entry (None) cannot be set back
            try:
                state[key] = ast.literal_eval(edit.text())
            except (ValueError, SyntaxError):
                self.message.setText(_("{}: not a number or tuple: {!r}").format(key, edit.text()))
                return
        try:
            self.camera.set_state(state)
        except (KeyError, TypeError, ValueError) as error:
            self.message.setText(str(error))
            return
        self.message.setText("")
