"""The base class of the application's dockable plugins."""

from qtpy.QtWidgets import QMenu, QToolButton, QWidget

from gemlo.config.base import _
from gemlo.utils import icon_manager as ima
from gemlo.utils.qthelpers import create_toolbutton


class LumoPluginWidget(QWidget):
    """A widget that the main window shows in a dock.

    Subclasses set CONF_SECTION (also the dock's object name) and implement
    the plugin methods below; the defaults make a plugin that does nothing
    special but can be registered and closed.
    """

    CONF_SECTION = None

    def __init__(self, parent):
        super().__init__(parent)
        self.main = parent
        # Set by the main window when it wraps the plugin in a dock.
        self.dockwidget = None
        self.options_button = None
        self.options_menu = None

    def initialize_plugin(self):
        """Create the options button; subclasses call it once their widgets exist."""
        self.options_menu = QMenu(self)
        hide = self.options_menu.addAction(_("Hide"))
        hide.triggered.connect(self.hide_plugin)
        self.options_button = create_toolbutton(
            self, icon=ima.icon("tooloptions"), tip=_("Options")
        )
        self.options_button.setMenu(self.options_menu)
        self.options_button.setPopupMode(QToolButton.InstantPopup)

    def hide_plugin(self):
        """Hide the plugin's dock (the plugin itself when it is not docked)."""
        (self.dockwidget or self).hide()

    # The plugin contract: what the main window calls on every plugin.

    def get_plugin_title(self):
        """Return the title of the plugin's dock."""
        raise NotImplementedError

    def get_focus_widget(self):
        """Return the widget that takes the focus when the plugin is raised."""
        return self

    def get_plugin_actions(self):
        """Return the actions the plugin adds to the main window's menus."""
        return []

    def register_plugin(self):
        """Add the plugin to the main window."""
        self.main.add_dockwidget(self)

    def refresh_plugin(self, new_path=None, force_current=True):
        """Update the plugin's view, e.g. after the working directory changed."""

    def closing_plugin(self, cancelable=False):
        """Return False to refuse closing the main window (only when `cancelable`)."""
        return True
