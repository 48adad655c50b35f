"""The statistics panel: how the property values of the selected data object are distributed."""

from contextlib import contextmanager

import numpy as np
from qtpy.QtCore import QEvent, Qt, QTimer
from qtpy.QtWidgets import (
    QApplication,
    QLabel,
    QPushButton,
    QTableWidget,
    QVBoxLayout,
    QWidget,
)

from gemlo.config.base import _
from gemlo.data.dataobject import ARRAY_KEYS
from gemlo.data.treebase import ROLE
from gemlo.utils.logger import logger
from gemlo.widgets import statgrid

# From this many values on, percentiles take long enough to deserve a busy cursor.
BUSY_VALUES = 2_000_000
CACHE_KEY = "arrayPercentiles"
PLACEHOLDER = "Select a data object to see how its values are distributed."


@contextmanager
def busy_cursor(busy=True):
    """Show the wait cursor inside the block when `busy`; it is always restored."""
    if not busy:
        yield
        return
    QApplication.setOverrideCursor(Qt.WaitCursor)
    try:
        yield
    finally:
        QApplication.restoreOverrideCursor()


def value_count(dict_prop):
    """How many values the percentiles of `dict_prop` are computed from (arrays stay unread)."""
    total = 0
    for entry in dict_prop.values():
        key = next((k for k in ARRAY_KEYS if k in entry), None)
        total += np.size(entry[key]) if key else 0
    return total


class StatPanel(QWidget):
    """Shows `dict_prop_table` of the object selected in the data tree, kept up to date."""

    def __init__(self, treebase, parent=None):
        super().__init__(parent)
        self.treebase = treebase
        self.name = None  # the object shown
        self.dict_prop = None  # the property dictionary its table is bound to
        self.panel = None
        self.placeholder = QLabel(_(PLACEHOLDER))
        self.placeholder.setWordWrap(True)
        self.placeholder.setAlignment(Qt.AlignCenter)
        layout = QVBoxLayout(self)
        layout.setContentsMargins(0, 0, 0, 0)
        layout.addWidget(self.placeholder)
        treebase.currentItemChanged.connect(lambda *_args: self.show_object(self.selected_name()))
        treebase.sigObjectChanged.connect(self._object_changed)

    @property
    def table(self):
        return self.panel.findChild(QTableWidget) if self.panel is not None else None

    def selected_name(self):
        """The name of the object whose item, or one of whose property items, is current."""
        item = self.treebase.currentItem()
        data = item.data(0, ROLE) if item is not None else None
        return data[1] if data else None

    def show_object(self, name):
        """Show the table of the object `name`; None or an unknown name shows nothing."""
        dob = self.treebase.object_data.get(name) if name is not None else None
        if self.panel is not None:
            # Deleted once back in the event loop; meanwhile it must not show beside the new one.
            self.panel.hide()
            self.panel.deleteLater()
            self.panel = None
        self.name = self.dict_prop = None
        self.placeholder.setText(_(PLACEHOLDER))
        self.placeholder.setVisible(dob is None)
        if dob is None:
            return
        try:
            with busy_cursor(value_count(dob.prop) >= BUSY_VALUES):
                self.panel = statgrid.dict_prop_table(dob.prop)
        except OSError as error:  # a data file truncated behind its map
            self.placeholder.setText(str(error))
            self.placeholder.show()
            logger.error("No statistics of %s: %s", name, error)
            return
        self.name, self.dict_prop = name, dob.prop
        self.table.resizeColumnsToContents()
        # The panel's own Refresh button computes too.
        self.panel.findChild(QPushButton).installEventFilter(self)
        self.layout().addWidget(self.panel)

    def refresh(self):
        """Recompute the shown table; a replaced property dictionary gets a new table."""
        dob = self.treebase.object_data.get(self.name)
        if dob is None or dob.prop is not self.dict_prop:
            self.show_object(self.selected_name())
            return
        try:
            with busy_cursor(value_count(dob.prop) >= BUSY_VALUES):
                statgrid.refresh(self.table, dob.prop)
        except OSError:
            self.show_object(self.name)  # says why in place of the table
            return
        self.table.resizeColumnsToContents()

    def _object_changed(self, name):
        if name == self.name or (self.name is None and name == self.selected_name()):
            self.refresh()
            return
        # Values changed while not shown: the next table must not reuse stale percentiles.
        dob = self.treebase.object_data.get(name)
        for entry in dob.prop.values() if dob is not None else ():
            entry.pop(CACHE_KEY, None)

    def eventFilter(self, watched, event):
        # A click ends in the release: the cursor is restored once the event
        # (and the refresh its click ran) is done, even if the refresh failed.
        if (
            event.type() in (QEvent.MouseButtonRelease, QEvent.KeyRelease)
            and self.dict_prop is not None
            and value_count(self.dict_prop) >= BUSY_VALUES
        ):
            QApplication.setOverrideCursor(Qt.WaitCursor)
            QTimer.singleShot(0, QApplication.restoreOverrideCursor)
        return False
