"""
Plot panes: a 2-D canvas that shows data objects, and the pane around it.
"""
import PySide6.QtCore
from PySide6.QtCore import QSize
from PySide6.QtCore import Qt
import PySide6.QtWidgets
from PySide6.QtWidgets import QHBoxLayout
from PySide6.QtWidgets import QMessageBox
from PySide6.QtWidgets import QWidget
from __future__ import annotations
from gemlo.config.base import _
from gemlo.utils import icon_manager as ima
from gemlo.utils.qthelpers import create_module_layout
from gemlo.utils.qthelpers import create_toolbutton
from gemlo.utils.qthelpers import create_toolbutton_help
import gemlo.widgets.vispy_canvas
from gemlo.widgets.vispy_canvas import VispyCanvas
import logging
import sys as sys
import typing
__all__: list[str] = ['ChartPane', 'PlotBase', 'QHBoxLayout', 'QMessageBox', 'QSize', 'QWidget', 'Qt', 'VispyCanvas', 'create_module_layout', 'create_toolbutton', 'create_toolbutton_help', 'ima', 'logger', 'sys']
class PlotBase(gemlo.widgets.vispy_canvas.VispyCanvas):
    """
    2-D plot canvas: shows data objects through the visuals they make for it.
    """
    NAME: typing.ClassVar[str] = 'chart pane'
    staticMetaObject: typing.ClassVar[PySide6.QtCore.QMetaObject]
    def __init__(self, parent = None, name = None):
        """
        Build the canvas with an empty, configured 2-D cell and equal axes.
        """
    def add_item(self, item):
        """
        Put one visual into the scene and fit the camera to the scene.
        """
    def add_item_agent(self, dob):
        """
        Show the data object `dob` in this pane.
        """
    def remove_item_agent(self, dob):
        """
        Take the data object `dob` out of this pane.
        """
    @property
    def aspect_ratio(*args, **kwargs):
        """
        The camera's aspect ratio (None: axes scaled independently).
        """
    @aspect_ratio.setter
    def aspect_ratio(*args, **kwargs):
        ...
    @property
    def state(*args, **kwargs):
        """
        What is saved with the viewer: aspect method, aspect ratio, background colour.
        """
    @state.setter
    def state(*args, **kwargs):
        ...
class ChartPane(PySide6.QtWidgets.QWidget):
    """
    2-D plot viewer: a PlotBase under a row of tool buttons.
    """
    staticMetaObject: typing.ClassVar[PySide6.QtCore.QMetaObject]
    def __init__(self, parent = None, options_button = None, name = None):
        """
        Build the pane; its canvas is named `name`, `options_button` goes to the right end.
        """
    def setup_buttons(self):
        """
        Return the buttons of the row: hide all, pick mode, background colour, export, help.
        """
    def show_help(self):
        """
        Show how to use the canvas.
        """
logger: logging.Logger
