import copy
import os

import pytest
from qtpy.QtCore import Qt
from qtpy.QtWidgets import QDialogButtonBox, QToolBar

import gemlo.config.base
from gemlo.widgets.projects import config, extpicker
from gemlo.widgets.projects.extpicker import ExtPicker


def tree_of(page):
    """{group text: [(module text, checked)]} in the order the tree shows them."""
    tree = page.treeWidget
    shown = {}
    for i in range(tree.topLevelItemCount()):
        group = tree.topLevelItem(i)
        items = [group.child(j) for j in range(group.childCount())]
        shown[group.text(0)] = [(i.text(0), i.checkState(0) == Qt.Checked) for i in items]
    return shown


@pytest.fixture
def page(qtbot):
    widget = ExtPicker()
    qtbot.addWidget(widget)
    return widget


def test_tree_sorted_checked_only_for_the_text_true_and_values_become_booleans(page):
    selection = {
        "b/z": "True",
        "a/y": True,
        "b/x": "true",
        "a/w": "False",
        "B/v": "True",
        "a/x": None,
    }
    page.add_items(selection)
    assert page.extmodules is selection
    assert tree_of(page) == {
        "B": [("v", True)],
        "a": [("w", False), ("x", False), ("y", False)],
        "b": [("x", False), ("z", True)],
    }
    assert selection == {
        "b/z": True,
        "a/y": False,
        "b/x": False,
        "a/w": False,
        "B/v": True,
        "a/x": False,
    }
    assert page.treeWidget.isHeaderHidden() and page.treeWidget.columnCount() == 1


def test_default_selection_is_copied_and_never_changed(qtbot):
    before = copy.deepcopy(config.EXTMODULES_DEFAULTS_DICT)
    page = ExtPicker(test=True)
    qtbot.addWidget(page)
    assert config.EXTMODULES_DEFAULTS_DICT == before
    assert page.extmodules == {k: v == "True" for k, v in before.items()}
    assert all(
        page.treeWidget.topLevelItem(i).isExpanded()
        for i in range(page.treeWidget.topLevelItemCount())
    )


@pytest.mark.parametrize("bad", ["c", "c/d/e"])
def test_bad_key_raises_and_keeps_earlier_items(page, bad):
    selection = {"a/x": "True", "b/y": "False", bad: "True"}
    with pytest.raises(ValueError, match="exactly one '/'"):
        page.add_items(selection)
    assert tree_of(page) == {"a": [("x", True)], "b": [("y", False)]}
    assert selection == {"a/x": True, "b/y": False, bad: "True"}


def test_group_check_records_its_modules_under_the_untranslated_name(page, monkeypatch):
    class Shouting:
        def gettext(self, text):
            return text.upper()

    monkeypatch.setattr(gemlo.config.base, "_translation", Shouting())
    selection = {"view/a": "False", "view/b": "True", "io/c": "False"}
    page.add_items(selection)
    group = page.treeWidget.topLevelItem(1)
    assert group.text(0) == "VIEW" and group.checkState(0) == Qt.PartiallyChecked

    group.setCheckState(0, Qt.Checked)
    assert selection == {"view/a": True, "view/b": True, "io/c": False}
    group.child(0).setCheckState(0, Qt.Unchecked)
    assert selection["view/a"] is False and group.checkState(0) == Qt.PartiallyChecked


def test_apply_logs_and_emits_the_live_dictionary(page, qtbot, gemlo_log):
    with pytest.raises(AttributeError):
        page.apply()
    empty = {}
    page.add_items(empty)
    assert page.treeWidget.topLevelItemCount() == 0
    with qtbot.waitSignal(page.sigExtModules) as emitted:
        page.apply()
    assert emitted.args[0] is empty
    assert gemlo_log[-1].getMessage() == "External modules: {}"

    # A second selection adds its items below and is the one recorded into.
    newer = {"g/m": "True"}
    page.add_items(newer)
    page.treeWidget.topLevelItem(0).child(0).setCheckState(0, Qt.Unchecked)
    assert newer == {"g/m": False}
    buttons = page.findChild(QDialogButtonBox)
    with qtbot.waitSignal(page.sigExtModules) as emitted:
        qtbot.mouseClick(buttons.button(QDialogButtonBox.Apply), Qt.LeftButton)
    assert emitted.args[0] is newer
    assert gemlo_log[-1].getMessage() == "External modules: {'g/m': False}"


def test_name_translated_once_at_load():
    assert ExtPicker.NAME == "Extpicker" == extpicker.ExtPicker.NAME


def test_project_settings_saved_with_the_project_and_restored(main_window, qtbot):
    path = main_window.database.path
    dialog = main_window.open_project_settings()
    picker = dialog.picker
    group = picker.treeWidget.findItems("Viewers", Qt.MatchExactly)[0]
    group.setCheckState(0, Qt.Unchecked)
    picker.apply()
    dialog.close()
    assert main_window.extmodules["Viewers/vispy"] == "False"

    main_window.open_project(path)
    assert main_window.extmodules["Viewers/vispy"] == "False"
    assert main_window.extmodules["Import/segy"] == "True"
    picker = main_window.open_project_settings().picker
    assert dict(tree_of(picker))["Viewers"] == [("vispy", False), ("volume", False)]


def test_project_that_never_saved_its_settings_opens_with_defaults(main_window):
    path = main_window.database.path
    main_window.open_project(path)
    assert main_window.database.load_extmodules() == {}
    assert main_window.extmodules == config.EXTMODULES_DEFAULTS_DICT


# What each module of the settings page brings into the window.
MODULE_ACTIONS = {
    "Import/segy": {"Import SEG-Y..."},
    "Import/las": {"Import LAS..."},
    "Import/horizons": {"Import horizon..."},
    "Export/las": {"Export well (LAS)..."},
    "Export/horizons": {"Export horizon..."},
    "Viewers/vispy": {
        "New plot viewer",
        "New image viewer",
        "Show in plot viewer",
        "Remove from plot viewer",
    },
    "Viewers/volume": {"New volume viewer"},
    "Processing/attributes": {
        "Envelope...",
        "Instantaneous phase...",
        "Instantaneous frequency...",
        "RMS amplitude...",
    },
    "Processing/filters": {"Band-pass filter...", "Automatic gain control..."},
}
ALL_ACTIONS = set().union(*MODULE_ACTIONS.values())


def shown_actions(window):
    """The module actions in the window's menus, toolbar and data tree that show."""
    toolbar = window.findChild(QToolBar, "main_toolbar")
    shown = set()

    def walk(menu, visible):
        for action in menu.actions():
            if action.menu() is not None:  # a submenu shows only what a visible entry holds
                walk(action.menu(), visible and action.isVisible())
            elif action.text() in ALL_ACTIONS and action.isVisible() and visible:
                button = toolbar.widgetForAction(action)
                assert button is None or button.isVisible()
                shown.add(action.text())

    for entry in window.menuBar().actions():
        walk(entry.menu(), entry.isVisible())
    labels = {label for label, _action in window.treebase.object_actions}
    assert labels & ALL_ACTIONS == shown & {"Show in plot viewer", "Remove from plot viewer"}
    return shown


def test_every_module_on_the_page_brings_actions():
    assert set(config.EXTMODULES_DEFAULTS_DICT) == set(MODULE_ACTIONS)
    assert all(v == "True" for v in config.EXTMODULES_DEFAULTS_DICT.values())


@pytest.mark.parametrize("key", list(MODULE_ACTIONS))
def test_a_switch_hides_and_shows_its_actions_at_once(main_window, key):
    assert shown_actions(main_window) == ALL_ACTIONS
    viewers = main_window.viewers()
    dialog = main_window.open_project_settings()
    group, module = key.split("/")
    [item] = [
        i
        for g in main_window.settings_dialog.picker.treeWidget.findItems(group, Qt.MatchExactly)
        for i in (g.child(j) for j in range(g.childCount()))
        if i.text(0) == module
    ]
    item.setCheckState(0, Qt.Unchecked)
    dialog.picker.apply()
    assert shown_actions(main_window) == ALL_ACTIONS - MODULE_ACTIONS[key]
    assert main_window.viewers() == viewers  # viewers of a module switched off stay open
    main_window.set_extmodules({**main_window.extmodules, key: True})
    assert shown_actions(main_window) == ALL_ACTIONS


def test_a_project_opens_with_its_modules_and_a_menu_with_none_hides(main_window):
    path = main_window.database.path
    main_window.set_extmodules(
        {**main_window.extmodules, "Viewers/vispy": False, "Viewers/volume": False}
    )
    viewers_menu = [e for e in main_window.menuBar().actions() if e.text() == "Vie&wers"][0]
    assert not viewers_menu.isVisible()
    assert (
        shown_actions(main_window)
        == {"Import SEG-Y...", "Import LAS...", "Import horizon..."}
        | MODULE_ACTIONS["Export/las"]
        | MODULE_ACTIONS["Export/horizons"]
        | MODULE_ACTIONS["Processing/attributes"]
        | MODULE_ACTIONS["Processing/filters"]
    )
    main_window.create_new_project(os.path.join(os.path.dirname(path), "other.lmd"))
    assert viewers_menu.isVisible() and shown_actions(main_window) == ALL_ACTIONS
    main_window.open_project(path)
    assert not viewers_menu.isVisible()
