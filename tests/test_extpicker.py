import copy

import pytest
from qtpy.QtCore import Qt
from qtpy.QtWidgets import QDialogButtonBox

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


def test_project_file_without_the_table_opens_with_defaults(main_window):
    # A project that never saved its settings is what an older file looks like.
    path = main_window.database.path
    main_window.open_project(path)
    assert main_window.extmodules == config.EXTMODULES_DEFAULTS_DICT
    assert "extmodules" not in repr(
        main_window.database._conn.execute("SELECT name FROM sqlite_master").fetchall()
    )
