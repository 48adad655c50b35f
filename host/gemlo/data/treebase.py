"""The data tree: the project's data objects and their properties."""

import numpy as np
from qtpy.QtCore import Qt, Signal
from qtpy.QtWidgets import QMenu, QMessageBox, QTreeWidget, QTreeWidgetItem

from gemlo.config.base import _
from gemlo.dialogs import style_pages  # noqa: F401 - the style pages register themselves
from gemlo.model.naming import check_new_name
from gemlo.utils.nodeaids import Buds

# Item data: ("object", name) or ("property", object name, property name)
ROLE = Qt.UserRole


class TreeBase(QTreeWidget):
    """Shows the data objects; its slots keep the tree, `object_data` and the project in step.

    Names are plain strings. A name that is missing raises KeyError, a new
    name that is empty or taken raises ValueError, before anything changes.
    """

    # The name of an object that was added, renamed, removed or had its
    # properties changed, so that views of it can follow.
    sigObjectChanged = Signal(str)

    def __init__(self, main, parent=None):
        super().__init__(parent)
        self.main = main
        self.object_data = {}
        # Objects of the project that could not be read: name -> why. Their names stay
        # taken, so that nothing replaces their entries in the project.
        self.unreadable = {}
        self.itemRightClicked = None
        self.context_menu = None
        # (label, function of the object's name) added to every object's context menu
        self.object_actions = []
        self.setHeaderLabels([_("Name"), _("Info")])
        self.setContextMenuPolicy(Qt.CustomContextMenu)
        self.customContextMenuRequested.connect(self._show_context_menu)
        # The actions of the menus: their dialogs, the calculator, the style editor.
        self.buds = Buds(self)

    def __repr__(self):
        # What a script's myprint(self.treebase) shows.
        lines = [f"Data tree: {len(self.object_data)} object(s)"]
        lines += [f"  {dob!r}" for dob in self.object_data.values()]
        return "\n".join(lines)

    @property
    def _database(self):
        return getattr(self.main, "database", None)

    def check_writable(self):
        """Raise ReadOnlyProject (a PermissionError), before anything changes, when the
        project cannot be changed."""
        if self._database is not None:
            self._database.check_writable()

    def _taken(self):
        return self.object_data.keys() | self.unreadable.keys()

    # Items

    def object_item(self, name):
        """Return the top-level item of the object `name`."""
        for i in range(self.topLevelItemCount()):
            item = self.topLevelItem(i)
            if item.text(0) == name:
                return item
        raise KeyError(name)

    @staticmethod
    def item_names(item):
        """(object name, property name or None) of a tree item; (None, None) for no item."""
        if item is None:
            return None, None
        kind, *names = item.data(0, ROLE)
        return (names[0], None) if kind == "object" else tuple(names)

    def current_object(self):
        """The data object of the current item, or None."""
        return self.object_data.get(self.item_names(self.currentItem())[0])

    def _fill_item(self, item, dob):
        item.setText(0, dob.name)
        shape = dob.shape
        item.setText(1, " x ".join(map(str, shape)) if shape else "")
        item.setData(0, ROLE, ("object", dob.name))
        item.takeChildren()
        for prop_name, entry in dob.prop.items():
            child = QTreeWidgetItem(item, [prop_name, str(entry[dob.prop_array_key].dtype)])
            child.setData(0, ROLE, ("property", dob.name, prop_name))
        item.setExpanded(True)
        self.resizeColumnToContents(0)

    def _refresh(self, dob):
        self._fill_item(self.object_item(dob.name), dob)
        self.sigObjectChanged.emit(dob.name)

    # Objects

    def add_object(self, dob, save=True):
        """Store `dob` in the project and show it (replacing an object of the same name)."""
        if dob.name in self.unreadable:
            raise ValueError(
                f"the project holds a data object named {dob.name!r} that could not be "
                "read; it is not replaced"
            )
        # Stored first: the tree never shows what the project lacks.
        if save and self._database is not None:
            self.check_writable()
            self._database.save_object(dob)
        if dob.name in self.object_data:
            item = self.object_item(dob.name)
        else:
            item = QTreeWidgetItem(self)
        self.object_data[dob.name] = dob
        self._fill_item(item, dob)
        self.sigObjectChanged.emit(dob.name)
        return dob

    def add_objects(self, dobs):
        """Store several new objects in the project in one step, then show them.

        A name already taken raises ValueError before anything changes.
        """
        dobs = list(dobs)
        names = [dob.name for dob in dobs]
        for i, name in enumerate(names):
            check_new_name(name, self._taken() | set(names[:i]), "data object")
        self.check_writable()
        if self._database is not None:
            self._database.save_objects(dobs)
        return [self.add_object(dob, save=False) for dob in dobs]

    def object_changed(self, name):
        """Store the object `name` as it is now (meta and properties) and announce it.

        For changes made to the object itself, such as a property script's or a
        style page's.
        """
        dob = self.object_data[name]
        self.check_writable()
        if self._database is not None:
            self._database.update_object(dob)
        self._refresh(dob)

    def clear_objects(self):
        """Forget every object (the project stays as it is)."""
        self.object_data.clear()
        self.unreadable = {}
        self.itemRightClicked = None
        self.clear()

    def rename_object(self, old, new):
        dob = self.object_data[old]
        check_new_name(new, self._taken(), "data object")
        self.check_writable()
        item = self.object_item(old)
        if self._database is not None:
            self._database.rename_object(old, new)
        del self.object_data[old]
        dob.name = new
        self.object_data[new] = dob
        self._fill_item(item, dob)
        self.sigObjectChanged.emit(old)
        self.sigObjectChanged.emit(new)

    def copy_object(self, name, new_name=None):
        """Add a copy of the object `name`; returns the copy."""
        dob = self.object_data[name]
        if new_name is None:
            new_name, n = f"{name}_copy", 2
            while new_name in self._taken():
                new_name, n = f"{name}_copy{n}", n + 1
        check_new_name(new_name, self._taken(), "data object")
        self.check_writable()
        if self._database is None:
            return self.add_object(dob.copy(new_name))
        # The copy is shown once the project holds all of it.
        other = self._database.store_copy(dob, new_name)
        other.style_pages = list(dob.style_pages)
        return self.add_object(other, save=False)

    def remove_object(self, name):
        """Ask, then remove the object `name`."""
        answer = QMessageBox.question(
            self,
            _("Remove"),
            _("Remove the data object {}?").format(name),
            QMessageBox.Yes | QMessageBox.No,
        )
        if answer == QMessageBox.Yes:
            self.remove_object_worker(name)

    def remove_object_worker(self, name):
        """Remove the object `name` from the tree and the project, without asking."""
        self.check_writable()
        item = self.object_item(name)
        if self._database is not None:
            self._database.remove_object(name)
        dob = self.object_data.pop(name)
        self.takeTopLevelItem(self.indexOfTopLevelItem(item))
        if self.itemRightClicked is item or (
            self.itemRightClicked is not None and self.itemRightClicked.parent() is item
        ):
            self.itemRightClicked = None
        self.sigObjectChanged.emit(name)
        return dob

    # Properties

    def rename_property(self, object_name, old, new):
        dob = self.object_data[object_name]
        if old not in dob.prop:
            raise KeyError(old)
        check_new_name(new, dob.prop, "property")
        self.check_writable()
        if self._database is not None:
            self._database.rename_property(object_name, old, new)
        # Rebuild the dict so the property keeps its place.
        dob.prop = {(new if k == old else k): v for k, v in dob.prop.items()}
        self._refresh(dob)

    def remove_property(self, object_name, prop_name):
        dob = self.object_data[object_name]
        if prop_name not in dob.prop:
            raise KeyError(prop_name)
        self.check_writable()
        if self._database is not None:
            self._database.remove_property(object_name, prop_name)
        entry = dob.prop.pop(prop_name)
        self._refresh(dob)
        return entry

    def create_property(self, object_name, prop_name, array=None, **attributes):
        """Add a property; without `array` it is zeros shaped like the object's arrays."""
        dob = self.object_data[object_name]
        check_new_name(prop_name, dob.prop, "property")
        self.check_writable()
        if array is None:
            if dob.shape is None:
                raise ValueError(
                    f"{object_name!r} has no property to take a shape from; give the array"
                )
        elif dob.shape is not None and np.shape(array) != dob.shape:
            raise ValueError(
                f"the array's shape {np.shape(array)} differs from the object's {dob.shape}"
            )
        if self._database is not None:
            self._database.store_new_property(dob, prop_name, array, **attributes)
        else:
            array = np.zeros(dob.shape, np.float32) if array is None else np.asarray(array)
            dob.prop[prop_name] = {dob.prop_array_key: array, **attributes}
        self._refresh(dob)
        return dob.prop[prop_name]

    def run_property_script(self, object_name, script, execute=None, progress=None):
        """Run a property script on the object `object_name`, all or nothing: the object
        and the project change only once every result is stored (`gemlo.processing.calculator`).

        `execute(name, script)` runs it (default: the actions' `property_operation`).
        Returns whether anything changed.
        """
        from gemlo.processing import calculator

        dob = self.object_data[object_name]
        try:
            changed = calculator.run(
                self.object_data,
                object_name,
                script,
                self._database,
                execute or self.buds.property_operation,
                progress,
            )
        finally:
            self.buds.dob = dob  # not the stand-in the script ran on
        if changed:
            self._refresh(dob)
        return changed

    def store_data_file(self, object_name, prop_name, data_file, *, new=False, **attributes):
        """Make the data file `data_file` (from the project's `new_data_file`) the values
        of the property `prop_name` of the object `object_name`, new or replacing one
        (with `new`, never one another writer stored meanwhile); returns the property's
        entry."""
        dob = self.object_data[object_name]
        if self._database is not None:
            entry = self._database.store_data_file(
                dob, prop_name, data_file, new=new, **attributes
            )
        else:
            entry = dob.prop[prop_name] = {dob.prop_array_key: data_file.array, **attributes}
        self._refresh(dob)
        return entry

    # Right click

    def mousePressEvent(self, event):
        if event.button() == Qt.RightButton:
            self.itemRightClicked = self.itemAt(event.position().toPoint())
        super().mousePressEvent(event)

    def _show_context_menu(self, pos):
        item = self.itemAt(pos)
        self.itemRightClicked = item
        if item is None:
            return
        # The menu's plain forms act on the current item.
        self.setCurrentItem(item)
        kind, *names = item.data(0, ROLE)
        buds = self.buds
        menu = QMenu(self)
        if kind == "object":
            (name,) = names
            menu.addAction(_("Calculator..."), buds.open_property_operator)
            menu.addAction(_("New property..."), buds.create_property_rc)
            menu.addAction(_("Style..."), buds.open_style_editor_rc)
            menu.addSeparator()
            menu.addAction(_("Rename..."), buds.rename_object_rc)
            menu.addAction(_("Copy"), lambda: self.copy_object(name))
            menu.addAction(_("Copy as..."), buds.copy_object_rc)
            menu.addAction(_("Remove..."), lambda: self.remove_object(name))
            for label, action in self.object_actions:
                menu.addAction(label, lambda action=action: action(name))
        else:
            menu.addAction(_("Colour bar..."), buds.open_colorbar_editor_rc)
            menu.addAction(_("Calculator..."), buds.open_property_operator)
            menu.addAction(_("Rename..."), buds.open_rename_property)
            menu.addAction(_("Remove..."), buds.open_remove_property)
        # popup, not exec: a right click must never start a nested event loop.
        self.context_menu = menu
        menu.popup(self.viewport().mapToGlobal(pos))
