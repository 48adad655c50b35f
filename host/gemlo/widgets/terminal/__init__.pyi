"""
Script console: edit, load, save and run scripts against the open project.
"""
import PySide6.QtCore
from PySide6.QtCore import QSize
from PySide6.QtCore import Qt
from PySide6.QtCore import Signal
import PySide6.QtWidgets
from PySide6.QtWidgets import QApplication
from PySide6.QtWidgets import QFileDialog
from PySide6.QtWidgets import QFormLayout
from PySide6.QtWidgets import QHBoxLayout
from PySide6.QtWidgets import QLabel
from PySide6.QtWidgets import QLineEdit
from PySide6.QtWidgets import QMessageBox
from PySide6.QtWidgets import QPlainTextEdit
from PySide6.QtWidgets import QVBoxLayout
from PySide6.QtWidgets import QWidget
from __future__ import annotations
from gemlo.config.base import _
from gemlo.utils import icon_manager as ima
from gemlo.utils.qthelpers import create_module_layout
from gemlo.utils.qthelpers import create_toolbutton
from gemlo.utils.qthelpers import create_toolbutton_help
from gemlo.utils.syntax import PythonHighlighter
import logging
import os as os
import sys as sys
import typing
__all__: list[str] = ['PythonHighlighter', 'QApplication', 'QFileDialog', 'QFormLayout', 'QHBoxLayout', 'QLabel', 'QLineEdit', 'QMessageBox', 'QPlainTextEdit', 'QSize', 'QVBoxLayout', 'QWidget', 'Qt', 'Signal', 'Terminal', 'create_module_layout', 'create_toolbutton', 'create_toolbutton_help', 'ima', 'logger', 'main', 'os', 'sys']
class Terminal(PySide6.QtWidgets.QWidget):
    """
    Script console: an editor whose scripts are run by whoever listens to sigRunScript.
    """
    staticMetaObject: typing.ClassVar[PySide6.QtCore.QMetaObject]
    @staticmethod
    def sigRunScript(*args, **kwargs):
        ...
    def __init__(self, parent = None, options_button = None):
        """
        Build the console; `options_button` goes to the right end of the button row.
        """
    def emit_script(self):
        """
        Hand out the editor's text, preceded by the import of myprint.
        """
    def highlightWhileTyping(self):
        """
        Re-colour the editor's text.
        """
    def open_file(self):
        """
        Load a file chosen by the user into the editor.
        """
    def run_file(self):
        """
        Hand out the text of the file named in the "Run File" field, unchanged.
        """
    def run_script(self, text):
        """
        Deprecated: run the editor's text here, with limited access to the application.
        
        An expression sees `self` (this console); statements run in the module's namespace.
        """
    def save_file(self):
        """
        Write the editor's text to a file chosen by the user.
        """
    def set_work_dir(self, workdir):
        """
        Make `workdir` the start directory of the file dialogs.
        """
    def setup_buttons(self):
        """
        Return the buttons of the row: open, save, run file, run, help.
        """
    def setup_mainwidget(self):
        """
        Build the file fields, the editor and its highlighter.
        """
    def show_help(self):
        """
        Show how to use the console.
        """
def main(*args, **kwargs):
    """
    Show one console in an application of its own; ends the process.
    """
logger: logging.Logger
