"""
Viewer tabs: creates and closes the application's viewers.
"""
import PySide6.QtCore
from PySide6.QtCore import Signal
import PySide6.QtWidgets
from PySide6.QtWidgets import QTabWidget
from __future__ import annotations
from gemlo.widgets.chartpane import ChartPane
from gemlo.widgets.vispy_image import VispyImage
from gemlo.widgets.vispy_volume import VispyVolume
import typing
__all__: list[str] = ['ChartPane', 'DIM_CODE', 'LIB_CODE', 'PaneDeck', 'QTabWidget', 'Signal', 'VispyImage', 'VispyVolume']
class PaneDeck(PySide6.QtWidgets.QTabWidget):
    """
    Tabs of viewers, each named by a running number, library code and kind.
    """
    staticMetaObject: typing.ClassVar[PySide6.QtCore.QMetaObject]
    @staticmethod
    def sigCurrentViewerChanged(*args, **kwargs):
        ...
    def __init__(self, parent = None, options_button = None):
        """
        Build the deck with one 3-D volume viewer.
        """
    def close_tab(self, index):
        """
        Close tab from widget
        """
    def new_pg_volume(self):
        """
        Ask for a 3-D volume viewer of pyqtgraph, which has none: always ValueError.
        """
    def new_viewer(self, lib = 'vispy', dim = 3, sec = 'iline'):
        """
        Add a viewer of library `lib` with `dim` dimensions as the new current tab.
        """
    def new_vs_image(self):
        """
        Add a 2-D image viewer.
        """
    def new_vs_plot(self):
        """
        Add a 2-D plot viewer.
        """
    def new_vs_volume(self):
        """
        Add a 3-D volume viewer.
        """
DIM_CODE: dict = {1: 'plot', 2: 'image', 3: 'volume'}
LIB_CODE: dict = {'vispy': 'vs', 'pyqtgraph': 'pg'}
