import datetime
import importlib
import os
import re

import pytest
from qtpy.QtCore import QTimer
from qtpy.QtWidgets import QApplication, QMessageBox

from gemlo.automation import automate


@pytest.fixture
def base(tmp_path, monkeypatch):
    """A checkout whose environment file names the project and plug-in folders."""
    monkeypatch.setenv("GEMLO_BASE_DIR", str(tmp_path))
    for name in ("GEMLO_ENV_FILE", "GEMLO_PLUGINS_PATH", "GEMLO_PROJECT_DIR"):
        monkeypatch.delenv(name, raising=False)
    settings = {
        "GEMLO_PROJECT_DIR": str(tmp_path / "projects"),
        "GEMLO_PLUGINS_PATH": str(tmp_path / "plugs"),
    }
    (tmp_path / ".env").write_text("".join(f"{k}={v}\n" for k, v in settings.items()))
    yield tmp_path
    for name in settings:  # what the environment file put there
        os.environ.pop(name, None)


@pytest.fixture
def launched(qtbot, base):
    window = automate.launch()
    qtbot.addWidget(window)
    return window


def test_launch_opens_a_new_time_stamped_project(launched, base):
    window = launched
    assert window.isVisible()
    path = window.database.path
    assert os.path.dirname(path) == str(base / "projects")
    name = os.path.basename(path)
    assert re.fullmatch(re.escape(automate.PROJECT_PREFIX) + r"\d{14}\.lmd", name)
    stamp = datetime.datetime.strptime(name[-18:-4], "%Y%m%d%H%M%S")
    assert abs((datetime.datetime.now() - stamp).total_seconds()) < 60
    assert vars(window.options) == {
        "plugins_paths": str(base / "plugs"),
        "working_directory": None,
        "debug": False,
    }
    assert list(vars(window.options)) == ["plugins_paths", "working_directory", "debug"]
    assert window.plugins, "the internal plugins were loaded after show()"
    assert automate.MS_BETWEEN_CLICKS == 1000


def test_launch_within_the_same_second_keeps_the_first_project(qtbot, base):
    folder = base / "projects"
    folder.mkdir()
    now = datetime.datetime.now()
    # Every name the launch can pick in the next seconds is taken.
    taken = [
        folder / f"{automate.PROJECT_PREFIX}{now + datetime.timedelta(seconds=s):%Y%m%d%H%M%S}.lmd"
        for s in range(-1, 5)
    ]
    for path in taken:
        path.write_text("first")
    before = set(QApplication.topLevelWidgets())
    with pytest.raises(FileExistsError) as error:
        automate.launch()
    assert error.value.filename in map(str, taken)
    assert error.value.filename in str(error.value) and "already exists" in str(error.value)
    assert all(path.read_text() == "first" for path in taken)
    qtbot.waitUntil(
        lambda: not any(w.isVisible() for w in set(QApplication.topLevelWidgets()) - before)
    )


def test_quit_answers_yes_and_the_window_closes(launched, qtbot):
    automate.quit(qtbot, launched)
    assert not launched.isVisible()
    assert QApplication.activeModalWidget() is None


def test_quit_waits_for_a_late_confirmation(launched, qtbot):
    launched.btn_quit.clicked.disconnect()
    launched.btn_quit.clicked.connect(lambda: QTimer.singleShot(700, launched.ask_quit))
    automate.quit(qtbot, launched)
    assert not launched.isVisible()


def stray_box(window):
    QMessageBox.information(window, "Busy", "Something else")


@pytest.mark.parametrize("on_click, stray", [(None, False), (stray_box, True)])
def test_quit_without_confirmation_fails_and_closes_nothing(launched, qtbot, on_click, stray):
    launched.btn_quit.clicked.disconnect()
    if on_click:
        launched.btn_quit.clicked.connect(lambda: on_click(launched))
    with pytest.raises(TimeoutError, match="no confirmation with a Yes button appeared") as error:
        automate.quit(qtbot, launched, timeout_ms=400)
    assert ("answered No" in str(error.value)) == stray
    assert launched.isVisible()
    assert QApplication.activeModalWidget() is None


def test_importable_as_top_level_automate(monkeypatch):
    monkeypatch.syspath_prepend(os.path.dirname(automate.__file__))
    monkeypatch.delitem(__import__("sys").modules, "automate", raising=False)
    top = importlib.import_module("automate")
    assert top.__name__ == "automate" and top is not automate
    assert top.MS_BETWEEN_CLICKS == 1000 and callable(top.launch) and callable(top.quit)
