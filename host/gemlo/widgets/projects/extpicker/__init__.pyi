"""
The page on which the user switches external modules on and off.
"""
import PySide6.QtCore
from PySide6.QtCore import Qt
from PySide6.QtCore import Signal
from PySide6.QtWidgets import QApplication
from PySide6.QtWidgets import QTreeWidget
from PySide6.QtWidgets import QTreeWidgetItem
from __future__ import annotations
from copy import deepcopy
from gemlo.config.base import _
import gemlo.widgets.lumodialog
from gemlo.widgets.lumodialog import LumoDialog
import logging
import typing
__all__: list[str] = ['EXTMODULES_DEFAULTS_DICT', 'ExtPicker', 'LumoDialog', 'QApplication', 'QTreeWidget', 'QTreeWidgetItem', 'Qt', 'Signal', 'deepcopy', 'logger', 'main']
class ExtPicker(gemlo.widgets.lumodialog.LumoDialog):
    """
    Page on which the external modules are switched on and off, by group.
    
    Every change of a check box is written into `extmodules` at once;
    apply() logs the selection and emits it in sigExtModules.
    """
    NAME: typing.ClassVar[str] = 'Extpicker'
    staticMetaObject: typing.ClassVar[PySide6.QtCore.QMetaObject]
    @staticmethod
    def sigExtModules(*args, **kwargs):
        ...
    def __init__(self, parent = None, test = False):
        ...
    def add_items(self, defaults = None):
        """
        -i- defaults : dict, current selection of modules
        """
    def apply(self):
        """
        Log the selection and emit it, the live dictionary, in sigExtModules.
        """
    def check_changed(self, item, column):
        """
        Record a module item's check state in extmodules.
        """
    def setup_page(self):
        """
        Build the tree of check boxes and the page's controls below it.
        """
def main() -> None:
    """
    Show the page with the default selection in an application of its own.
    """
EXTMODULES_DEFAULTS_DICT: dict = {'Import/segy': 'True', 'Import/las': 'True', 'Import/horizons': 'True', 'Export/las': 'True', 'Export/horizons': 'True', 'Export/segy': 'True', 'Viewers/vispy': 'True', 'Viewers/volume': 'True', 'Processing/attributes': 'True', 'Processing/filters': 'True'}
logger: logging.Logger
