"""
Scriptdock plugin
"""
import PySide6.QtCore
from PySide6.QtWidgets import QVBoxLayout
from __future__ import annotations
from gemlo.config.base import _
import gemlo.plugins.base
from gemlo.plugins.base import LumoPluginWidget
from gemlo.widgets.terminal import Terminal
import typing
__all__: list[str] = ['LumoPluginWidget', 'QVBoxLayout', 'ScriptDock', 'Terminal']
class ScriptDock(gemlo.plugins.base.LumoPluginWidget):
    """
    Scriptdock DockWidget.
    """
    CONF_SECTION: typing.ClassVar[str] = 'scriptdock'
    staticMetaObject: typing.ClassVar[PySide6.QtCore.QMetaObject]
    def __init__(self, parent):
        """
        Initialization.
        """
    def closing_plugin(self, cancelable = False):
        """
        Perform actions before parent main window is closed
        """
    def get_focus_widget(self):
        """
        Return the widget to give focus to when
        this plugin's dockwidget is raised on top-level
        """
    def get_plugin_actions(self):
        """
        Return a list of actions related to plugin
        """
    def get_plugin_title(self):
        """
        Return widget title
        """
    def refresh_plugin(self, new_path = None, force_current = True):
        """
        Refresh log widget
        """
    def register_plugin(self):
        """
        Register plugin in the main window
        """
