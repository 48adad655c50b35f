"""A SEG-Y import in the main window: a look at the file (its summary, refreshed as the
header byte fields change) before the user commits, then the samples copied on a worker
thread behind a progress dialog that can cancel, the object stored on the GUI thread once
the copy is done."""

from pathlib import Path

from qtpy.QtCore import QTimer, Signal
from qtpy.QtGui import QFontDatabase
from qtpy.QtWidgets import (
    QDialog,
    QDialogButtonBox,
    QFormLayout,
    QHBoxLayout,
    QPlainTextEdit,
    QSpinBox,
    QVBoxLayout,
)

from gemlo.config.base import _
from gemlo.io.segy import (
    HeaderBytes,
    ImportCancelled,
    SegyImport,
    SegyScan,
    object_name,
)
from gemlo.storage.chunks import IMPORT_CHUNK_BYTES
from gemlo.utils.logger import logger
from gemlo.utils.qthelpers import JobRun, show_failure


class SegyScanDialog(QDialog):
    """The file's summary and the trace header byte fields; Import is enabled only when the
    file, with these bytes, can go into the window's project."""

    FIELDS = (
        ("iline", "Inline number at byte"),
        ("xline", "Crossline number at byte"),
        ("cdpx", "CDP X at byte"),
        ("cdpy", "CDP Y at byte"),
    )

    def __init__(self, window, path):
        super().__init__(window)
        self.window, self.path = window, str(path)
        self.error = None
        self.setWindowTitle(_("Import SEG-Y"))
        self.resize(720, 640)
        form = QFormLayout()
        self.spins = {}
        defaults = HeaderBytes()
        for name, label in self.FIELDS:
            spin = self.spins[name] = QSpinBox(self)
            spin.setRange(1, 237)
            spin.setValue(getattr(defaults, name))
            # Typing a number changes it digit by digit: scan once the typing stops.
            spin.valueChanged.connect(lambda _value: self.timer.start())
            form.addRow(_(label), spin)
        self.text = QPlainTextEdit(self)
        self.text.setReadOnly(True)
        self.text.setLineWrapMode(QPlainTextEdit.NoWrap)
        self.text.setFont(QFontDatabase.systemFont(QFontDatabase.FixedFont))
        self.buttons = QDialogButtonBox(QDialogButtonBox.Cancel, self)
        self.ok = self.buttons.addButton(_("Import"), QDialogButtonBox.AcceptRole)
        self.buttons.accepted.connect(self.accept)
        self.buttons.rejected.connect(self.reject)
        top = QHBoxLayout()
        top.addLayout(form)
        top.addStretch(1)
        layout = QVBoxLayout(self)
        layout.addLayout(top)
        layout.addWidget(self.text, 1)
        layout.addWidget(self.buttons)
        self.timer = QTimer(self)
        self.timer.setSingleShot(True)
        self.timer.setInterval(300)
        self.timer.timeout.connect(self.refresh)
        self.refresh()

    def header(self):
        return HeaderBytes(**{name: spin.value() for name, spin in self.spins.items()})

    def refresh(self):
        """Scan the file with the bytes shown; show the summary or the reason it is refused."""
        self.timer.stop()
        scan, self.error = SegyScan.look(self.path, self.header())
        if self.error is None and self.window.survey is not None:
            try:
                scan.check_survey(self.window.survey, self.window.sgmt)
            except Exception as error:  # noqa: BLE001 - shown in the summary
                self.error = error
        text = scan.summary()
        if self.error is None:
            text += "\n\n" + "\n".join(scan.notes() or [_("Ready to import.")])
        else:
            text += "\n\n" + str(self.error)
        self.text.setPlainText(text)
        self.ok.setEnabled(self.error is None)


class SegyImportRun(JobRun):
    """One import into the window's open project. Emits `sigDone` with the new data object,
    or None after a failure or a cancel, which leave the project as it was.

    The worker thread touches no widget: the dialog follows the job's counter
    through a timer, and its Cancel button only sets the job's flag.
    """

    sigDone = Signal(object)

    def __init__(self, window, path, chunk_bytes=IMPORT_CHUNK_BYTES, progress=None, header=None):
        super().__init__(window)
        if window.database is None:
            raise RuntimeError("No project is open: create or open one first")
        window.treebase.check_writable()
        self.window = window
        self.database = window.database
        # Refused here, before anything is written, when the file or its grid is wrong.
        self.job = SegyImport(
            path,
            Path(self.database.path).parent,
            object_name(
                path, window.treebase.object_data.keys() | window.treebase.unreadable.keys()
            ),
            window.survey,
            chunk_bytes,
            progress,
            header=header,
            sgmt=window.sgmt,
        )
        for text in self.job.notes():
            logger.info("%s", text)
        self.result = self.message = None
        self._watch(window, _("Import SEG-Y"), _("Importing {}...").format(self.job.path))

    def start(self):
        # The data file is made here, on the database's thread; the worker only fills it.
        self.job.prepare(self.database)
        return super().start()

    def _finish(self):
        self._close()
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
            self.message = show_failure(self.window, _("Import SEG-Y"), str(job.error))
        else:
            logger.info("Imported %s as %s %s", job.path, self.result.name, self.result.shape)
        self.dialog.deleteLater()
        self.sigDone.emit(self.result)
