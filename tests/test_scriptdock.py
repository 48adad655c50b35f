"""The console dock plugin: its contract, its wiring, and a script run in the application."""

import pytest
from qtpy.QtCore import Qt
from qtpy.QtWidgets import QVBoxLayout, QWidget

from gemlo.plugins import scriptdock
from gemlo.plugins.base import LumoPluginWidget
from gemlo.plugins.scriptdock import ScriptDock
from gemlo.widgets.terminal import Terminal


class FakeMain(QWidget):
    def __init__(self, workdir):
        super().__init__()
        self.workdir = workdir
        self.docked, self.scripts = [], []

    def add_dockwidget(self, plugin):
        self.docked.append((plugin, hasattr(plugin.terminal, "workdir")))

    def run_script(self, text):
        self.scripts.append(text)


@pytest.fixture
def main(qtbot, tmp_path):
    window = FakeMain(str(tmp_path))
    qtbot.addWidget(window)
    return window


def test_contract(main, translated, button_row):
    plugin = ScriptDock(main)
    assert scriptdock.__doc__ == "Scriptdock plugin"
    assert ScriptDock.__doc__ == "Scriptdock DockWidget."
    assert ScriptDock.__mro__[1] is LumoPluginWidget and ScriptDock.CONF_SECTION == "scriptdock"
    docs = {
        "__init__": "Initialization.",
        "get_plugin_title": "Return widget title",
        "get_focus_widget": "Return the widget to give focus to when\n"
        "this plugin's dockwidget is raised on top-level",
        "get_plugin_actions": "Return a list of actions related to plugin",
        "register_plugin": "Register plugin in the main window",
        "refresh_plugin": "Refresh log widget",
        "closing_plugin": "Perform actions before parent main window is closed",
    }
    assert {name: getattr(ScriptDock, name).__doc__ for name in docs} == docs

    assert plugin.get_plugin_title() == "T:Scriptdock"
    assert plugin.get_focus_widget() is plugin.terminal
    assert isinstance(plugin.terminal, Terminal) and plugin.terminal.parent() is plugin
    layout = plugin.layout()
    assert isinstance(layout, QVBoxLayout) and layout.count() == 1
    assert layout.itemAt(0).widget() is plugin.terminal
    row = button_row(plugin.terminal)
    assert row.count() == 7 and row.itemAt(6).widget() is plugin.options_button is not None

    actions = plugin.get_plugin_actions()
    assert actions == [] and plugin.get_plugin_actions() is not actions
    assert [
        plugin.closing_plugin(),
        plugin.closing_plugin(True),
        plugin.closing_plugin(False),
    ] == [True, True, True]


def test_without_options_button_the_row_holds_five_buttons(main, monkeypatch, button_row):
    monkeypatch.setattr(LumoPluginWidget, "initialize_plugin", lambda self: None)
    assert button_row(ScriptDock(main).terminal).count() == 5


def test_registration_wires_the_console_to_the_main_window(
    main, tmp_path, file_dialogs, script_prefix
):
    plugin = ScriptDock(main)
    plugin.register_plugin()
    assert main.docked == [(plugin, False)]  # docked before the console is wired

    console = plugin.terminal
    console.code_view.setPlainText("x = 1")
    console.emit_script()
    script = tmp_path / "s.py"
    script.write_text("y = 2\n")
    console.lineRunFile.setText(str(script))
    console.run_file()
    assert main.scripts == [script_prefix + "x = 1", "y = 2\n"]

    main.workdir = "/elsewhere"
    plugin.refresh_plugin("/elsewhere", False)
    console.open_file()
    assert [call[3] for call in file_dialogs.calls] == [str(tmp_path)]


def test_ctrl_r_runs_the_console_against_the_open_project(main_window, qtbot, gemlo_log):
    [plugin] = [p for p in main_window.plugins if isinstance(p, ScriptDock)]
    assert plugin.dockwidget.widget() is plugin and plugin.dockwidget.isVisible()
    console = plugin.terminal
    console.code_view.setPlainText(
        "self.runs = getattr(self, 'runs', 0) + 1\n"
        "self.seen = (self.database, sorted(self.treebase.object_data))\n"
        "myprint('objects:', len(self.treebase.object_data))"
    )
    main_window.activateWindow()
    qtbot.waitUntil(main_window.isActiveWindow)
    console.code_view.setFocus()
    qtbot.keyClick(console.code_view, Qt.Key_R, Qt.ControlModifier)
    qtbot.waitUntil(lambda: getattr(main_window, "runs", 0) == 1)
    qtbot.wait(300)  # a second run would have landed by now
    assert main_window.runs == 1
    assert main_window.seen == (main_window.database, ["cube", "well_A"])
    assert "objects: 2" in [r.getMessage() for r in gemlo_log]
    assert "objects: 2" in main_window.output.toPlainText()
