"""The statistics panel: how the property values of the selected data object are distributed.

Percentiles of a property with nulls (NaN) would all be NaN: the table shows those
of the values present, and a "Nulls" column counts the ones left out.
"""

from contextlib import contextmanager

import numpy as np
from qtpy.QtCore import QEvent, Qt, QTimer
from qtpy.QtWidgets import (
    QApplication,
    QLabel,
    QPushButton,
    QTableWidget,
    QTableWidgetItem,
    QVBoxLayout,
    QWidget,
)

from gemlo.config.base import _
from gemlo.data.treebase import ROLE
from gemlo.model.dataobject import ARRAY_KEYS, PERCENTILES
from gemlo.storage.datafile import mapped_file_short
from gemlo.utils.logger import logger
from gemlo.widgets import statgrid

# From this many values on, percentiles take long enough to deserve a busy cursor.
BUSY_VALUES = 2_000_000
NULLS = "Nulls"
NULL_CHUNK = 1 << 24  # values per slab when counting nulls
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


def _values(entry):
    key = next((k for k in ARRAY_KEYS if k in entry), None)
    return entry[key] if key else None


def null_count(values, chunk=NULL_CHUNK):
    """How many NaN `values` holds, read a slab at a time: a memory-mapped cube larger
    than memory is never held whole, nor a mask of it."""
    values = np.asarray(values)
    if values.ndim == 0:
        return int(np.isnan(values))
    rows = max(1, chunk // max(1, values[0].size))
    return sum(
        int(np.count_nonzero(np.isnan(values[i : i + rows]))) for i in range(0, len(values), rows)
    )


def present_values(dict_prop, fresh=False):
    """(what the table is built from, null count per property that has nulls).

    Entries without nulls are the property's own (their percentiles stay cached in
    it); one with nulls is replaced by an entry of its values present. Unless
    `fresh`, cached percentiles that are numbers vouch for an entry without nulls.
    """
    shown, nulls = {}, {}
    for name, entry in dict_prop.items():
        values = _values(entry)
        problem = mapped_file_short(values) if values is not None else None
        if problem:
            raise OSError(problem)  # reading it would kill the process (SIGBUS)
        cached = entry.get(PERCENTILES)
        if (
            values is None
            or not np.issubdtype(np.asarray(values).dtype, np.floating)
            or (not fresh and cached is not None and not np.isnan(cached).any())
        ):
            shown[name] = entry
            continue
        count = null_count(values)
        if count == 0:
            shown[name] = entry
            continue
        nulls[name] = count
        values = np.asarray(values)
        # All null: NaN percentiles rather than the error of an empty array.
        present = values[~np.isnan(values)] if count < values.size else np.array([np.nan])
        shown[name] = {"array1d": present}
    return shown, nulls


class StatPanel(QWidget):
    """Shows `dict_prop_table` of the object selected in the data tree, kept up to date."""

    def __init__(self, treebase, parent=None):
        super().__init__(parent)
        self.treebase = treebase
        self.name = None  # the object shown
        self.dict_prop = None  # the property dictionary its table is bound to
        self.shown_prop = None  # what the table was built from: `dict_prop`, nulls left out
        self.nulls = {}
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
        self.name = self.dict_prop = self.shown_prop = None
        self.placeholder.setText(_(PLACEHOLDER))
        self.placeholder.setVisible(dob is None)
        if dob is None:
            return
        try:
            with busy_cursor(value_count(dob.prop) >= BUSY_VALUES):
                self.shown_prop, self.nulls = present_values(dob.prop)
                self.panel = statgrid.dict_prop_table(self.shown_prop)
        except OSError as error:  # a data file truncated behind its map
            self.placeholder.setText(str(error))
            self.placeholder.show()
            logger.error("No statistics of %s: %s", name, error)
            return
        self.name, self.dict_prop = name, dob.prop
        self._show_nulls()
        # The panel's own Refresh button computes too: on the values of the moment,
        # taken when it is pressed (before its click refills the table).
        button = self.panel.findChild(QPushButton)
        button.installEventFilter(self)
        button.pressed.connect(self._take_values)
        button.clicked.connect(self._show_nulls)
        self.layout().addWidget(self.panel)

    def _take_values(self):
        dob = self.treebase.object_data.get(self.name)
        if dob is not None and dob.prop is self.dict_prop:
            # The table's button holds this very dictionary: refill it in place.
            shown, self.nulls = present_values(dob.prop, fresh=True)
            self.shown_prop.clear()
            self.shown_prop.update(shown)

    def _show_nulls(self):
        """Add the count of nulls left out, as a last column, when a property has any."""
        table = self.table
        if table is None:
            return
        if self.nulls:
            table.setColumnCount(7)
            table.setHorizontalHeaderItem(6, QTableWidgetItem(NULLS))
            table.horizontalHeaderItem(6).setToolTip(
                _("Null values, left out of the percentiles of the values present")
            )
            for row in range(table.rowCount()):
                name = table.item(row, 0).text()
                table.setItem(row, 6, QTableWidgetItem(str(self.nulls.get(name, 0))))
        table.resizeColumnsToContents()

    def refresh(self):
        """Recompute the shown table; a replaced property dictionary gets a new table."""
        dob = self.treebase.object_data.get(self.name)
        if dob is None or dob.prop is not self.dict_prop:
            self.show_object(self.selected_name())
            return
        try:
            with busy_cursor(value_count(dob.prop) >= BUSY_VALUES):
                self._take_values()
                statgrid.refresh(self.table, self.shown_prop)
        except OSError:
            self.show_object(self.name)  # says why in place of the table
            return
        self._show_nulls()

    def _object_changed(self, name):
        if name == self.name or (self.name is None and name == self.selected_name()):
            self.refresh()
            return
        # Values changed while not shown: the next table must not reuse stale percentiles.
        dob = self.treebase.object_data.get(name)
        for entry in dob.prop.values() if dob is not None else ():
            entry.pop(PERCENTILES, None)

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
