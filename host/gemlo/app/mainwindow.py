"""The main window: docks, the viewer deck, the project and the script runner."""

import importlib
import linecache
import logging
import os
import sys
import traceback
from pathlib import Path

import numpy as np
from qtpy.QtCore import Qt, QTimer, Slot
from qtpy.QtGui import QFontDatabase
from qtpy.QtWidgets import (
    QDialog,
    QDialogButtonBox,
    QDockWidget,
    QFileDialog,
    QInputDialog,
    QMainWindow,
    QMenu,
    QMessageBox,
    QPlainTextEdit,
    QProgressDialog,
    QPushButton,
    QTabBar,
    QTabWidget,
    QVBoxLayout,
)

import gemlo
from gemlo.config.base import _
from gemlo.data.treebase import ROLE, TreeBase
from gemlo.errors import Cancelled, InputError
from gemlo.session import Session
from gemlo.storage.database import selection_texts
from gemlo.storage.errors import DamagedProject, DatabaseError
from gemlo.storage.paths import EXTENSION
from gemlo.utils import icon_manager as ima
from gemlo.utils.functions import myprint
from gemlo.utils.logger import logger
from gemlo.utils.qthelpers import show_failure
from gemlo.widgets.chartpane import ChartPane
from gemlo.widgets.outputlog import OutputHandler
from gemlo.widgets.panedeck import PaneDeck
from gemlo.widgets.projects.config import EXTMODULES_DEFAULTS_DICT
from gemlo.widgets.surveymap import SurveyMap

# (module, class) of the plugins the application always tries to load.
INTERNAL_PLUGINS = [("gemlo.plugins.scriptdock", "ScriptDock")]


class MainWindow(QMainWindow):
    """The application window. Use: MainWindow(options); setup(); show(); post_visible_setup()."""

    def __init__(self, options):
        super().__init__()
        self.options = options
        self.session = None
        self.treebase = None
        self.survey = None
        self.sgmt = None
        self.workdir = options.working_directory or os.getcwd()
        self.plugins = []
        self.dockwidgets = []
        self.extmodules = dict(EXTMODULES_DEFAULTS_DICT)  # the project's, once one is open
        # "group/module" -> the actions (menu entries, toolbar buttons) that module brings
        self.module_actions = {}
        self.settings_dialog = None
        # Widgets, made by setup()
        self.btn_quit = self.deck = self.survey_map = self.output = None
        self.data_dock = self.output_dock = self.view_menu = None
        self.data_menu = None
        self.processing_actions = {}  # module key -> its Data > Processing actions
        self.script_namespace = {
            "__name__": "__script__",
            "self": self,
            "np": np,
            "myprint": myprint,
        }
        self._script_count = 0
        self._log_handler = None
        if getattr(options, "debug", False):
            logger.setLevel(logging.DEBUG)

    # Building

    def setup(self):
        self.setWindowTitle("gemlo")
        self.resize(1200, 800)
        self.deck = PaneDeck(self)
        self.survey_map = SurveyMap(self.deck)
        self._add_map_tab()
        self.setCentralWidget(self.deck)

        self.treebase = TreeBase(self)
        self._connect_viewers()
        self.data_dock = self._dock(_("Data"), "data", self.treebase, Qt.LeftDockWidgetArea)
        self.output = QPlainTextEdit(self)
        self.output.setReadOnly(True)
        self.output.setMaximumBlockCount(10000)
        self.output.setFont(QFontDatabase.systemFont(QFontDatabase.FixedFont))
        self.output_dock = self._dock(_("Output"), "output", self.output, Qt.BottomDockWidgetArea)
        self._log_handler = OutputHandler(self.output)
        logger.addHandler(self._log_handler)
        # A window dropped without closing must not leave its handler behind.
        self.destroyed.connect(lambda _obj=None, h=self._log_handler: logger.removeHandler(h))

        file_menu = self.menuBar().addMenu(_("&File"))
        new_action = file_menu.addAction(_("New project..."), self._ask_new_project)
        open_action = file_menu.addAction(
            ima.icon("fileopen"), _("Open project..."), self._ask_open_project
        )
        save_action = file_menu.addAction(
            ima.icon("filesave"), _("Save project"), self._save_project_reporting
        )
        save_action.setShortcut("Ctrl+S")
        file_menu.addAction(
            _("Add sample data"), lambda: self._report_errors(self.add_sample_data)
        )
        self.register_module_actions(
            "Import/segy", file_menu.addAction(_("Import SEG-Y..."), self._ask_import_segy)
        )
        self.register_module_actions(
            "Import/las", file_menu.addAction(_("Import LAS..."), self._ask_import_las)
        )
        self.register_module_actions(
            "Import/horizons",
            file_menu.addAction(_("Import horizon..."), self._ask_import_horizon),
        )
        self.register_module_actions(
            "Export/las", file_menu.addAction(_("Export well (LAS)..."), self._ask_export_las)
        )
        self.register_module_actions(
            "Export/horizons",
            file_menu.addAction(_("Export horizon..."), self._ask_export_horizon),
        )
        self.register_module_actions(
            "Export/segy", file_menu.addAction(_("Export SEG-Y..."), self._ask_export_segy)
        )

        file_menu.addAction(_("Project settings..."), self.open_project_settings)
        file_menu.addSeparator()
        file_menu.addAction(_("Quit"), self.ask_quit)
        self.view_menu = self.menuBar().addMenu(_("&View"))
        for dock in (self.data_dock, self.output_dock):
            self.view_menu.addAction(dock.toggleViewAction())
        self.data_menu = self._data_menu()

        help_menu = self.menuBar().addMenu(_("&Help"))
        help_menu.addAction(_("About gemlo..."), self.show_about)

        self._setup_statistics()

        toolbar = self.addToolBar(_("Main"))
        toolbar.setObjectName("main_toolbar")
        toolbar.addAction(new_action)
        toolbar.addAction(open_action)
        toolbar.addAction(save_action)
        self._add_viewer_actions(toolbar)
        self.btn_quit = QPushButton(_("Quit"), self)
        self.btn_quit.clicked.connect(self.ask_quit)
        toolbar.addWidget(self.btn_quit)
        self.apply_extmodules()

    def _data_menu(self):
        """The data tree's actions; each dialog starts at the current object."""
        buds = self.treebase.buds
        menu = self.menuBar().addMenu(_("&Data"))
        menu.addAction(_("Property calculator..."), buds.open_property_operator)
        menu.addAction(_("New property..."), buds.open_create_property)
        menu.addAction(_("Rename property..."), buds.open_rename_property)
        menu.addAction(_("Remove property..."), buds.open_remove_property)
        self._processing_menu(menu.addMenu(_("Processing")))
        menu.addSeparator()
        menu.addAction(_("Rename object..."), buds.open_rename_object)
        menu.addAction(_("Copy object..."), buds.open_copy_object)
        menu.addAction(_("Remove object..."), buds.open_remove_object)
        menu.addSeparator()
        menu.addAction(_("Colour bar..."), buds.open_colorbar_editor)
        menu.addAction(_("Style..."), self._open_style_editor)
        menu.addAction(_("Camera..."), buds.open_camera_operator)
        return menu

    def _processing_menu(self, menu):
        """One entry per processing operation, each its module's to show or hide."""
        from gemlo.dialogs.processing import open_process_dialog
        from gemlo.processing.operations import OPERATIONS

        by_module = {}
        for op in OPERATIONS.values():
            action = menu.addAction(
                _(op.title) + "...", lambda *_args, key=op.key: open_process_dialog(self, key)
            )
            by_module.setdefault(op.module, []).append(action)
        register = getattr(self, "register_module_actions", None)
        if register is not None:
            for key, actions in by_module.items():
                register(key, *actions)
        self.processing_actions = by_module

    def _open_style_editor(self):
        dob = self.treebase.current_object()
        if dob is None:
            QMessageBox.information(self, _("Style"), _("Select a data object first."))
        else:
            self.treebase.buds.open_style_editor(dob)

    def show_about(self):
        QMessageBox.about(
            self,
            _("About gemlo"),
            _(
                "gemlo {}\n\nCompiled extension modules of a geoscience desktop "
                "application, in a small stand-in host."
            ).format(gemlo.__version__),
        )

    def _setup_statistics(self):
        """The Statistics dock: percentiles of the properties of the selected object."""
        self.stats_panel = self.stats_dock = None
        try:
            from gemlo.widgets.statpanel import StatPanel
        except ImportError as error:
            logger.warning("Statistics panel not available: %s", error)
            return
        self.stats_panel = StatPanel(self.treebase, self)
        self.stats_dock = self._dock(
            _("Statistics"), "statistics", self.stats_panel, Qt.RightDockWidgetArea
        )
        self.view_menu.addAction(self.stats_dock.toggleViewAction())

    def _dock(self, title, name, widget, area):
        dock = QDockWidget(title, self)
        dock.setObjectName(name)
        dock.setWidget(widget)
        self.addDockWidget(area, dock)
        return dock

    def post_visible_setup(self):
        """Load the internal plugins; one that is missing or broken is skipped."""
        for module_name, class_name in INTERNAL_PLUGINS:
            try:
                plugin_class = getattr(importlib.import_module(module_name), class_name)
            except (ImportError, AttributeError) as error:
                logger.warning("Plugin %s.%s not loaded: %s", module_name, class_name, error)
                continue
            try:
                plugin_class(self).register_plugin()
            except Exception:
                logger.exception("Plugin %s.%s failed to start", module_name, class_name)

    def add_dockwidget(self, plugin):
        """Show `plugin` in a dock at the bottom; returns the dock."""
        dock = QDockWidget(plugin.get_plugin_title(), self)
        dock.setObjectName(plugin.CONF_SECTION or type(plugin).__name__)
        dock.setWidget(plugin)
        self.addDockWidget(Qt.BottomDockWidgetArea, dock)
        # Beside the log and as wide as it, once the layout knows the new dock:
        # a console needs room to edit in.
        QTimer.singleShot(
            0,
            lambda: self.resizeDocks(
                [self.output_dock, dock], [self.width() // 2] * 2, Qt.Horizontal
            ),
        )
        plugin.dockwidget = dock
        self.plugins.append(plugin)
        self.dockwidgets.append(dock)
        self.view_menu.addAction(dock.toggleViewAction())
        return dock

    # Project

    @property
    def database(self):
        """The open project's ProjectDatabase, or None."""
        return None if self.session is None else self.session.database

    @database.setter
    def database(self, database):
        if database is not None:
            raise ValueError("open a project with open_project or create_new_project")
        self.session = None

    def create_new_project(self, path):
        """Create a project file at `path` (".lmd" is added if missing) and open it."""
        self._use_session(Session.create(path))
        logger.info("New project %s", self.database.path)
        return self.database

    def open_project(self, path):
        """Open the project file at `path`, all or nothing: on failure (an error naming the
        file and the reason) the window keeps its project as it was.

        A data object that cannot be read is left out and named in `treebase.unreadable`
        (name -> reason), its entry left as it is in the file.
        """
        self._use_session(Session.open(path))
        logger.info(
            "Opened project %s%s",
            self.database.path,
            f" (read-only: {self.database.read_only})" if self.database.read_only else "",
        )
        for name, reason in self.treebase.unreadable.items():
            logger.warning("Data object %r left out: %s", name, reason)
        return self.database

    def _use_session(self, session):
        """Show `session` once its viewers are rebuilt; on any failure it is closed and the
        window stays as it was."""
        try:
            try:
                panes = self._build_viewers(session.viewers, session.objects, session.unreadable)
            except Exception as error:
                raise DamagedProject(
                    f"The viewers stored in the project file {session.path} cannot be "
                    f"restored: {error}"
                ) from error
        except BaseException:
            session.close()
            raise
        old, self.session = self.session, session
        self.workdir = self.options.working_directory or os.path.dirname(session.path)
        self.treebase.clear_objects()
        self.treebase.unreadable = session.unreadable
        self.set_survey(session.survey, session.sgmt)
        # Modules the project does not name yet keep their defaults; those this
        # application does not have are not offered.
        self.extmodules = {
            k: session.extmodules.get(k, v) for k, v in EXTMODULES_DEFAULTS_DICT.items()
        }
        for dob in session.objects.values():
            self.treebase.add_object(dob, save=False)
        # From now on the session's objects are those the tree shows, and what it adds
        # the tree stores and shows.
        session.objects = self.treebase.object_data
        session.add = self.treebase.add_objects
        session.replace = self.treebase.add_object
        self._replace_viewers(panes)
        self.survey_map.set_wells(self.wells())  # the last project's go with it
        self.apply_extmodules()
        self.setWindowTitle(
            f"{session.database.name}{_(' (read-only)') if session.database.read_only else ''}"
            " - gemlo"
        )
        if old is not None and old is not session:
            old.close()

    def set_survey(self, survey, sgmt):
        """Make `survey` (its extent given by the segment dictionary) the current one."""
        self.survey, self.sgmt = survey, sgmt
        self.survey_map.set_survey(survey, sgmt)

    def add_sample_data(self):
        """Put the sample survey and the synthetic cube into the open project."""
        if self.session is None:
            raise RuntimeError("No project is open: create or open one first")
        self.treebase.check_writable()
        self.session.add_sample_data()
        self.set_survey(self.session.survey, self.session.sgmt)

    def open_project_settings(self):
        """Show the project settings, whose pages apply to the open project; returns the dialog."""
        from gemlo.widgets.projects.extpicker import ExtPicker

        if self.settings_dialog is not None:
            self.settings_dialog.close()
        dialog = QDialog(self)
        dialog.setWindowTitle(_("Project settings"))
        dialog.setAttribute(Qt.WA_DeleteOnClose)
        pages = QTabWidget(dialog)
        picker = ExtPicker(pages)
        # The page reads texts and writes truth values into what it is given: a copy.
        picker.add_items(dict(self.extmodules))
        picker.treeWidget.expandAll()
        picker.sigExtModules.connect(
            lambda selection: self._report_errors(self.set_extmodules, selection)
        )
        pages.addTab(picker, picker.NAME)
        buttons = QDialogButtonBox(QDialogButtonBox.Close, parent=dialog)
        buttons.rejected.connect(dialog.reject)
        layout = QVBoxLayout(dialog)
        layout.addWidget(pages)
        layout.addWidget(buttons)
        dialog.picker = picker
        dialog.finished.connect(
            lambda _result=0, d=dialog: (
                self.settings_dialog is d and setattr(self, "settings_dialog", None)
            )
        )
        self.settings_dialog = dialog
        dialog.resize(360, 420)
        dialog.show()
        return dialog

    def set_extmodules(self, selection):
        """Make `selection` ("group/module" -> on) the project's choice of external modules."""
        self.treebase.check_writable()
        self.extmodules = selection_texts(selection)
        if self.session is not None:
            self.session.set_extmodules(self.extmodules)
        self.apply_extmodules()

    def register_module_actions(self, key, *actions):
        """Make `actions` (menu entries, toolbar buttons) belong to the external module `key`.

        They show while the module is switched on; returns the first action.
        """
        self.module_actions.setdefault(key, []).extend(actions)
        on = self.extmodules.get(key) == "True"
        for action in actions:
            action.setVisible(on)
        return actions[0] if actions else None

    def apply_extmodules(self):
        """Show the actions of the modules switched on in `extmodules`, hide the others.

        A menu whose entries are all hidden is hidden too. Viewers already open stay.
        """
        menus = []
        for key, actions in self.module_actions.items():
            on = self.extmodules.get(key) == "True"
            for action in actions:
                action.setVisible(on)
                menus += [m for m in action.associatedObjects() if isinstance(m, QMenu)]
        for menu in dict.fromkeys(menus):
            entries = [a for a in menu.actions() if not a.isSeparator()]
            menu.menuAction().setVisible(any(a.isVisible() for a in entries))
        # The data tree's context menu is built when it opens: it lists what is on.
        plots = self.extmodules.get("Viewers/vispy") == "True"
        self.treebase.object_actions = [entry for entry in self._plot_object_actions if plots] + [
            entry
            for entry in self.treebase.object_actions
            if entry not in self._plot_object_actions
        ]

    def _ask_new_project(self):
        path, _filter = QFileDialog.getSaveFileName(
            self,
            _("New project"),
            self.workdir,
            f"{_('Projects')} (*{EXTENSION})",
            options=QFileDialog.DontConfirmOverwrite,
        )
        if path:
            self._report_errors(self.create_new_project, path)

    def _ask_open_project(self):
        path, _filter = QFileDialog.getOpenFileName(
            self, _("Open project"), self.workdir, f"{_('Projects')} (*{EXTENSION})"
        )
        if path and self._report_errors(self.open_project, path) and self.treebase.unreadable:
            QMessageBox.warning(
                self,
                _("Project"),
                _("These data objects could not be read and were left out:\n\n{}").format(
                    "\n\n".join(self.treebase.unreadable.values())
                ),
            )

    def import_segy(self, path, **options):
        """Import the SEG-Y cube at `path` into the open project, behind a progress dialog.

        Returns the running import (its `sigDone` gives the new object, or None);
        a file or grid that cannot be imported raises SegyError before anything starts.
        """
        from gemlo.dialogs.segy_import import SegyImportRun

        return SegyImportRun(self, path, **options).start()

    def _ask_import_segy(self):
        from gemlo.dialogs.segy_import import SegyScanDialog
        from gemlo.io.segy import SegyError

        path, _filter = QFileDialog.getOpenFileName(
            self,
            _("Import SEG-Y"),
            self.workdir,
            f"{_('SEG-Y files')} (*.sgy *.segy *.SGY *.SEGY);;{_('All files')} (*)",
        )
        if not path:
            return
        look = SegyScanDialog(self, path)
        if look.exec() != QDialog.Accepted:
            return
        try:
            self.import_segy(path, header=look.header())
        except (SegyError, OSError, RuntimeError) as error:
            show_failure(self, _("Import SEG-Y"), str(error))

    def export_segy(self, name, prop, path, fmt=None, **options):
        """Write the property `prop` of the cube `name` as the SEG-Y file `path`, behind a
        progress dialog. Returns the running export (its `sigDone` gives the path, or None);
        an export that cannot be done raises ExportError before anything is written."""
        from gemlo.dialogs.segy_export import SegyExportRun

        return SegyExportRun(self, name, prop, path, fmt, **options).start()

    def _ask_export_segy(self):
        from gemlo.dialogs.segy_export import SegyExportDialog
        from gemlo.io.segyexport import ExportError

        cubes = {
            n: d
            for n, d in self.treebase.object_data.items()
            if d.prop_array_key == "array3d" and d.prop
        }
        if not cubes:
            QMessageBox.information(self, _("Export SEG-Y"), _("The project holds no cube."))
            return
        choose = SegyExportDialog(self, cubes, self.current_cube())
        if choose.exec() != QDialog.Accepted:
            return
        name, prop, fmt = choose.choice()
        path, _filter = QFileDialog.getSaveFileName(
            self,
            _("Export SEG-Y"),
            os.path.join(self.workdir, f"{name}.{prop}.sgy"),
            f"{_('SEG-Y files')} (*.sgy *.segy);;{_('All files')} (*)",
        )
        if not path:
            return
        try:
            self.export_segy(name, prop, path, fmt)
        except (ExportError, OSError, RuntimeError) as error:
            show_failure(self, _("Export SEG-Y"), str(error))

    def import_las(self, paths):
        """Add one well per LAS file of `paths` to the open project; returns the new objects.

        Every file is read first: one that cannot be imported raises LasError and
        nothing is added.
        """
        if self.session is None:
            raise RuntimeError("No project is open: create or open one first")
        return self.session.import_las(paths)

    def _progress(self, title, label):
        """(dialog, progress(done, total)) for long work; Cancel raises Cancelled.

        The dialog shows only after half a second: short work finishes without it.
        """
        dialog = QProgressDialog(label, _("Cancel"), 0, 1, self)
        dialog.setWindowTitle(title)
        dialog.setWindowModality(Qt.WindowModal)
        dialog.setMinimumDuration(500)

        def progress(done, total):
            dialog.setMaximum(total)
            dialog.setValue(done)  # a modal dialog's setValue lets Qt paint and take the Cancel
            if dialog.wasCanceled():
                raise Cancelled(title)

        return dialog, progress

    def import_horizon(self, path):
        """Add the horizon of the grid file `path` (ZMAP+ or IRAP) on the project's survey.

        A large survey takes a while: a progress dialog shows after half a second,
        and its Cancel raises Cancelled with nothing added. Returns the horizon.
        """
        if self.session is None:
            raise RuntimeError("No project is open: create or open one first")
        dialog, progress = self._progress(
            _("Import horizon"), _("Sampling the grid at every position...")
        )
        try:
            dob = self.session.import_horizon(path, progress)
        finally:
            dialog.close()
            dialog.deleteLater()
        finite = np.isfinite(dob.array(next(iter(dob.prop))))
        logger.info(
            "Imported horizon %s from %s: %d of %d positions on the grid",
            dob.name,
            path,
            finite.sum(),
            finite.size,
        )
        return dob

    def export_horizon(self, name, path, kind):
        """Write the horizon `name` to the grid file `path` of `kind` ("zmap", "irap-ascii",
        "irap-binary"), all or nothing, behind a progress dialog with Cancel."""
        from gemlo.io.horizons import TITLES

        dialog, progress = self._progress(_("Export horizon"), _("Writing the grid..."))
        try:
            self.session.export_horizon(name, path, kind, progress)
        finally:
            dialog.close()
            dialog.deleteLater()
        logger.info("Exported horizon %s to %s (%s)", name, path, TITLES[kind])

    def export_las(self, name, path):
        """Write the well `name` to the LAS file `path`, all or nothing.

        A well is small: it is written directly, without a progress dialog.
        """
        self.session.export_las(name, path)
        logger.info("Exported well %s to %s", name, path)

    def _ask_object(self, title, key, what):
        """The name of an object with `key` properties: the current one, or one the user picks."""
        current = self.treebase.current_object()
        if current is not None and current.prop_array_key == key:
            return current.name
        names = [n for n, dob in self.treebase.object_data.items() if dob.prop_array_key == key]
        if not names:
            QMessageBox.information(self, title, _("The project has no {}.").format(what))
            return None
        name, chosen = QInputDialog.getItem(self, title, what.capitalize(), names, 0, False)
        return name if chosen else None

    def _ask_export_las(self):
        title = _("Export well (LAS)")
        name = self._ask_object(title, "array1d", _("well"))
        if not name:
            return
        path, _filter = QFileDialog.getSaveFileName(
            self, title, str(Path(self.workdir or "") / f"{name}.las"), f"{_('LAS files')} (*.las)"
        )
        if path:
            self._report_import(self.export_las, name, path)

    def _ask_export_horizon(self):
        from gemlo.io.horizons import SUFFIXES, TITLES

        title = _("Export horizon")
        name = self._ask_object(title, "array2d", _("horizon"))
        if not name:
            return
        filters = {f"{TITLES[k]} (*{SUFFIXES[k]})": k for k in TITLES}
        path, chosen = QFileDialog.getSaveFileName(
            self, title, str(Path(self.workdir or "") / name), ";;".join(filters)
        )
        if path:
            kind = filters.get(chosen, "zmap")
            if not Path(path).suffix:
                path += SUFFIXES[kind]
            self._report_import(self.export_horizon, name, path, kind)

    def _ask_import_las(self):
        paths, _filter = QFileDialog.getOpenFileNames(
            self,
            _("Import LAS"),
            self.workdir,
            f"{_('LAS files')} (*.las *.LAS);;{_('All files')} (*)",
        )
        if paths:
            self._report_import(self.import_las, paths)

    def _ask_import_horizon(self):
        path, _filter = QFileDialog.getOpenFileName(
            self,
            _("Import horizon"),
            self.workdir,
            f"{_('Horizon grids (ZMAP+, IRAP)')} (*.zmap *.dat *.grd *.txt *.irap *.gri *.irapbin)"
            f";;{_('All files')} (*)",
        )
        if path:
            self._report_import(self.import_horizon, path)

    def _report_import(self, function, *args):
        """Run an import or export; say why it failed in a box, or that it was cancelled."""
        export = function.__name__.startswith("export")
        try:
            function(*args)
        except Cancelled:
            if export:
                logger.info("Export of %s to %s cancelled; nothing was written", *args[:2])
            else:
                logger.info("Import of %s cancelled; nothing was added", args[0])
        except (InputError, OSError, ValueError, RuntimeError, DatabaseError) as error:
            QMessageBox.warning(self, _("Export") if export else _("Import"), str(error))

    def wells(self):
        """The project's wells that have a map location: [(name, x, y)]."""
        return [] if self.session is None else self.session.wells()

    def _report_errors(self, function, *args):
        """Call function(*args); show its error in a message box. True if it succeeded."""
        try:
            function(*args)
        except (OSError, ValueError, RuntimeError, DatabaseError) as error:
            QMessageBox.warning(self, _("Project"), str(error) or repr(error))
            return False
        return True

    # Viewers

    def _add_map_tab(self):
        # The map is part of the window, not a viewer: it has no close button.
        index = self.deck.insertTab(0, self.survey_map, _("Map"))
        self.deck.tabBar().setTabButton(index, QTabBar.RightSide, None)
        self.deck.tabBar().setTabButton(index, QTabBar.LeftSide, None)
        self.deck.setCurrentIndex(index)

    def _add_viewer_actions(self, toolbar):
        menu = self.menuBar().addMenu(_("Vie&wers"))
        for text, slot, icon, key in (
            (_("New plot viewer"), self.deck.new_vs_plot, "plot", "Viewers/vispy"),
            (_("New image viewer"), self.deck.new_vs_image, "image", "Viewers/vispy"),
            (_("New volume viewer"), self.deck.new_vs_volume, "volume", "Viewers/volume"),
        ):
            action = menu.addAction(ima.icon(icon), text, slot)
            toolbar.addAction(action)
            self.register_module_actions(key, action)
        separator = menu.addSeparator()
        self.register_module_actions(
            "Viewers/vispy",
            separator,
            menu.addAction(_("Show in plot viewer"), lambda: self._selected_do(self.show_in_plot)),
            menu.addAction(
                _("Remove from plot viewer"), lambda: self._selected_do(self.remove_from_plot)
            ),
        )
        self._plot_object_actions = [
            (_("Show in plot viewer"), self.show_in_plot),
            (_("Remove from plot viewer"), self.remove_from_plot),
        ]
        self.treebase.object_actions += self._plot_object_actions

    def _connect_viewers(self):
        self.treebase.sigObjectChanged.connect(self._object_changed)
        self.treebase.currentItemChanged.connect(lambda *_args: self.refresh_viewers())

    def viewers(self, kind=None):
        """The viewers in the deck, in tab order; only those of class `kind` if given."""
        pages = (self.deck.widget(i) for i in range(self.deck.count()))
        return [
            p for p in pages if p is not self.survey_map and (kind is None or isinstance(p, kind))
        ]

    def current_cube(self):
        """(data object, property name) that the image and volume viewers show, or None.

        The object selected in the data tree if it is a cube (its selected property,
        else its first), otherwise the first cube of the project.
        """
        if self.treebase is None:
            return None
        cubes = {
            n: d
            for n, d in self.treebase.object_data.items()
            if d.prop_array_key == "array3d" and d.prop
        }
        item = self.treebase.currentItem()
        if item is not None and item.data(0, ROLE) is not None:
            _kind, name, *prop = item.data(0, ROLE)
            if name in cubes:
                return cubes[name], prop[0] if prop else next(iter(cubes[name].prop))
        for dob in cubes.values():
            return dob, next(iter(dob.prop))
        return None

    def current_image(self):
        """(data object, property name) that the image viewer shows, or None.

        The selected horizon (an object of 2-D properties) as a map, else the current cube.
        """
        dob = self.treebase.current_object() if self.treebase is not None else None
        if dob is not None and dob.prop_array_key == "array2d" and dob.prop:
            _name, prop = self.treebase.item_names(self.treebase.currentItem())
            return dob, prop or next(iter(dob.prop))
        found = self.current_cube()
        if found is not None or self.treebase is None:
            return found
        for dob in self.treebase.object_data.values():
            if dob.prop_array_key == "array2d" and dob.prop:
                return dob, next(iter(dob.prop))
        return None

    def refresh_viewers(self):
        """Let the image and volume viewers follow the current cube."""
        for viewer in self.viewers():
            if hasattr(viewer, "refresh"):
                viewer.refresh()

    def _object_changed(self, name):
        for viewer in self.viewers():
            if getattr(viewer, "shown", None) and viewer.shown[0] == name:
                viewer.shown = None  # its arrays may have changed: draw again
        dob = self.treebase.object_data.get(name)
        if dob is not None:
            # Picking reports a line by its visual's name: follow renames; the curves
            # shown may have changed (the style's choice, a property's values).
            for visual in dob.visuals_in_plot.values():
                visual.name = dob.name
                if dob.prop_array_key == "array1d" and dob.prop:
                    pos, connect = dob.plot_line()
                    visual.set_data(pos=pos, connect=connect)
            self._relabel_plots(dob)
        else:
            # Gone (or renamed): take its line out of every plot viewer, whose
            # display state knows it by that name only.
            for pane in self.viewers(ChartPane):
                base = pane.base
                for visual in [v for v in base.canvas.visuals if v.name == name]:
                    base.remove_item(visual)
                if name in base.dpState:
                    base.save_display_state(name, "object", "self", False)
        # A well renamed, removed or added shows so on the map.
        self.survey_map.set_wells(self.wells())
        self.refresh_viewers()

    def _relabel_plots(self, dob):
        # Axis titles follow the curves of the object that named them.
        for pane in self.viewers(ChartPane):
            if getattr(pane.base, "labelled_by", None) == dob.name and dob.prop:
                cell = pane.base.canvas00
                cell.xlabel.text, cell.ylabel.text = dob.plot_labels()
                pane.base.camera.set_range()

    def current_plot_viewer(self, create=False):
        """The plot viewer on show, else the last one opened; a new one if `create`."""
        current = self.deck.currentWidget()
        if isinstance(current, ChartPane):
            return current
        panes = self.viewers(ChartPane)
        if panes:
            return panes[-1]
        if create:
            self.deck.new_vs_plot()
            return self.deck.currentWidget()
        return None

    def show_in_plot(self, name):
        """Show the data object `name` in the current plot viewer (opened if none)."""
        pane = self.current_plot_viewer(create=True)
        dob = self.treebase.object_data[name]
        if dob.meta.get("plot_y_down") and not pane.base.canvas.visuals:
            # A log's values and depths share no scale: each axis fits its own.
            pane.base.state = {"aspect_method": "Free", "aspect_ratio": None}
        self._show(pane, dob)
        self.deck.setCurrentWidget(pane)
        return pane

    @staticmethod
    def _show(pane, dob):
        pane.base.add_item_agent(dob)
        cell = pane.base.canvas00
        if dob.viewable_in_plot and not cell.xlabel.text:
            # The first line shown names the axes.
            cell.xlabel.text, cell.ylabel.text = dob.plot_labels()
            cell.ylabel.width_max = 30  # vispy leaves it one pixel: it would cover the ticks
            pane.base.labelled_by = dob.name

    def remove_from_plot(self, name):
        """Take the data object `name` out of the current plot viewer."""
        pane = self.current_plot_viewer()
        if pane is not None:
            pane.base.remove_item_agent(self.treebase.object_data[name])

    def _selected_do(self, action):
        item = self.treebase.currentItem()
        if item is None or item.data(0, ROLE) is None:
            QMessageBox.information(self, _("Viewers"), _("Select a data object first."))
            return
        action(item.data(0, ROLE)[1])

    def save_project(self):
        """Store every object as it is now (a script may have changed one) and what is not
        stored as it changes: the plot viewers and their state."""
        if self.session is None:
            raise RuntimeError("No project is open: create or open one first")
        self.session.save(
            [
                (
                    pane.base._name,
                    pane.base.state,
                    [
                        n
                        for n, flags in pane.base.dpState.items()
                        if flags.get("object", {}).get("self")
                    ]
                    + getattr(pane, "unreadable_shown", []),
                )
                for pane in self.viewers(ChartPane)
            ]
        )

    def _save_project_reporting(self):
        try:
            self.save_project()
        except (
            OSError,
            RuntimeError,
            TypeError,
            ValueError,
            OverflowError,
            DatabaseError,
        ) as error:
            QMessageBox.warning(self, _("Project"), f"{_('Not saved')}: {error}")

    def restore_viewers(self):
        """Replace the plot viewers by those saved in the project, with their state."""
        self._replace_viewers(
            self._build_viewers(
                self.database.load_viewers(),
                self.treebase.object_data,
                self.treebase.unreadable,
            )
        )

    def _build_viewers(self, stored, objects, unreadable):
        """New plot viewers (not in the deck yet) from the stored (name, state, shown names),
        showing the objects of `objects` (name -> data object) they name."""
        panes = []
        try:
            for name, state, shown in stored:
                pane = ChartPane(parent=None, name=name)
                panes.append(pane)
                pane.base.state = state
                for object_name in shown:
                    if object_name in objects:
                        self._show(pane, objects[object_name])
                # Saved with the viewer again: the object's entry is kept as it is on disk.
                pane.unreadable_shown = [n for n in shown if n in unreadable]
        except BaseException:
            for pane in panes:
                pane.deleteLater()
            raise
        return panes

    def _replace_viewers(self, panes):
        for pane in self.viewers(ChartPane):
            self.deck.close_tab(self.deck.indexOf(pane))
        for pane in panes:
            name = pane.base._name
            self.deck.addTab(pane, name)
            # New viewers must not take a restored viewer's number.
            number = name.split("_", 1)[0]
            if number.isdigit():
                self.deck.counter = max(self.deck.counter, int(number))
        self.refresh_viewers()

    # Scripts

    @Slot(str)
    def run_script(self, text):
        """Run script text in this window's namespace; returns False if it raised."""
        self._script_count += 1
        filename = f"<script {self._script_count}>"
        # Lets tracebacks quote the script's lines.
        linecache.cache[filename] = (len(text), None, text.splitlines(True), filename)
        try:
            exec(compile(text, filename, "exec"), self.script_namespace)
        except (Exception, SystemExit):
            etype, value, tb = sys.exc_info()
            # Skip this frame: only the script's own frames mean something to its author.
            lines = traceback.format_exception(etype, value, tb.tb_next)
            logger.error("Error in script:\n%s", "".join(lines).rstrip())
            if self.output_dock is not None:
                self.output_dock.raise_()
            return False
        return True

    # Closing

    def ask_quit(self):
        answer = QMessageBox.question(
            self, _("Quit"), _("Do you really want to quit?"), QMessageBox.Yes | QMessageBox.No
        )
        if answer == QMessageBox.Yes:
            self.close()

    def closeEvent(self, event):
        for plugin in self.plugins:
            if not plugin.closing_plugin(True):
                event.ignore()
                return
        if self._log_handler is not None:
            logger.removeHandler(self._log_handler)
        if self.session is not None:
            self.session.close()
        event.accept()
