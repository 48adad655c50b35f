"""Data-tree actions: dialogs wired to the tree, the property calculator, the style editor."""

import numpy as np
import pytest
from qtpy.QtCore import QSize, QTimer
from qtpy.QtWidgets import QDialogButtonBox, QWidget
from vispy.scene.cameras import TurntableCamera

from gemlo.data import DataObject
from gemlo.dialogs.camera_operator import Dialog as CameraDialog
from gemlo.dialogs.colorbar_editor import ColorbarEditor
from gemlo.dialogs.style_pages import WigglePage
from gemlo.utils import nodeaids
from gemlo.widgets import dialogs


@pytest.fixture
def tree(main_window):
    return main_window.treebase


def reopen(tree):
    """Reopen the project from its file: the tree then holds what was saved."""
    tree.main.open_project(tree.main.database.path)
    return tree.object_data


def shown(tree, cls):
    found = [d for d in tree.findChildren(cls) if type(d) is cls and d.isVisible()]
    assert len(found) == 1, found
    return found[0]


def press(dialog, button=QDialogButtonBox.Ok):
    dialog.buttons.button(button).click()


def test_buds_fields_and_docstrings(tree):
    buds = nodeaids.Buds(tree)
    assert list(vars(buds)) == [
        "base",
        "main",
        "dob",
        "bgRunners",
        "prefs_index",
        "prefs_dialog_size",
    ]
    assert (buds.base, buds.main, buds.dob, buds.bgRunners) == (tree, tree.main, None, [])
    with pytest.raises(AttributeError):
        nodeaids.Buds()
    assert nodeaids.__doc__ == "\nConvenient class to offload methods in data tree base class\n"
    Buds = nodeaids.Buds
    assert (
        Buds.open_style_editor.__doc__,
        Buds.open_style_editor_rc.__doc__,
        Buds.set_prefs_size.__doc__,
    ) == (" ", " by right click ", "Save preferences dialog size")
    assert (
        vars(Buds)["_Buds__preference_page_changed"].__doc__ == "Preference page index has changed"
    )
    assert nodeaids.CameraOperatorDialog is CameraDialog


TRICKY = {
    "vp": 1.0,
    "vp0": 10.0,
    "if": 0.0,
    "a b": 0.0,
    "x+y(1)": 0.0,
    "prop": 0.0,
    "dob": 0.0,
    "it's": 0.0,
}


@pytest.mark.parametrize(
    "script, name, value",
    [
        ("vp0 = vp0 + vp", "vp0", 11),  # overlapping names
        ("vpx = 5\nvp = vpx + xvp0", "vp", 5 + 3),  # names inside identifiers
        ("prop = dob + 2", "prop", 2),  # names in the inserted text
        ("if = a b + 3", "if", 3),  # keywords, spaces
        ("x+y(1) = vp * 4", "x+y(1)", 4),  # regex characters
        ("it's = vp + 6", "it's", 7),  # a quote in the name
        ("vp = len('vp') + len(\"vp0 # vp\")  # vp = 0", "vp", 10),  # strings, comments
        ("vp = float(f'{vp0[0]:.0f}{{vp}}'[:2])", "vp", 10),  # f-string fields are code
        ("vp = len(f\"{'vp'!r}\")", "vp", 4),
    ],
)
def test_property_script_rewriting(tree, script, name, value):
    dob = tree.add_object(
        DataObject("tricky", {n: {"array1d": np.array([v])} for n, v in TRICKY.items()}, "array1d")
    )
    arrays = {n: dob.array(n) for n in dob.prop}
    tree.buds.property_operation("tricky", "xvp0 = 3\n" + script)
    assert tree.buds.dob is dob and dob.array(name)[0] == value
    # Written in place: the stored arrays are the same objects.
    assert all(dob.array(n) is a for n, a in arrays.items())


def test_script_errors_pass_on_and_earlier_writes_stay(tree):
    cube = tree.object_data["cube"]
    before = cube.array("velocity").copy()
    with pytest.raises(KeyError):
        tree.buds.property_operation("nothing", "x = 1")
    with pytest.raises(ZeroDivisionError):
        tree.buds.property_operation("cube", "velocity = velocity + 1\n1 / 0")
    assert tree.buds.dob is cube
    np.testing.assert_array_equal(cube.array("velocity"), before + 1)
    with pytest.raises(SyntaxError):
        tree.buds.property_operation("cube", "velocity = ")


def test_calculator_from_the_data_menu_saves_and_announces(main_window, tree, qtbot):
    amplitude = tree.object_data["cube"].array("amplitude").copy()
    tree.setCurrentItem(tree.object_item("cube"))
    main_window.data_menu.actions()[0].trigger()
    dialog = shown(tree, dialogs.PropertyOperatorDialog)
    assert dialog.object_box.currentText() == "cube"
    dialog.editor.setPlainText("amplitude = amplitude * 1.1")
    with qtbot.waitSignal(tree.sigObjectChanged) as changed:
        press(dialog)
    assert changed.args == ["cube"] and dialog.isVisible()
    dialog.editor.setPlainText("amplitude = nothing")
    press(dialog)
    assert "NameError" in dialog.message.text()
    expected = amplitude * np.float32(1.1)
    np.testing.assert_array_equal(reopen(tree)["cube"].array("amplitude"), expected)


def pick(dialog, **fields):
    for name, text in fields.items():
        box = getattr(dialog, name)
        box.setCurrentText(text) if hasattr(box, "setCurrentText") else box.setText(text)


@pytest.mark.parametrize(
    "action, cls, fields, check",
    [
        (
            "rename_object_rc",
            dialogs.RenameObjectDialog,
            {"name_edit": "seismic"},
            lambda data: set(data) == {"seismic", "well_A"},
        ),
        (
            "copy_object_rc",
            dialogs.CopyObjectDialog,
            {"name_edit": "cube 2"},
            lambda data: (
                set(data) == {"cube", "well_A", "cube 2"}
                and np.array_equal(
                    data["cube 2"].array("velocity"), data["cube"].array("velocity")
                )
            ),
        ),
        (
            "open_remove_object",
            dialogs.RemoveObjectDialog,
            {},
            lambda data: set(data) == {"well_A"},
        ),
        (
            "create_property_rc",
            dialogs.CreatePropertyDialog,
            {"name_edit": "zeros"},
            lambda data: not data["cube"].array("zeros").any(),
        ),
        (
            "open_rename_property",
            dialogs.RenamePropertyDialog,
            {"prop_box": "velocity", "name_edit": "vp"},
            lambda data: list(data["cube"].prop) == ["amplitude", "vp", "density", "impedance"],
        ),
        (
            "open_remove_property",
            dialogs.RemovePropertyDialog,
            {"prop_box": "density"},
            lambda data: list(data["cube"].prop) == ["amplitude", "velocity", "impedance"],
        ),
    ],
)
def test_tree_action_is_saved(tree, action, cls, fields, check):
    tree.itemRightClicked = tree.object_item("cube")
    tree.setCurrentItem(tree.object_item("cube"))
    getattr(tree.buds, action)()
    dialog = shown(tree, cls)
    pick(dialog, **fields)
    press(dialog)
    assert not dialog.isVisible() and check(tree.object_data)
    assert check(reopen(tree))


@pytest.mark.parametrize(
    "action, fields, message",
    [
        ("open_rename_object", {"name_edit": "  "}, "Give"),
        ("open_copy_object", {"name_edit": "cube"}, "already exists"),
        ("open_create_property", {"name_edit": "velocity"}, "already exists"),
        (
            "open_rename_property",
            {"prop_box": "velocity", "name_edit": "amplitude"},
            "already exists",
        ),
        ("open_property_operator", {}, "Write a script"),
        ("open_remove_object", {"object_box": "gone"}, "No data object"),
    ],
)
def test_dialogs_refuse_bad_input_in_place(tree, qtbot, action, fields, message):
    tree.setCurrentItem(tree.object_item("cube"))
    getattr(tree.buds, action)()
    dialog = next(d for d in tree.findChildren(dialogs.TreeDialog) if d.isVisible())
    dialog.object_box.addItem("gone")  # an object removed while the dialog is open
    pick(dialog, **fields)
    with qtbot.assertNotEmitted(dialog.sig_start):
        press(dialog)
    assert message in dialog.message.text() and dialog.isVisible()
    assert list(reopen(tree)["cube"].prop) == ["amplitude", "velocity", "density", "impedance"]


def test_style_editor_remembers_size_and_page(tree, qtbot):
    buds, cube = tree.buds, tree.object_data["cube"]
    seen = []

    def user(change):
        dialog = shown(tree, dialogs.ConfigDialog)
        pages = dialog.pages_widget
        seen.append((dialog.windowTitle(), dialog.size(), pages.currentIndex(), pages.count()))
        if change:
            dialog.resize(700, 450)
            dialog.contents.setCurrentRow(1)
            dialog.findChild(WigglePage).color.setCurrentText("darkred")
            dialog.accept()
        else:
            dialog.reject()

    QTimer.singleShot(0, lambda: user(True))
    buds.open_style_editor(cube)
    assert seen[0][2:] == (0, 2) and buds.prefs_index == 1
    assert buds.prefs_dialog_size == QSize(700, 450)

    tree.copy_object("cube", "other")
    tree.add_object(DataObject("horizon", {"depth": {"array2d": np.ones((3, 4))}}, "array2d"))
    for name in ("other", "horizon"):
        tree.itemRightClicked = tree.object_item(name)
        QTimer.singleShot(0, lambda: user(False))
        buds.open_style_editor_rc()
    assert seen[1] == ("Style of other", QSize(700, 450), 1, 2)
    assert seen[2][2:] == (-1, 0)  # no pages: nothing to show
    assert reopen(tree)["cube"].meta["line_color"] == "darkred"
    tree.itemRightClicked = None
    with pytest.raises(AttributeError):
        buds.open_style_editor_rc()


def test_colour_bar_of_the_right_clicked_property(tree):
    velocity = tree.object_data["cube"].array("velocity")
    tree.itemRightClicked = tree.object_item("cube").child(1)
    tree.buds.open_colorbar_editor_rc()
    dialog = shown(tree, ColorbarEditor)
    assert dialog.prop_box.currentText() == "velocity"
    assert dialog.vmax.value() == pytest.approx(velocity.max())
    dialog.cmap.setCurrentText("viridis")
    dialog.vmin.setValue(3000)
    dialog.vmax.setValue(2000)
    press(dialog)
    assert "minimum" in dialog.message.text()
    dialog.vmax.setValue(4000)
    press(dialog)
    bar = reopen(tree)["cube"].prop["velocity"]["colorbar"]
    assert bar == {"cmap": "viridis", "vmin": 3000, "vmax": 4000}


def test_camera_operator_sets_the_current_viewers_camera(main_window, tree):
    tree.buds.open_camera_operator()
    assert "no camera" in shown(tree, CameraDialog).message.text()
    viewer = QWidget()
    viewer.camera = TurntableCamera()
    main_window.deck.setCurrentIndex(main_window.deck.addTab(viewer, "3D"))
    tree.buds.open_camera_operator()
    dialog = next(d for d in tree.findChildren(CameraDialog) if not d.message.text())
    dialog.edits["azimuth"].setText("75.0")
    dialog.apply()
    assert viewer.camera.azimuth == 75.0
    dialog.edits["fov"].setText("wide")
    dialog.apply()
    assert "fov" in dialog.message.text() and viewer.camera.fov == 45.0
