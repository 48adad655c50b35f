"""A SEG-Y export in the main window: which cube, property and sample format, then the
file written on a worker thread behind a progress dialog that can cancel."""

from qtpy.QtCore import Signal
from qtpy.QtWidgets import (
    QComboBox,
    QDialog,
    QDialogButtonBox,
    QFormLayout,
)

from gemlo.config.base import _
from gemlo.io.segy import FORMATS
from gemlo.io.segyexport import CHUNK_BYTES, ExportCancelled, SegyExport
from gemlo.utils.logger import logger
from gemlo.utils.qthelpers import JobRun, show_failure


class SegyExportDialog(QDialog):
    """The cube, its property and the sample format (by default the one that keeps the
    property's values, or its source's)."""

    def __init__(self, window, cubes, current=None):
        super().__init__(window)
        self.setWindowTitle(_("Export SEG-Y"))
        self.cubes = cubes
        self.cube, self.prop, self.format = QComboBox(self), QComboBox(self), QComboBox(self)
        self.cube.addItems(list(cubes))
        self.format.addItem(_("as the source, or as the values are"), None)
        for code, (name, _dtype) in FORMATS.items():
            self.format.addItem(f"{code}: {name}", code)
        self.cube.currentTextChanged.connect(self._fill_properties)
        form = QFormLayout(self)
        form.addRow(_("Cube"), self.cube)
        form.addRow(_("Property"), self.prop)
        form.addRow(_("Sample format"), self.format)
        buttons = QDialogButtonBox(QDialogButtonBox.Ok | QDialogButtonBox.Cancel, self)
        buttons.accepted.connect(self.accept)
        buttons.rejected.connect(self.reject)
        form.addRow(buttons)
        dob, prop = current or (None, None)
        if dob is not None:
            self.cube.setCurrentText(dob.name)
        self._fill_properties(self.cube.currentText())
        if prop is not None:
            self.prop.setCurrentText(prop)

    def _fill_properties(self, name):
        self.prop.clear()
        if name in self.cubes:
            self.prop.addItems(list(self.cubes[name].prop))

    def choice(self):
        """(cube name, property name, format code or None)."""
        return self.cube.currentText(), self.prop.currentText(), self.format.currentData()


class SegyExportRun(JobRun):
    """One export from the window's project. Emits `sigDone` with the path written, or
    None after a failure or a cancel, which leave no file behind."""

    sigDone = Signal(object)

    def __init__(self, window, name, prop, path, fmt=None, chunk_bytes=CHUNK_BYTES, progress=None):
        super().__init__(window)
        if window.database is None:
            raise RuntimeError("No project is open: create or open one first")
        self.window = window
        # Refused here, before anything is written.
        self.job = SegyExport(
            window.database,
            window.treebase.object_data[name],
            prop,
            path,
            fmt,
            chunk_bytes,
            progress,
        )
        self.result = self.message = None
        self._watch(window, _("Export SEG-Y"), _("Writing {}...").format(self.job.path))

    def _finish(self):
        self._close()
        job = self.job
        if isinstance(job.error, ExportCancelled):
            logger.info("%s; nothing was written", job.error)
        elif job.error is not None:
            self.message = show_failure(self.window, _("Export SEG-Y"), str(job.error))
        else:
            self.result = job.path
            logger.info("Exported %s of %s to %s", job.prop, job.dob.name, job.path)
        self.dialog.deleteLater()
        self.sigDone.emit(self.result)
