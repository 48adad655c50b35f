"""The base of the pages of the application's settings dialogs."""

from qtpy.QtWidgets import QDialogButtonBox, QVBoxLayout, QWidget


class LumoDialog(QWidget):
    """A settings page: subclasses add their widgets to `layout` and implement apply().

    `layout` shadows QWidget.layout() on purpose: pages add to it by attribute.
    """

    def __init__(self, parent=None):
        super().__init__(parent)
        self.layout = QVBoxLayout(self)

    def create_action(self):
        """Return the page's row of controls; its Apply button calls apply()."""
        buttons = QDialogButtonBox(QDialogButtonBox.Apply, parent=self)
        buttons.button(QDialogButtonBox.Apply).clicked.connect(lambda checked=False: self.apply())
        return buttons

    def apply(self):
        """Hand the page's choice to the application; pages override it."""
