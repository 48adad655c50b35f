"""The statistics panel: how the property values of the selected data object are distributed.

Percentiles of a property with nulls (NaN) would all be NaN: the table shows those
of the values present, and a "Nulls" column counts the ones left out.
"""

import threading
from contextlib import contextmanager

import numpy as np
from qtpy.QtCore import QEvent, Qt, QTimer, Signal
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
from gemlo.storage import mapped
from gemlo.storage.datafile import mapped_file_short
from gemlo.utils.logger import logger
from gemlo.widgets import statgrid
from gemlo.widgets.slicereader import is_stored_cube

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
    than memory is never held whole, nor a mask of it (a stored cube is read a slab at a
    time)."""
    if not hasattr(values, "as_dask"):
        values = np.asarray(values)
    if values.ndim == 0:
        return int(np.isnan(values))
    rows = max(1, chunk // max(1, int(np.prod(values.shape[1:]))))
    # Read through the file: a data file cut short meanwhile is an OSError, not SIGBUS.
    return sum(
        int(np.count_nonzero(np.isnan(mapped.read(values, slice(i, i + rows)))))
        for i in range(0, len(values), rows)
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
            # A stored cube knows its dtype without being read.
            or not np.issubdtype(
                getattr(values, "dtype", None) or np.asarray(values).dtype, np.floating
            )  # fmt: skip
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


def stored_statistics(cube):
    """(percentiles of the values present, null count) of a cube in a store, read whole:
    for a worker thread, never the window's."""
    values = cube.read()
    nulls = null_count(values) if np.issubdtype(values.dtype, np.floating) else 0
    present = values[~np.isnan(values)] if nulls else values.ravel()
    entry = {"array1d": present if present.size else np.array([np.nan])}
    statgrid.add_array_percentile(entry)
    return entry[PERCENTILES], nulls


def _stored(dob):
    return [p for p, e in dob.prop.items() if is_stored_cube(_values(e))]


class StatPanel(QWidget):
    """Shows `dict_prop_table` of the object selected in the data tree, kept up to date.

    The values of cubes in a store (maybe remote) are read on a worker thread: the table
    shows once they are in, and the window goes on meanwhile."""

    stored_ready = Signal(object)  # (object name, property dictionary, {property: result})

    def __init__(self, treebase, parent=None):
        super().__init__(parent)
        self.treebase = treebase
        self.stored_nulls = {}  # (object name, property) -> nulls of a stored cube
        self.reading = None  # the object whose stored cubes are being read
        self.stored_ready.connect(self._stored_read)
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
        unread = [p for p in _stored(dob) if dob.prop[p].get(PERCENTILES) is None]
        if unread:
            self.placeholder.setText(_("Reading the values of {} from its store...").format(name))
            self.placeholder.show()
            self._read_stored(name, dob, unread)
            return
        try:
            with busy_cursor(value_count(dob.prop) >= BUSY_VALUES):
                self.shown_prop, self.nulls = present_values(dob.prop)
                self.nulls.update(
                    {p: n for (o, p), n in self.stored_nulls.items() if o == name and n}
                )
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
        if _stored(dob):
            # The table's own recomputation would read stored cubes on this thread.
            button.clicked.disconnect()
            button.clicked.connect(self.refresh)
        else:
            button.installEventFilter(self)
            button.pressed.connect(self._take_values)
            button.clicked.connect(self._show_nulls)
        self.layout().addWidget(self.panel)

    def _read_stored(self, name, dob, props):
        if self.reading is not None and self.reading[0] == name and self.reading[1] is dob.prop:
            return  # already under way
        self.reading = (name, dob.prop)

        def work():
            results = {}
            for prop_name in props:
                try:
                    results[prop_name] = stored_statistics(_values(dob.prop[prop_name]))
                except Exception as error:  # noqa: BLE001 - shown in the panel, never fatal
                    results[prop_name] = error
            try:
                self.stored_ready.emit((name, dob.prop, results))
            except RuntimeError:  # the panel is gone
                pass

        threading.Thread(target=work, name="gemlo-statistics", daemon=True).start()

    def _stored_read(self, payload):
        name, prop, results = payload
        if self.reading is not None and self.reading[0] == name and self.reading[1] is prop:
            self.reading = None
        for prop_name, result in results.items():
            if isinstance(result, Exception):
                logger.error("No statistics of %s %s: %s", name, prop_name, result)
                if self.selected_name() == name:
                    self.placeholder.setText(f"{name} {prop_name}: {result}")
                return
            if prop_name in prop:
                prop[prop_name][PERCENTILES], self.stored_nulls[(name, prop_name)] = result
        dob = self.treebase.object_data.get(name)
        if dob is not None and dob.prop is prop and self.selected_name() == name:
            self.show_object(name)

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
        if _stored(dob):
            for prop_name in _stored(dob):
                dob.prop[prop_name].pop(PERCENTILES, None)
            self.show_object(self.name)  # read again, off this thread
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
