"""The script console: its row of buttons, running, opening and saving scripts."""

import locale
import os
import signal
import subprocess
import sys
import threading
from pathlib import Path

import pytest
from qtpy.QtCore import QSize, Qt
from qtpy.QtGui import QKeySequence
from qtpy.QtWidgets import QLabel, QMessageBox, QSpacerItem, QToolButton

from gemlo.utils import icon_manager as ima
from gemlo.widgets import terminal
from gemlo.widgets.terminal import Terminal


@pytest.fixture(autouse=True)
def boxes(monkeypatch):
    """Message boxes, recorded instead of shown: no test waits on a modal loop."""
    shown = []
    for kind in ("information", "warning", "critical", "question"):
        monkeypatch.setattr(
            QMessageBox, kind, lambda *args, kind=kind: shown.append((kind, *args))
        )
    return shown


@pytest.fixture
def console(qtbot):
    widget = Terminal()
    qtbot.addWidget(widget)
    widget.emitted = []
    widget.sigRunScript.connect(widget.emitted.append)
    return widget


def test_construction(qtbot, translated, button_row):
    options = QToolButton()
    widget = Terminal(None, options_button=options)
    qtbot.addWidget(widget)
    assert widget.code_view.toPlainText() == "# myprint(self.database) \n# myprint(self.treebase)"
    labels = [label.text() for label in widget.mainwidget.findChildren(QLabel)]
    assert labels == ["Run File", "Open File"]  # labels are not translated

    row = button_row(widget)
    buttons = [row.itemAt(i).widget() for i in range(5)]
    expected = [
        ("fileopen", "T:Open file", "Ctrl+O"),
        ("filesave", "T:Save to new file", "Ctrl+S"),
        ("run_file", "T:Run code in file", ""),
        ("run", "T:Run code in view", "Ctrl+R"),
        ("help", "T:Help", ""),
    ]
    for button, (icon, tip, keys) in zip(buttons, expected, strict=True):
        assert button.icon().cacheKey() == ima.icon(icon).cacheKey()
        assert button.toolTip().startswith(tip)
        assert button.shortcut() == QKeySequence(keys)
        assert button.iconSize() == QSize(16, 16)
        assert button.parent() is widget
    assert isinstance(row.itemAt(5), QSpacerItem)
    assert row.itemAt(6).widget() is options and row.itemAt(6).alignment() == Qt.AlignRight
    assert row.count() == 7

    assert button_row(Terminal()).count() == 5


@pytest.mark.parametrize("text", ["", "x = 1", "# a \n# b"])
def test_run_in_view_adds_the_import_line(console, script_prefix, text):
    console.code_view.setPlainText(text)
    console.emit_script()
    assert console.emitted == [script_prefix + text]


def test_run_file_sends_the_file_unchanged(console, tmp_path):
    script = tmp_path / "s.py"
    script.write_text("y = 'é'\r\nz = 2\n")
    console.lineRunFile.setText(str(script))
    console.run_file()
    # Decoded as text, line ends as Python reads them.
    assert console.emitted == ["y = 'é'\nz = 2\n"]
    assert console.code_view.toPlainText().startswith("# myprint")


@pytest.mark.parametrize("path", ["", "missing.py", ".", "bad.py"])
def test_run_file_that_cannot_be_read(console, tmp_path, monkeypatch, boxes, gemlo_log, path):
    if path == "bad.py" and locale.getpreferredencoding(False).lower().replace("-", "") != "utf8":
        pytest.skip("the undecodable bytes are chosen for UTF-8")
    monkeypatch.chdir(tmp_path)
    (tmp_path / "bad.py").write_bytes(b"x = '\xff\xfe'\n")
    console.lineRunFile.setText(path)
    console.run_file()
    assert console.emitted == []
    assert [(kind, parent) for kind, parent, *_ in boxes] == [("warning", console)]
    assert [r.levelname for r in gemlo_log] == ["WARNING"]
    assert console.lineRunFile.text() == path


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs named pipes")
def test_run_file_never_waits_on_a_pipe(console, tmp_path, boxes):
    pipe = tmp_path / "pipe"
    os.mkfifo(pipe)
    # Should the console open the pipe, a writer ends its wait: the test fails instead of hanging.
    timer = threading.Timer(5, lambda: os.close(os.open(pipe, os.O_WRONLY | os.O_NONBLOCK)))
    timer.start()
    console.lineRunFile.setText(str(pipe))
    console.run_file()
    timer.cancel()
    assert console.emitted == [] and [kind for kind, *_ in boxes] == ["warning"]


def test_open_file(console, file_dialogs, tmp_path, monkeypatch, boxes):
    monkeypatch.chdir(tmp_path)
    script = tmp_path / "s.py"
    script.write_text("a = 1\n")
    console.lineRunFile.setText("run.py")
    highlighted = []
    console.pyhigh.highlightBlock = highlighted.append

    file_dialogs.answer = (str(script), "")
    console.open_file()
    assert file_dialogs.calls == [("getOpenFileName", console, "Open File", str(tmp_path))]
    assert console.lineOpenFile.text() == str(script)
    assert console.code_view.toPlainText() == "a = 1\n"
    assert console.lineRunFile.text() == "run.py"
    assert highlighted[-1] == "a = 1\n"

    for answer in [("", ""), (str(tmp_path / "gone.py"), "")]:  # cancelled, unreadable
        file_dialogs.answer = answer
        console.open_file()
        assert console.code_view.toPlainText() == "a = 1\n"
    assert console.lineOpenFile.text() == str(tmp_path / "gone.py")
    assert [kind for kind, *_ in boxes] == ["warning"]


def test_save_file_replaces_the_target_with_the_text(console, file_dialogs, tmp_path, monkeypatch):
    target = tmp_path / "s.py"
    target.write_text("old content that is longer than the new one\n" * 10)
    before = target.stat().st_ino
    console.code_view.setPlainText("b = 'é'\nc = 3")
    console.set_work_dir("/first")
    console.set_work_dir("/second")
    file_dialogs.answer = str(target)  # a bare path is accepted as well as a pair
    console.save_file()
    assert file_dialogs.calls == [("getSaveFileName", console, "Save File", "/second")]
    assert target.stat().st_ino != before  # replaced by a new file, not rewritten in place
    assert target.read_bytes() == "b = 'é'\nc = 3".encode(locale.getpreferredencoding(False))
    monkeypatch.setattr(locale, "getpreferredencoding", lambda do_setlocale=True: "latin-1")
    console.save_file()
    assert target.read_bytes() == b"b = '\xe9'\nc = 3"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["s.py"]
    assert console.lineOpenFile.text() == console.lineRunFile.text() == ""
    assert console.workdir == "/second"


@pytest.fixture
def file_size_limit():
    """Writes beyond 64 KiB fail with EFBIG, as on a full disk."""
    resource = pytest.importorskip("resource")
    handler = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
    resource.setrlimit(resource.RLIMIT_FSIZE, (65536, hard))
    yield
    resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
    signal.signal(signal.SIGXFSZ, handler)


@pytest.mark.parametrize("where", ["folder", "under_a_file", "unencodable", "cut_short"])
def test_failed_save_leaves_everything_as_it_was(
    console, file_dialogs, tmp_path, monkeypatch, boxes, gemlo_log, request, where
):
    keep = tmp_path / "keep.py"
    keep.write_text("precious\n")
    target = {"folder": tmp_path, "under_a_file": keep / "x.py"}.get(where, keep)
    monkeypatch.setattr(locale, "getpreferredencoding", lambda do_setlocale=True: "ascii")
    text = {"unencodable": "é", "cut_short": "x" * 10**6}.get(where, "new")
    console.code_view.setPlainText(text)
    file_dialogs.answer = (str(target), "")
    if where == "cut_short":
        request.getfixturevalue("file_size_limit")
    console.save_file()
    assert keep.read_text() == "precious\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["keep.py"]
    assert [(kind, parent) for kind, parent, *_ in boxes] == [("warning", console)]
    assert str(target) in boxes[0][3] and [r.levelname for r in gemlo_log] == ["WARNING"]


def test_shortcuts(console, file_dialogs, qtbot, script_prefix):
    console.show()
    qtbot.waitExposed(console)
    console.activateWindow()
    qtbot.waitUntil(console.isActiveWindow)
    console.code_view.setFocus()
    # A shortcut animates the button's click, which lands a moment later.
    qtbot.keyClick(console.code_view, Qt.Key_O, Qt.ControlModifier)
    qtbot.waitUntil(lambda: len(file_dialogs.calls) == 1)
    qtbot.keyClick(console.code_view, Qt.Key_S, Qt.ControlModifier)
    qtbot.waitUntil(lambda: len(file_dialogs.calls) == 2)
    qtbot.keyClick(console.code_view, Qt.Key_R, Qt.ControlModifier)
    qtbot.waitUntil(lambda: len(console.emitted) == 1)
    qtbot.wait(300)
    assert [name for name, *_ in file_dialogs.calls] == ["getOpenFileName", "getSaveFileName"]
    assert console.emitted == [script_prefix + console.code_view.toPlainText()]


def test_help(console, boxes, translated):
    console.show_help()
    [(kind, parent, title, text)] = boxes
    assert (kind, parent, title) == ("information", console, "T:How to use")
    assert text.startswith(
        "T:The scriptdock provides API to the project.<br>"
        "For example, try run myprint(self.database).<br>"
    )
    assert text.endswith("<br><b>TODO</b> add more.<br>") and "instead of print()" in text


def test_deprecated_local_run(console):
    console.code_view.setPlainText("self.setObjectName(text)")  # an expression sees self and text
    console.run_script("ignored")
    assert console.objectName() == "self.setObjectName(text)"

    console.code_view.setPlainText("terminal_test_value = 2")
    try:
        console.run_script(None)
        assert terminal.terminal_test_value == 2
    finally:
        vars(terminal).pop("terminal_test_value", None)

    for text, error in [("name = self", NameError), ("1 / 0", ZeroDivisionError)]:
        console.code_view.setPlainText(text)
        with pytest.raises(error):
            console.run_script(text)


MAIN = """
import sys
from qtpy.QtCore import QTimer
from qtpy.QtWidgets import QApplication
from gemlo.widgets import terminal

def check():
    app = QApplication.instance()
    print(app.arguments()[1:], [type(w).__name__ for w in app.topLevelWidgets() if w.isVisible()])
    app.exit(3)

real_exec = QApplication.exec
def exec_():
    QTimer.singleShot(0, check)
    return real_exec()
QApplication.exec = staticmethod(exec_)
sys.argv = ["gemlo-terminal", "extra"]
terminal.main()
print("not reached")
"""


def test_main_runs_the_loop_and_exits_with_its_code():
    env = dict(
        os.environ,
        QT_QPA_PLATFORM="offscreen",
        PYTHONPATH=os.pathsep.join([str(Path(terminal.__file__).parents[2])] + sys.path),
    )
    done = subprocess.run(
        [sys.executable, "-c", MAIN], env=env, capture_output=True, text=True, timeout=60
    )
    assert done.returncode == 3, done.stderr
    assert done.stdout == "['extra'] ['Terminal']\n"
