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
from qtpy.QtWidgets import (QDockWidget, QFileDialog, QMainWindow, QMessageBox, QPlainTextEdit,
                            QPushButton, QTabWidget, QWidget)

from gemlo.app import sample
from gemlo.app.project import EXTENSION, ProjectDatabase
from gemlo.config.base import _
from gemlo.data.treebase import TreeBase
from gemlo.utils import icon_manager as ima
from gemlo.utils.functions import myprint
from gemlo.utils.logger import logger
from gemlo.widgets.outputlog import OutputHandler
from gemlo.widgets.surveymap import SurveyMap

# (module, class) of the plugins the application always tries to load.
INTERNAL_PLUGINS = [("gemlo.plugins.scriptdock", "ScriptDock")]


class MainWindow(QMainWindow):
    """The application window. Use: MainWindow(options); setup(); show(); post_visible_setup()."""

    def __init__(self, options):
        super().__init__()
        self.options = options
        self.database = None
        self.treebase = None
        self.survey = None
        self.sgmt = None
        self.workdir = options.working_directory or os.getcwd()
        self.plugins = []
        self.dockwidgets = []
        # Widgets, made by setup()
        self.btn_quit = self.deck = self.survey_map = self.output = None
        self.data_dock = self.output_dock = self.view_menu = None
        self.script_namespace = {"__name__": "__script__", "self": self, "np": np,
                                 "myprint": myprint}
        self._script_count = 0
        self._log_handler = None
        if getattr(options, "debug", False):
            logger.setLevel(logging.DEBUG)

    # Building

    def setup(self):
        self.setWindowTitle("gemlo")
        self.resize(1200, 800)
        self.deck = QTabWidget(self)
        self.survey_map = SurveyMap(self.deck)
        self.deck.addTab(self.survey_map, _("Map"))
        self.setCentralWidget(self.deck)

        self.treebase = TreeBase(self)
        self.data_dock = self._dock(_("Data"), "data", self.treebase, Qt.LeftDockWidgetArea)
        self.output = QPlainTextEdit(self)
        self.output.setReadOnly(True)
        self.output.setMaximumBlockCount(10000)
        self.output.setFont(QFontDatabase.systemFont(QFontDatabase.FixedFont))
        self.output_dock = self._dock(_("Output"), "output", self.output,
                                      Qt.BottomDockWidgetArea)
        self._log_handler = OutputHandler(self.output)
        logger.addHandler(self._log_handler)
        # A window dropped without closing must not leave its handler behind.
        self.destroyed.connect(lambda _obj=None, h=self._log_handler: logger.removeHandler(h))

        file_menu = self.menuBar().addMenu(_("&File"))
        new_action = file_menu.addAction(_("New project..."), self._ask_new_project)
        open_action = file_menu.addAction(ima.icon("fileopen"), _("Open project..."),
                                          self._ask_open_project)
        file_menu.addAction(_("Add sample data"), self.add_sample_data)
        file_menu.addSeparator()
        file_menu.addAction(_("Quit"), self.ask_quit)
        self.view_menu = self.menuBar().addMenu(_("&View"))
        for dock in (self.data_dock, self.output_dock):
            self.view_menu.addAction(dock.toggleViewAction())

        self._setup_statistics()

        toolbar = self.addToolBar(_("Main"))
        toolbar.setObjectName("main_toolbar")
        toolbar.addAction(new_action)
        toolbar.addAction(open_action)
        self.btn_quit = QPushButton(_("Quit"), self)
        self.btn_quit.clicked.connect(self.ask_quit)
        toolbar.addWidget(self.btn_quit)

    def _setup_statistics(self):
        """The Statistics dock: percentiles of the properties of the selected object."""
        self.stats_panel = self.stats_dock = None
        try:
            from gemlo.widgets.statpanel import StatPanel
        except ImportError as error:
            logger.warning("Statistics panel not available: %s", error)
            return
        self.stats_panel = StatPanel(self.treebase, self)
        self.stats_dock = self._dock(_("Statistics"), "statistics", self.stats_panel,
                                     Qt.RightDockWidgetArea)
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
        QTimer.singleShot(0, lambda: self.resizeDocks(
            [self.output_dock, dock], [self.width() // 2] * 2, Qt.Horizontal))
        plugin.dockwidget = dock
        self.plugins.append(plugin)
        self.dockwidgets.append(dock)
        self.view_menu.addAction(dock.toggleViewAction())
        return dock

    # Project

    def create_new_project(self, path):
        """Create a project file at `path` (".lmd" is added if missing) and open it."""
        path = Path(path).expanduser().absolute()
        if path.suffix != EXTENSION:
            path = path.with_name(path.name + EXTENSION)
        self._use_database(ProjectDatabase.create(path))
        logger.info("New project %s", path)
        return self.database

    def open_project(self, path):
        self._use_database(ProjectDatabase.open(Path(path).expanduser().absolute()))
        logger.info("Opened project %s", self.database.path)
        return self.database

    def _use_database(self, database):
        if self.database is not None:
            self.database.close()
        self.database = database
        self.workdir = self.options.working_directory or os.path.dirname(database.path)
        self.treebase.clear_objects()
        self.set_survey(*database.load_survey())
        for name in database.object_names():
            self.treebase.add_object(database.load_object(name), save=False)
        self.setWindowTitle(f"{database.name} - gemlo")

    def set_survey(self, survey, sgmt):
        """Make `survey` (its extent given by the segment dictionary) the current one."""
        self.survey, self.sgmt = survey, sgmt
        self.survey_map.set_survey(survey, sgmt)

    def add_sample_data(self):
        """Put the sample survey and the synthetic cube into the open project."""
        if self.database is None:
            raise RuntimeError("No project is open: create or open one first")
        survey, sgmt = sample.sample_survey()
        self.database.save_survey(survey, sgmt)
        self.set_survey(survey, sgmt)
        self.treebase.add_object(sample.sample_cube())
        logger.info("Added the sample survey and cube")

    def _ask_new_project(self):
        path, _filter = QFileDialog.getSaveFileName(
            self, _("New project"), self.workdir, f"{_('Projects')} (*{EXTENSION})",
            options=QFileDialog.DontConfirmOverwrite)
        if path:
            self._report_errors(self.create_new_project, path)

    def _ask_open_project(self):
        path, _filter = QFileDialog.getOpenFileName(
            self, _("Open project"), self.workdir, f"{_('Projects')} (*{EXTENSION})")
        if path:
            self._report_errors(self.open_project, path)

    def _report_errors(self, function, *args):
        try:
            function(*args)
        except (OSError, ValueError) as error:
            QMessageBox.warning(self, _("Project"), str(error))

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
        answer = QMessageBox.question(self, _("Quit"), _("Do you really want to quit?"),
                                      QMessageBox.Yes | QMessageBox.No)
        if answer == QMessageBox.Yes:
            self.close()

    def closeEvent(self, event):
        for plugin in self.plugins:
            if not plugin.closing_plugin(True):
                event.ignore()
                return
        if self._log_handler is not None:
            logger.removeHandler(self._log_handler)
        if self.database is not None:
            self.database.close()
        event.accept()
