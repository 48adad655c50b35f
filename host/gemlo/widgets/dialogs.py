"""The data tree's editing dialogs and the style settings dialog.

Every editing dialog is a non-modal child of the tree that deletes itself when
closed. It checks its input and refuses bad input with a message of its own;
only good input leaves it, through `sig_start`, whose arguments are those of
the tree's matching slot. A slot that fails is reported in the dialog too.
"""

import sys

from qtpy.QtCore import QSize, Qt, Signal
from qtpy.QtGui import QFontDatabase
from qtpy.QtWidgets import (
    QComboBox,
    QDialog,
    QDialogButtonBox,
    QFormLayout,
    QHBoxLayout,
    QLabel,
    QLineEdit,
    QListWidget,
    QPlainTextEdit,
    QProgressDialog,
    QStackedWidget,
    QVBoxLayout,
)

from gemlo.config.base import _
from gemlo.utils.logger import logger


def emit_reporting(signal, *args):
    """Emit `signal`; return the first error its slots raised, or None.

    Qt hands an error raised in a slot to sys.excepthook and goes on, so the
    dialog that emitted would never learn that its action failed.
    """
    errors = []
    hook = sys.excepthook
    sys.excepthook = lambda etype, value, tb: errors.append(value)
    try:
        signal.emit(*args)
    finally:
        sys.excepthook = hook
    return errors[0] if errors else None


def describe(error):
    return f"{type(error).__name__}: {error}"


class TreeDialog(QDialog):
    """Base of the dialogs that act on one data object of the tree `tree`."""

    TITLE = ""
    START = "OK"

    def __init__(self, tree):
        super().__init__(tree)
        self.tree = tree
        self.setAttribute(Qt.WA_DeleteOnClose)
        self.setWindowTitle(_(self.TITLE))
        self.form = QFormLayout()
        self.object_box = QComboBox(self)
        self.object_box.addItems(list(tree.object_data))
        self.form.addRow(_("Data object:"), self.object_box)
        self.message = QLabel(self)
        self.message.setWordWrap(True)
        self.message.hide()
        self.buttons = QDialogButtonBox(QDialogButtonBox.Ok | QDialogButtonBox.Close, self)
        self.buttons.button(QDialogButtonBox.Ok).setText(_(self.START))
        self.buttons.accepted.connect(self.start)
        self.buttons.rejected.connect(self.reject)
        layout = QVBoxLayout(self)
        layout.addLayout(self.form)
        layout.addWidget(self.message)
        layout.addWidget(self.buttons)

    def setup(self):
        """Preselect the object of the tree's current item; call once the fields exist."""
        self.select(*self.tree.item_names(self.tree.currentItem()))

    def grab_object_rc(self):
        """Take the tree's right-clicked object (and property) as the target."""
        self.select(*self.tree.item_names(self.tree.itemRightClicked))

    def select(self, object_name=None, prop_name=None):
        if object_name is not None:
            self.object_box.setCurrentText(object_name)

    def say(self, text, error=True):
        self.message.setStyleSheet("color: #b00020;" if error else "color: #1b6e20;")
        self.message.setText(text)
        self.message.setVisible(bool(text))

    # Checks: each raises ValueError with the text the user reads.

    def chosen_object(self):
        name = self.object_box.currentText()
        if name not in self.tree.object_data:
            raise ValueError(
                _("No data object named {!r}.").format(name)
                if name
                else _("Choose a data object.")
            )
        return name

    @staticmethod
    def new_name(edit, taken, what):
        name = edit.text()
        if not name.strip():
            raise ValueError(_("Give the new {} a name.").format(what))
        if name in taken:
            raise ValueError(_("A {} named {!r} already exists.").format(what, name))
        return name

    def arguments(self):
        """The arguments of `sig_start`, checked."""
        raise NotImplementedError

    def start(self):
        try:
            args = self.arguments()
        except ValueError as error:
            self.say(str(error))
            return
        self.say("")
        self.run(*args)

    def run(self, *args):
        error = emit_reporting(self.sig_start, *args)
        if error is not None:
            self.say(describe(error))
        else:
            self.accept()


class PropertyChoice:
    """Mixin: a second combo box with the properties of the chosen object."""

    def add_property_box(self):
        self.prop_box = QComboBox(self)
        self.form.addRow(_("Property:"), self.prop_box)
        self.object_box.currentTextChanged.connect(self._fill_properties)
        self._fill_properties(self.object_box.currentText())

    def _fill_properties(self, object_name):
        self.prop_box.clear()
        dob = self.tree.object_data.get(object_name)
        if dob is not None:
            self.prop_box.addItems(list(dob.prop))

    def select(self, object_name=None, prop_name=None):
        super().select(object_name)
        if prop_name is not None:
            self.prop_box.setCurrentText(prop_name)

    def chosen_property(self, object_name):
        prop_name = self.prop_box.currentText()
        if prop_name not in self.tree.object_data[object_name].prop:
            raise ValueError(_("{!r} has no property named {!r}.").format(object_name, prop_name))
        return prop_name


class RunCancelled(Exception):
    """The user cancelled a property script's run."""


class PropertyOperatorDialog(TreeDialog):
    """The property calculator: a script over the chosen object's property names.

    After a run the object is saved and the tree announces the change; the
    dialog stays open for the next script.
    """

    TITLE = "Property calculator"
    START = "Run"
    sig_start = Signal(str, str)  # object name, script

    def __init__(self, tree):
        super().__init__(tree)
        self.names = QLabel(self)
        self.names.setWordWrap(True)
        self.names.setTextInteractionFlags(Qt.TextSelectableByMouse)
        self.form.addRow(_("Properties:"), self.names)
        self.editor = QPlainTextEdit(self)
        self.editor.setFont(QFontDatabase.systemFont(QFontDatabase.FixedFont))
        self.editor.setPlaceholderText("amplitude = amplitude * 1.1")
        self.form.addRow(_("Script:"), self.editor)
        self.object_box.currentTextChanged.connect(self._show_names)
        self.setup()
        self._show_names(self.object_box.currentText())
        self.resize(520, 320)

    def _show_names(self, object_name):
        dob = self.tree.object_data.get(object_name)
        self.names.setText(", ".join(dob.prop) if dob is not None else "")

    def arguments(self):
        name = self.chosen_object()
        script = self.editor.toPlainText()
        if not script.strip():
            raise ValueError(_("Write a script first, e.g. amplitude = amplitude * 1.1"))
        return name, script

    def run(self, name, script):
        # The script runs through `sig_start` (the actions' property operation) on a
        # stand-in for the object, chunk by chunk where it computes value by value; the
        # object and the project change only once all its results are stored, so a
        # failed run changes nothing.
        progress = QProgressDialog(
            _("Running the script on {}...").format(name), _("Cancel"), 0, 1000, self
        )
        progress.setWindowTitle(_(self.TITLE))
        progress.setWindowModality(Qt.WindowModal)
        progress.setMinimumDuration(500)
        progress.setAutoClose(False)

        def follow(done, total):
            progress.setValue(1000 * done // total)  # handles events: Cancel can be pressed
            if progress.wasCanceled():
                raise RunCancelled(_("Cancelled: {} is unchanged.").format(name))

        try:
            self.tree.run_property_script(name, script, self._execute, follow)
        except RunCancelled as error:
            self.say(str(error))
        except Exception as error:  # noqa: BLE001 - shown in the dialog
            self.say(describe(error))
        else:
            logger.info("Property script run on %s", name)
            self.say(_("Script run on {}.").format(name), error=False)
        finally:
            progress.reset()
            progress.deleteLater()

    def _execute(self, name, script):
        error = emit_reporting(self.sig_start, name, script)
        if error is not None:
            raise error


class NewNameDialog(TreeDialog):
    """Base of the dialogs that take an object and a new name."""

    def __init__(self, tree):
        super().__init__(tree)
        self.name_edit = QLineEdit(self)
        self.form.addRow(_("New name:"), self.name_edit)
        self.setup()

    def arguments(self):
        return self.chosen_object(), self.new_name(
            self.name_edit, self.tree.object_data, _("data object")
        )


class RenameObjectDialog(NewNameDialog):
    TITLE = "Rename data object"
    START = "Rename"
    sig_start = Signal(str, str)  # old name, new name


class CopyObjectDialog(NewNameDialog):
    TITLE = "Copy data object"
    START = "Copy"
    sig_start = Signal(str, str)  # name, name of the copy


class CreatePropertyDialog(NewNameDialog):
    TITLE = "New property"
    START = "Create"
    sig_start = Signal(str, str)  # object name, property name (zeros)

    def arguments(self):
        name = self.chosen_object()
        dob = self.tree.object_data[name]
        if dob.shape is None:
            raise ValueError(_("{!r} has no property to take a shape from.").format(name))
        return name, self.new_name(self.name_edit, dob.prop, _("property"))


class RemoveObjectDialog(TreeDialog):
    TITLE = "Remove data object"
    START = "Remove"
    sig_start = Signal(str)  # name

    def __init__(self, tree):
        super().__init__(tree)
        self.form.addRow(QLabel(_("The object and its properties leave the project."), self))
        self.setup()

    def arguments(self):
        return (self.chosen_object(),)


class RenamePropertyDialog(PropertyChoice, TreeDialog):
    TITLE = "Rename property"
    START = "Rename"
    sig_start = Signal(str, str, str)  # object name, old name, new name

    def __init__(self, tree):
        super().__init__(tree)
        self.add_property_box()
        self.name_edit = QLineEdit(self)
        self.form.addRow(_("New name:"), self.name_edit)
        self.setup()

    def arguments(self):
        name = self.chosen_object()
        return (
            name,
            self.chosen_property(name),
            self.new_name(self.name_edit, self.tree.object_data[name].prop, _("property")),
        )


class RemovePropertyDialog(PropertyChoice, TreeDialog):
    TITLE = "Remove property"
    START = "Remove"
    sig_start = Signal(str, str)  # object name, property name

    def __init__(self, tree):
        super().__init__(tree)
        self.add_property_box()
        self.setup()

    def arguments(self):
        name = self.chosen_object()
        return name, self.chosen_property(name)


class ConfigDialog(QDialog):
    """Settings of the data object `name`, one page per style, listed on the left.

    Pages are widgets with `NAME`, `initialize()` (show the object's settings)
    and `apply()` (store them). OK applies every page and saves the object.
    """

    size_change = Signal(QSize)

    def __init__(self, tree, name):
        super().__init__(tree)
        self.tree = tree
        self.name = name
        self.setAttribute(Qt.WA_DeleteOnClose)
        self.setWindowTitle(_("Style of {}").format(name))
        self.contents = QListWidget(self)
        self.contents.setMaximumWidth(160)
        self.pages_widget = QStackedWidget(self)
        self.contents.currentRowChanged.connect(self.pages_widget.setCurrentIndex)
        self.pages_widget.currentChanged.connect(self.contents.setCurrentRow)
        buttons = QDialogButtonBox(QDialogButtonBox.Ok | QDialogButtonBox.Cancel, self)
        buttons.accepted.connect(self.accept)
        buttons.rejected.connect(self.reject)
        row = QHBoxLayout()
        row.addWidget(self.contents)
        row.addWidget(self.pages_widget, 1)
        layout = QVBoxLayout(self)
        layout.addLayout(row)
        layout.addWidget(buttons)

    def add_page(self, page):
        self.pages_widget.addWidget(page)
        self.contents.addItem(_(page.NAME))
        if self.pages_widget.count() == 1:
            self.contents.setCurrentRow(0)

    def set_current_index(self, index):
        """Show page `index`; an index this object's pages do not reach is ignored."""
        if 0 <= index < self.pages_widget.count():
            self.pages_widget.setCurrentIndex(index)

    def accept(self):
        for i in range(self.pages_widget.count()):
            self.pages_widget.widget(i).apply()
        self.tree.object_changed(self.name)
        super().accept()

    def resizeEvent(self, event):
        super().resizeEvent(event)
        self.size_change.emit(event.size())
