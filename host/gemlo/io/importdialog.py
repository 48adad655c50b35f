"""A SEG-Y import in the main window: samples copied on a worker thread behind a progress
dialog that can cancel, the object stored on the GUI thread once the copy is done."""

from pathlib import Path

from qtpy.QtCore import QObject, Qt, QTimer, Signal
from qtpy.QtWidgets import QMessageBox, QProgressDialog

from gemlo.config.base import _
from gemlo.io.segy import CHUNK_BYTES, ImportCancelled, SegyImport, object_name
from gemlo.utils.bgrunner import BgRunner
from gemlo.utils.logger import logger

STEPS = 1000


def show_failure(window, text):
    """Log `text` and show it in a message box that does not block the caller."""
    logger.warning(text)
    box = QMessageBox(QMessageBox.Warning, _("Import SEG-Y"), text, QMessageBox.Ok, window)
    box.setAttribute(Qt.WA_DeleteOnClose)
    box.open()
    return box


class SegyImportRun(QObject):
    """One import into the window's open project. Emits `sigDone` with the new data object,
    or None after a failure or a cancel, which leave the project as it was.

    The worker thread touches no widget: the dialog follows the job's counter
    through a timer, and its Cancel button only sets the job's flag.
    """

    sigDone = Signal(object)

    def __init__(self, window, path, chunk_bytes=CHUNK_BYTES, progress=None):
        super().__init__(window)
        if window.database is None:
            raise RuntimeError("No project is open: create or open one first")
        self.window = window
        self.database = window.database
        # Refused here, before anything is written, when the file or its grid is wrong.
        self.job = SegyImport(
            path,
            Path(self.database.path).parent,
            object_name(path, window.treebase.object_data),
            window.survey,
            chunk_bytes,
            progress,
        )
        self.result = self.message = None
        self.dialog = QProgressDialog(
            _("Importing {}...").format(self.job.path), _("Cancel"), 0, STEPS, window
        )
        self.dialog.setWindowTitle(_("Import SEG-Y"))
        self.dialog.setWindowModality(Qt.WindowModal)
        self.dialog.setAutoClose(False)
        self.dialog.setAutoReset(False)
        self.dialog.setMinimumDuration(0)
        self.dialog.canceled.connect(self.job.cancel)
        self.timer = QTimer(self)
        self.timer.setInterval(100)
        self.timer.timeout.connect(self._poll)
        self.runner = BgRunner(self.job.run, ())
        self.runner.finished.connect(self._finish)

    def start(self):
        # The data file is made here, on the database's thread; the worker only fills it.
        self.job.prepare(self.database)
        self.dialog.show()
        self.timer.start()
        self.runner.start()
        return self

    def _poll(self):
        self.dialog.setValue(STEPS * self.job.done // self.job.total)

    def _finish(self):
        self.timer.stop()
        # Closing the dialog emits `canceled`: it must not count as the user's cancel.
        self.dialog.canceled.disconnect(self.job.cancel)
        self.dialog.reset()
        self.dialog.close()
        job = self.job
        if job.error is None and job.cancelled:
            # Cancelled after the last chunk: the copy is whole, but the user said no.
            job.discard()
            job.error = ImportCancelled(f"Import of {job.path} cancelled")
        if job.error is None and self.window.database is not self.database:
            job.discard()
            job.error = RuntimeError(f"Import of {job.path} dropped: the project was closed")
        if job.error is None:
            try:
                self.result = job.commit(
                    self.database, lambda dob: self.window.treebase.add_object(dob, save=False)
                )
            except Exception as error:  # noqa: BLE001 - shown to the user
                job.error = error  # stored nothing: the tree shows only what is stored
            else:
                if self.window.survey is None:
                    self.window.set_survey(job.survey, job.sgmt)
        if isinstance(job.error, ImportCancelled):
            logger.info("%s; the project is unchanged", job.error)
        elif job.error is not None:
            self.message = show_failure(self.window, str(job.error))
        else:
            logger.info("Imported %s as %s %s", job.path, self.result.name, self.result.shape)
        self.dialog.deleteLater()
        self.sigDone.emit(self.result)
