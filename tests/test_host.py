"""The stand-in host: project file, scripts, quitting, plugins, sample data, data tree."""

import argparse
import sqlite3
import sys
import threading
import tomllib
import types
from importlib import metadata
from pathlib import Path

import numpy as np
import pytest
from qtpy.QtCore import QPoint, Qt
from qtpy.QtWidgets import QMenu, QMessageBox

from gemlo.app import mainwindow
from gemlo.data import DataObject
from gemlo.io import sample
from gemlo.plugins.base import LumoPluginWidget
from gemlo.storage.database import ProjectDatabase
from gemlo.utils.convert_grid import ln2xy, xy2ln
from gemlo.utils.logger import logger


def reopened(window):
    """A second connection to the window's project file: what is really on disk."""
    return ProjectDatabase.open(window.database.path)


class TestProjectFile:
    def test_new_project_is_an_sqlite_file_that_reloads(self, main_window, tmp_path):
        path = tmp_path / "project.lmd"
        assert main_window.database.path == str(path)
        with sqlite3.connect(path) as conn:
            tables = {r[0] for r in conn.execute("SELECT name FROM sqlite_master")}
        assert {"meta", "survey", "objects", "properties"} <= tables

        db = reopened(main_window)
        cube, stored = main_window.treebase.object_data["cube"], db.load_object("cube")
        assert list(stored.prop) == list(cube.prop)
        for name, entry in cube.prop.items():
            array = stored.prop[name]["array3d"]
            assert array.dtype == entry["array3d"].dtype
            np.testing.assert_array_equal(array, entry["array3d"])
            assert stored.prop[name]["unit"] == entry["unit"]
        assert stored.meta == cube.meta
        survey, sgmt = db.load_survey()
        assert sgmt == main_window.sgmt
        assert survey.step == main_window.survey.step
        db.close()

    def test_never_overwrites_an_existing_file(self, main_window, tmp_path):
        keep = tmp_path / "other.lmd"
        keep.write_bytes(b"precious")
        with pytest.raises(FileExistsError, match="other.lmd"):
            main_window.create_new_project(keep)
        # Without the extension, the same file is meant.
        with pytest.raises(FileExistsError):
            main_window.create_new_project(tmp_path / "other")
        assert keep.read_bytes() == b"precious"
        assert main_window.database.path == str(tmp_path / "project.lmd")
        assert "cube" in main_window.treebase.object_data

    def test_new_project_in_missing_folders_starts_empty(self, main_window, tmp_path):
        path = tmp_path / "a" / "b" / "fresh.lmd"
        main_window.create_new_project(path)
        assert path.is_file()
        assert "fresh" in main_window.windowTitle()
        assert main_window.workdir == str(path.parent)
        assert main_window.survey is None
        assert main_window.treebase.object_data == {}
        assert main_window.treebase.topLevelItemCount() == 0

    def test_workdir_option_wins_over_project_folder(self, qtbot, tmp_path):
        options = argparse.Namespace(
            plugins_paths="", working_directory=str(tmp_path / "wd"), debug=False
        )
        window = mainwindow.MainWindow(options)
        window.setup()
        qtbot.addWidget(window)
        window.create_new_project(tmp_path / "p" / "x.lmd")
        assert window.workdir == str(tmp_path / "wd")
        window.close()

    def test_open_rejects_files_that_are_not_projects(self, tmp_path):
        text = tmp_path / "notes.lmd"
        text.write_text("not a database, but long enough to be read as a header " * 4)
        foreign = tmp_path / "foreign.lmd"
        with sqlite3.connect(foreign) as conn:
            conn.execute("CREATE TABLE t (x)")
        for path in (text, foreign):
            with pytest.raises(ValueError, match="not a gemlo project"):
                ProjectDatabase.open(path)
        with pytest.raises(FileNotFoundError):
            ProjectDatabase.open(tmp_path / "missing.lmd")

    def test_arrays_round_trip_whatever_their_layout(self, tmp_path):
        db = ProjectDatabase.create(tmp_path / "p.lmd")
        fortran = np.arange(24, dtype=">i4").reshape(2, 3, 4).T  # non-contiguous, big-endian
        dob = DataObject("grid", {"a": {"array3d": fortran, "scale": np.float32(0.5)}})
        db.save_object(dob)
        entry = db.load_object("grid").prop["a"]
        np.testing.assert_array_equal(entry["array3d"], fortran)
        entry["array3d"][0, 0, 0] = 99  # loaded arrays are writable
        assert entry["scale"] == 0.5
        with pytest.raises(TypeError, match="Python objects"):
            db.save_object(DataObject("bad", {"a": {"array3d": np.array([None, 1])}}))
        db.close()

    def test_repr_lists_path_survey_and_objects(self, main_window):
        text = repr(main_window.database)
        assert main_window.database.path in text
        assert "Survey('sample'" in text
        assert "cube (60, 80, 120)" in text and "amplitude (float32)" in text
        main_window.database.close()
        assert text.splitlines()[0] + " (closed)" == repr(main_window.database)


class TestScripts:
    def output(self, window):
        return window.output.toPlainText()

    def test_self_is_the_window_and_the_namespace_persists(self, main_window):
        assert main_window.run_script("counter = 1\nself.marker = 'set'")
        assert main_window.run_script("counter += 1\nself.count = counter")
        assert main_window.marker == "set" and main_window.count == 2

    @pytest.mark.parametrize(
        "script, error",
        [
            ("x = 1\ndef f():\n    return 1 / 0\nf()", "ZeroDivisionError"),
            ("def broken(:\n    pass", "SyntaxError"),
            ("raise SystemExit(3)", "SystemExit"),
        ],
    )
    def test_errors_are_logged_with_traceback_and_not_raised(
        self, main_window, qtbot, gemlo_log, script, error
    ):
        assert main_window.run_script(script) is False
        (record,) = [r for r in gemlo_log if r.levelname == "ERROR"]
        assert error in record.getMessage()
        assert "mainwindow.py" not in record.getMessage()
        qtbot.waitUntil(lambda: error in self.output(main_window))
        assert main_window.isVisible()
        assert main_window.run_script("self.after = True") and main_window.after

    def test_traceback_quotes_the_failing_line(self, main_window, gemlo_log):
        main_window.run_script("a = 1\nb = undefined_name + a")
        message = gemlo_log[-1].getMessage()
        assert "Traceback" in message and "line 2" in message
        assert "b = undefined_name + a" in message

    def test_myprint_of_the_database_shows_in_output(self, main_window, qtbot):
        main_window.run_script("myprint(self.database)")
        qtbot.waitUntil(lambda: "amplitude (float32)" in self.output(main_window))
        assert main_window.database.path in self.output(main_window)

    def test_log_records_from_other_threads_reach_output(self, main_window, qtbot):
        worker = threading.Thread(target=logger.info, args=("from the worker",))
        worker.start()
        worker.join()
        qtbot.waitUntil(lambda: "from the worker" in self.output(main_window))

    def test_closed_window_leaves_the_log(self, main_window):
        handler = main_window._log_handler
        main_window.close()
        assert handler not in logger.handlers


class Probe(LumoPluginWidget):
    CONF_SECTION = "probe"

    def __init__(self, parent, allow_close=True):
        super().__init__(parent)
        self.allow_close = allow_close
        self.closing_calls = []
        self.initialize_plugin()

    def get_plugin_title(self):
        return "Probe"

    def closing_plugin(self, cancelable=False):
        self.closing_calls.append(cancelable)
        return self.allow_close


class TestQuit:
    def test_quit_asks_and_closes_only_on_yes(self, main_window, monkeypatch):
        asked = []

        def answer(reply):
            def question(parent, title, text, buttons):
                asked.append((parent, title, text))
                assert buttons & QMessageBox.Yes
                return reply

            return question

        monkeypatch.setattr(QMessageBox, "question", answer(QMessageBox.No))
        main_window.btn_quit.click()
        assert main_window.isVisible()
        assert asked == [(main_window, "Quit", "Do you really want to quit?")]

        monkeypatch.setattr(QMessageBox, "question", answer(QMessageBox.Yes))
        main_window.btn_quit.click()
        assert not main_window.isVisible()

    def test_closing_asks_every_plugin_and_one_can_refuse(self, main_window):
        willing = Probe(main_window)
        refusing = Probe(main_window, allow_close=False)
        willing.register_plugin()
        refusing.register_plugin()
        main_window.close()
        assert main_window.isVisible()
        assert willing.closing_calls == [True] and refusing.closing_calls == [True]
        refusing.allow_close = True
        main_window.close()
        assert not main_window.isVisible()


class TestVersion:
    def test_about_box_shows_the_version_of_the_package(self, main_window, monkeypatch):
        import gemlo

        pyproject = tomllib.loads((Path(__file__).parents[1] / "pyproject.toml").read_text())
        assert gemlo.__version__ == pyproject["project"]["version"]
        shown = []
        monkeypatch.setattr(QMessageBox, "about", lambda *args: shown.append(args))
        [help_menu] = [a.menu() for a in main_window.menuBar().actions() if a.text() == "&Help"]
        help_menu.actions()[0].trigger()
        [(parent, title, text)] = shown
        assert parent is main_window and title == "About gemlo"
        assert text.startswith(f"gemlo {gemlo.__version__}\n")

    @pytest.mark.parametrize(
        "pyproject, expected",
        [
            ('[project]\nname = "gemlo"\nversion = "9.8.7"\n', "9.8.7"),
            (None, "0+unknown"),
            ("[project", "0+unknown"),
        ],
    )
    def test_version_from_a_source_tree_without_metadata(
        self, monkeypatch, tmp_path, pyproject, expected
    ):
        import gemlo

        def missing(name):
            raise metadata.PackageNotFoundError(name)

        monkeypatch.setattr(metadata, "version", missing)
        monkeypatch.setattr(gemlo, "__file__", str(tmp_path / "host" / "gemlo" / "__init__.py"))
        if pyproject is not None:
            (tmp_path / "pyproject.toml").write_text(pyproject)
        assert gemlo._version() == expected


class TestPlugins:
    def test_missing_plugin_is_skipped_with_a_warning(self, main_window, monkeypatch, gemlo_log):
        module = types.ModuleType("gemlo_test_plugin")
        module.Probe = Probe
        monkeypatch.setitem(sys.modules, "gemlo_test_plugin", module)
        monkeypatch.setattr(
            mainwindow,
            "INTERNAL_PLUGINS",
            [
                ("gemlo_no_such_module", "Thing"),
                ("gemlo_test_plugin", "NoSuchClass"),
                ("gemlo_test_plugin", "Probe"),
            ],
        )
        before = len(main_window.plugins)
        main_window.post_visible_setup()
        warnings = [r.getMessage() for r in gemlo_log if r.levelname == "WARNING"]
        assert len(warnings) == 2 and "gemlo_no_such_module" in warnings[0]
        assert len(main_window.plugins) == before + 1
        assert isinstance(main_window.plugins[-1], Probe)

    def test_plugin_dock_and_its_hide_action(self, main_window, qtbot):
        probe = Probe(main_window)
        dock = main_window.add_dockwidget(probe)
        assert probe.main is main_window and probe.dockwidget is dock
        assert dock.windowTitle() == "Probe" and dock.objectName() == "probe"
        assert main_window.dockWidgetArea(dock) == Qt.BottomDockWidgetArea
        assert dock.widget() is probe and dock in main_window.dockwidgets
        qtbot.waitUntil(dock.isVisible)
        (hide,) = [a for a in probe.options_button.menu().actions() if a.text() == "Hide"]
        assert probe.options_button.toolTip() == "Options"
        hide.trigger()
        assert not dock.isVisible()


class TestSampleData:
    def test_grid_conversions_round_trip_on_the_rotated_grid(self, sample_survey):
        survey, sgmt = sample_survey
        for p in ("P1", "P2", "P3"):
            xy = ln2xy([sgmt[f"{p}_ILNO"], sgmt[f"{p}_XLNO"]], survey)
            np.testing.assert_allclose(xy, [sgmt[f"{p}_CRSX"], sgmt[f"{p}_CRSY"]], atol=1e-6)
        lines = np.random.default_rng(1).uniform([990, 1990], [1070, 2090], size=(50, 2))
        np.testing.assert_allclose(xy2ln(ln2xy(lines, survey), sgmt), lines, atol=1e-8)
        # 25 m bins on a rotated but square grid
        origin, next_il, next_xl = ln2xy([[1000, 2000], [1001, 2000], [1000, 2001]], survey)
        il_step, xl_step = next_il - origin, next_xl - origin
        np.testing.assert_allclose([np.hypot(*il_step), np.hypot(*xl_step)], 25, atol=1e-3)
        assert abs(il_step @ xl_step) < 1e-2 and il_step[1] != 0

    def test_cube_is_deterministic_and_physical(self):
        cube = sample.sample_cube()
        assert cube.prop_array_key == "array3d"
        assert {"amplitude", "velocity", "impedance"} <= set(cube.prop)
        for name in cube.prop:
            array = cube.array(name)
            assert array.shape == (60, 80, 120) and array.dtype == np.float32
            assert np.isfinite(array).all()
            np.testing.assert_array_equal(array, sample.sample_cube().array(name))
        assert (np.diff(cube.array("velocity"), axis=-1) > 0).all()
        amplitude = cube.array("amplitude")
        assert amplitude.std() > 0.1 and abs(amplitude.mean()) < 0.05

    def test_add_sample_data_needs_a_project(self, qtbot, main_options):
        window = mainwindow.MainWindow(main_options)
        window.setup()
        qtbot.addWidget(window)
        with pytest.raises(RuntimeError, match="No project"):
            window.add_sample_data()

    def test_map_fits_the_grid_north_up(self, main_window):
        survey_map = main_window.survey_map
        il0, il1, xl0, xl1 = survey_map.extent()
        corners = survey_map.to_screen([[il0, xl0], [il0, xl1], [il1, xl1], [il1, xl0]])
        assert (corners >= 0).all()
        assert (corners <= [survey_map.width(), survey_map.height()]).all()
        # The northernmost corner is drawn highest.
        xy = ln2xy([[il0, xl0], [il0, xl1], [il1, xl1], [il1, xl0]], main_window.survey)
        assert np.argmax(xy[:, 1]) == np.argmin(corners[:, 1])
        assert not survey_map.grab().isNull()


class TestDataTree:
    @pytest.fixture
    def tree(self, main_window):
        return main_window.treebase

    def item_names(self, tree, name):
        item = tree.object_item(name)
        return [item.child(i).text(0) for i in range(item.childCount())]

    def test_rename_object(self, tree, main_window):
        tree.rename_object("cube", "seismic")
        assert list(tree.object_data) == ["well_A", "seismic"]
        assert tree.object_data["seismic"].name == "seismic"
        assert tree.topLevelItem(0).text(0) == "seismic"
        db = reopened(main_window)
        assert db.object_names() == ["seismic", "well_A"]
        assert list(db.load_object("seismic").prop) == list(tree.object_data["seismic"].prop)
        db.close()
        with pytest.raises(KeyError):
            tree.object_data["cube"]

    def test_bad_new_names_change_nothing(self, tree):
        tree.copy_object("cube", "other")
        for bad in ("other", "", "  "):
            with pytest.raises(ValueError):
                tree.rename_object("cube", bad)
        with pytest.raises(ValueError):
            tree.rename_property("cube", "amplitude", "velocity")
        with pytest.raises(KeyError):
            tree.rename_property("cube", "nothing", "new")
        assert list(tree.object_data) == ["cube", "well_A", "other"]
        assert self.item_names(tree, "cube")[:2] == ["amplitude", "velocity"]

    def test_copy_object_is_independent_and_saved(self, tree, main_window):
        copy = tree.copy_object("cube")
        assert copy.name == "cube_copy" and tree.copy_object("cube").name == "cube_copy2"
        copy.array("amplitude")[:] = 0
        assert tree.object_data["cube"].array("amplitude").any()
        db = reopened(main_window)
        assert db.object_names() == ["cube", "well_A", "cube_copy", "cube_copy2"]
        db.close()

    def test_remove_object(self, tree, main_window, monkeypatch):
        monkeypatch.setattr(QMessageBox, "question", lambda *a: QMessageBox.No)
        tree.remove_object("cube")
        assert "cube" in tree.object_data
        tree.remove_object_worker("cube")
        assert list(tree.object_data) == ["well_A"] and tree.topLevelItemCount() == 1
        db = reopened(main_window)
        assert db.object_names() == ["well_A"]
        assert (
            db._conn.execute("SELECT COUNT(*) FROM properties WHERE object = 'cube'").fetchone()[0]
            == 0
        )
        db.close()

    def test_property_slots(self, tree, main_window):
        tree.rename_property("cube", "velocity", "vp")
        tree.remove_property("cube", "density")
        entry = tree.create_property("cube", "zeros", unit="none")
        names = ["amplitude", "vp", "impedance", "zeros"]
        assert list(tree.object_data["cube"].prop) == names
        assert self.item_names(tree, "cube") == names
        assert entry["array3d"].shape == (60, 80, 120) and not entry["array3d"].any()
        with pytest.raises(ValueError, match="shape"):
            tree.create_property("cube", "wrong", np.zeros((2, 2, 2)))
        db = reopened(main_window)
        stored = db.load_object("cube")
        assert list(stored.prop) == names and stored.prop["zeros"]["unit"] == "none"
        db.close()

    def test_right_click_sets_item_right_clicked(self, tree, qtbot, monkeypatch):
        shown = []
        monkeypatch.setattr(
            QMenu, "popup", lambda menu, *a: shown.append([x.text() for x in menu.actions()])
        )
        item = tree.object_item("cube").child(0)
        qtbot.mouseClick(tree.viewport(), Qt.RightButton, pos=tree.visualItemRect(item).center())
        assert tree.itemRightClicked is item and item.text(0) == "amplitude"
        tree._show_context_menu(tree.visualItemRect(tree.object_item("cube")).center())
        assert tree.itemRightClicked.text(0) == "cube" and "Copy" in shown[-1]
        below_the_rows = QPoint(5, tree.viewport().height() - 5)
        qtbot.mouseClick(tree.viewport(), Qt.RightButton, pos=below_the_rows)
        assert tree.itemRightClicked is None


def test_data_object_records_its_plot_visuals():
    dob = DataObject("horizon", {"depth": {"array2d": np.ones((3, 4))}}, "array2d")
    assert dob.shape == (3, 4) and dob.style_pages == [] and not dob.viewable_in_plot
    with pytest.raises(ValueError, match="not a line"):
        dob.make_visuals_in_plot(parent="pane 1")
    with pytest.raises(ValueError):
        DataObject("x", prop_array_key="array4d")


def test_output_dock_follows_wrapped_log_lines_unless_scrolled_up(main_window, qtbot):
    bar = main_window.output.verticalScrollBar()
    main_window.output.setFixedWidth(200)
    for n in range(40):
        logger.info("a line long enough to wrap in a narrow view, number %d", n)
        qtbot.wait(5)
    assert bar.maximum() > 0 and bar.value() == bar.maximum()
    middle = bar.maximum() // 2
    bar.setValue(middle)
    logger.info("one more line, which must not pull the reader back down")
    qtbot.wait(20)
    assert bar.value() == middle
