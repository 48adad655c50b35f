"""Processing in the main window: one small dialog per operation, and the run behind a
progress dialog that can cancel.

The dialog refuses bad input itself (the data tree dialogs' way); only a job whose
parameters passed every check starts. The work runs on a BgRunner; the worker thread
touches no widget and no database: the progress dialog follows the job's counter
through a timer, its Cancel button only sets the job's flag, and the result is stored
on the GUI thread once the work is done.
"""

from qtpy.QtCore import Signal
from qtpy.QtWidgets import QLineEdit

from gemlo.config.base import _
from gemlo.processing.operations import OPERATIONS
from gemlo.processing.runner import ProcessingCancelled, ProcessJob, default_output
from gemlo.utils.logger import logger
from gemlo.utils.qthelpers import JobRun, show_failure
from gemlo.widgets.dialogs import PropertyChoice, TreeDialog


class ProcessRun(JobRun):
    """One job on the window's open project. Emits `sigDone` with the new property's
    entry, or None after a failure or a cancel, which leave the project as it was."""

    sigDone = Signal(object)

    def __init__(self, window, job):
        super().__init__(window)
        if window.database is None:
            raise RuntimeError("No project is open: create or open one first")
        self.window, self.job = window, job
        self.database = window.database
        self.result = self.message = None
        # A full disk fails here, before anything starts.
        self.out = job.make_output(self.database)
        title = _(job.operation.title)
        self._watch(
            window,
            title,
            _("{} of {}.{}...").format(title, job.dob.name, job.prop_name),
            (self.out,),
        )

    def _finish(self):
        self._close()
        job, tree = self.job, self.window.treebase
        if job.error is None and job.cancelled:
            job.error = ProcessingCancelled("cancelled")
        if job.error is None and (
            self.window.database is not self.database
            or tree.object_data.get(job.dob.name) is not job.dob
        ):
            job.error = RuntimeError("dropped: the project or its object changed meanwhile")
        if job.error is None:
            try:
                self.result = job.store(tree)
            except Exception as error:  # noqa: BLE001 - shown to the user
                job.error = error
        else:
            job.discard()
        what = f"{job.operation.title} of {job.dob.name}.{job.prop_name}"
        if isinstance(job.error, ProcessingCancelled):
            logger.info("%s cancelled; the project is unchanged", what)
        elif job.error is not None:
            self.message = show_failure(
                self.window, _(job.operation.title), f"{what} failed: {job.error}"
            )
        else:
            logger.info("%s stored as %s.%s", what, job.dob.name, job.output)
        # The run object stays with the window: it must not keep the arrays alive.
        self.out = job.source = None
        self.dialog.deleteLater()
        self.sigDone.emit(self.result)


class ProcessDialog(PropertyChoice, TreeDialog):
    """The parameters of one operation on a property of a cube, and its output name."""

    START = "Run"

    def __init__(self, tree, key):
        self.operation = OPERATIONS[key]
        super().__init__(tree)
        self.setWindowTitle(_(self.operation.title))
        # Only cubes can be processed.
        self.object_box.clear()
        self.object_box.addItems(
            [n for n, d in tree.object_data.items() if d.prop_array_key == "array3d" and d.prop]
        )
        self.add_property_box()
        self.edits = {}
        for param in self.operation.params:
            edit = QLineEdit(f"{param.default:g}", self)
            label = f"{_(param.label)} ({param.unit}):" if param.unit else f"{_(param.label)}:"
            self.form.addRow(label, edit)
            self.edits[param.name] = edit
        self.output_edit = QLineEdit(self)
        self.form.addRow(_("New property:"), self.output_edit)
        self._default_output = ""
        self.prop_box.currentTextChanged.connect(self._suggest_output)
        self.setup()
        self._suggest_output()
        self.run_obj = None
        self.setMinimumWidth(380)

    def _suggest_output(self, *_args):
        # A free default that follows the property until the user types a name.
        dob = self.tree.object_data.get(self.object_box.currentText())
        if dob is None or not self.prop_box.currentText():
            return
        if self.output_edit.text() in ("", self._default_output):
            self._default_output = default_output(
                dob, self.prop_box.currentText(), self.operation.key
            )
            self.output_edit.setText(self._default_output)

    def say(self, text, error=True):
        # The checks' texts are sentences inside other messages too: capitalised here.
        super().say(text[:1].upper() + text[1:], error)

    def parameters(self):
        values = {}
        for param in self.operation.params:
            text = self.edits[param.name].text().strip()
            try:
                values[param.name] = int(text) if param.integer else float(text)
            except ValueError:
                kind = _("a whole number") if param.integer else _("a number")
                raise ValueError(
                    _("{} must be {}, not {!r}.").format(_(param.label), kind, text)
                ) from None
        return values

    def arguments(self):
        name = self.chosen_object()
        prop_name = self.chosen_property(name)
        dob = self.tree.object_data[name]
        output = self.new_name(self.output_edit, dob.prop, _("property"))
        # Every check of the operation runs here, before anything starts.
        job = ProcessJob(dob, prop_name, self.operation.key, output, self.parameters())
        return (job,)

    def run(self, job):
        try:
            self.run_obj = ProcessRun(self.tree.main, job).start()
        except (RuntimeError, OSError) as error:
            self.say(str(error))
            return
        self.accept()


def open_process_dialog(window, key):
    """Show the dialog of operation `key` at the tree's current object; returns it."""
    dialog = ProcessDialog(window.treebase, key)
    dialog.show()
    return dialog
