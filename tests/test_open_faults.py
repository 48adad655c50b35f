"""Faults met when opening and reading a project: damaged or missing files, files
truncated while in use, read-only media, bad command-line paths."""

import hashlib
import json
import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np
import pytest
from numpy.lib.format import open_memmap
from qtpy.QtWidgets import QApplication, QMessageBox

import gemlo
from gemlo.app.__main__ import main
from gemlo.io.sample import sample_survey
from gemlo.model.dataobject import DataObject
from gemlo.storage.database import ProjectDatabase
from gemlo.widgets.chartpane import ChartPane

HOST = str(Path(gemlo.__file__).parent.parent)
SHAPE = (4, 5, 6)


def make_project(folder, shape=SHAPE, plot_y=True):
    """A closed project "b.lmd": a survey, a mapped cube, a line (drawn against its index
    unless `plot_y`) shown in a saved plot viewer. Returns its path."""
    folder.mkdir(exist_ok=True)
    db = ProjectDatabase.create(folder / "b.lmd")
    db.save_survey(*sample_survey())
    cube = open_memmap(folder / "b.cube.amp.npy", "w+", np.float32, shape)
    cube[:] = np.arange(cube.size, dtype=np.float32).reshape(shape) + 1
    db.save_object(DataObject("cube", {"amp": {"array3d": cube}}, "array3d", {"il0": 1}))
    prop = {"v": {"array1d": np.linspace(0, 1, 7)}, "z": {"array1d": np.arange(7.0)}}
    meta = {"plot_y": "z"} if plot_y else {}
    db.save_object(DataObject("line", prop, "array1d", meta))
    db.save_viewers([("1_vs_plot", {}, ["line"])])
    db.close()
    # The first open records the cube's file, made outside the project, as its own.
    ProjectDatabase.open(folder / "b.lmd").close()
    del cube
    return folder / "b.lmd"


def fingerprint(folder):
    return {p.name: hashlib.sha256(p.read_bytes()).hexdigest() for p in folder.iterdir()}


def npy(data):
    return lambda path: np.save(path, data)


def sql(statement):
    def damage(path):
        with sqlite3.connect(path) as conn:
            conn.execute(statement)
        conn.close()

    return damage


def overwrite(offset, data):
    def damage(path):
        with open(path, "r+b") as fp:
            fp.seek(offset)
            fp.write(data)

    return damage


CUBE = np.zeros(SHAPE, np.float32)
# (damaged file: "npy" or "lmd", damage, what the message says); None: the project opens
# whole. Damage to a data file leaves out its object; damage to the project file refuses.
DAMAGE = {
    "intact": ("npy", None, None),
    "missing": ("npy", os.unlink, "missing"),
    "half": ("npy", lambda p: os.truncate(p, os.path.getsize(p) // 2), "truncated"),
    "empty": ("npy", lambda p: os.truncate(p, 0), "no .npy header"),
    "text": ("npy", lambda p: p.write_text("amplitude\n" * 20), "no .npy header"),
    "longer": ("npy", lambda p: p.open("ab").write(b"\0" * 8), "truncated or damaged"),
    "2-d": ("npy", npy(CUBE.reshape(SHAPE[0], -1)), "shaped (4, 30)"),
    "shape": ("npy", npy(np.zeros((4, 5, 7), np.float32)), "shaped (4, 5, 7)"),
    "dtype": ("npy", npy(CUBE.astype(np.float64)), "float64 values"),
    "fortran": ("npy", npy(np.asfortranarray(CUBE)), "Fortran order"),
    "header": ("npy", overwrite(20, b"%%%%"), ".npy header is damaged"),
    "record": ("lmd", sql("UPDATE properties SET extra = '{' WHERE object = 'cube'"), "cube"),
    "not-sqlite": ("lmd", overwrite(0, b"\0" * 100), "not an SQLite database"),
    "page": ("lmd", overwrite(2 * 4096, os.urandom(4096)), "is damaged"),
    "viewers": ("lmd", sql("UPDATE viewers SET state = '[1'"), "viewers"),
    "survey": ("lmd", sql("UPDATE survey SET sgmt = '[]'"), "is damaged"),
}
OBJECT_LEVEL = {"missing", "half", "empty", "text", "longer", "2-d", "shape", "dtype"}
OBJECT_LEVEL |= {"fortran", "header", "record"}


@pytest.mark.parametrize("kind", DAMAGE)
def test_open_is_all_or_nothing_and_names_the_damage(
    main_window, tmp_path, monkeypatch, file_dialogs, kind
):
    which, damage, says = DAMAGE[kind]
    path = make_project(tmp_path / "b")
    if damage is not None:
        damage(path if which == "lmd" else path.with_name("b.cube.amp.npy"))
    before = fingerprint(path.parent)
    window, tree = main_window, main_window.treebase

    def state():
        panes = [p.base._name for p in window.viewers(ChartPane)]
        return window.database, window.windowTitle(), sorted(tree.object_data), panes

    old = state()
    warnings = []
    monkeypatch.setattr(QMessageBox, "warning", lambda *args: warnings.append(args[2]))
    file_dialogs.answer = (str(path), "")
    window._ask_open_project()

    assert fingerprint(path.parent) == before
    if kind not in OBJECT_LEVEL and says is not None:
        # Refused with one message naming the file; the window keeps its project.
        assert len(warnings) == 1 and str(path) in warnings[0] and says in warnings[0]
        assert state() == old and window.database.path != str(path)
        window.save_project()
        assert fingerprint(path.parent) == before
        return
    assert window.database.path == str(path) and window.windowTitle().startswith("b ")
    [pane] = window.viewers(ChartPane)
    assert "line" in pane.base.dpState and "line" in tree.object_data
    if says is None:
        assert not warnings and tree.object_data["cube"].array("amp")[-1, -1, -1] == CUBE.size
        return
    # Left out, named with the reason; its name stays taken and its entry as it was.
    assert "cube" not in tree.object_data and list(tree.unreadable) == ["cube"]
    assert len(warnings) == 1 and "'cube'" in warnings[0] and says in warnings[0]
    if which == "npy":
        assert str(path.with_name("b.cube.amp.npy")) in warnings[0]
    with pytest.raises(ValueError, match="could not be read"):
        tree.add_object(DataObject("cube", {}, "array3d"))
    with pytest.raises(ValueError, match="already exists"):
        tree.rename_object("line", "cube")
    window.save_project()
    with sqlite3.connect(path) as conn:
        assert conn.execute("SELECT count(*) FROM properties WHERE object = 'cube'").fetchone()
    conn.close()
    assert {k: v for k, v in fingerprint(path.parent).items() if k != "b.lmd"} == {
        k: v for k, v in before.items() if k != "b.lmd"
    }


# Run in a child process: before the size check, reading a file truncated behind its
# map killed the process with SIGBUS.
TRUNCATED_CHILD = """
import sys
from qtpy.QtWidgets import QApplication
app = QApplication([])
from gemlo.storage.database import ProjectDatabase
from gemlo.utils.logger import logger
from gemlo.widgets import statgrid
from gemlo.widgets.vispy_image import VispyImage
from gemlo.widgets.vispy_volume import VispyVolume
logger.error = lambda text, *args: print(text % args if args else text)
db = ProjectDatabase.open(sys.argv[1])
cube = db.load_object("cube")
open(sys.argv[1][:-4] + ".cube.amp.npy", "r+b").truncate(64)
try:
    statgrid.add_array_percentile(cube.prop["amp"])
except OSError as error:
    print("statistics:", error)
VispyImage(name="image").show_section(cube, "amp", 1)
VispyVolume(name="volume").show_volume(cube, "amp")
print("alive")
"""


def test_a_file_truncated_while_mapped_is_an_error_not_a_crash(tmp_path):
    path = make_project(tmp_path, (8, 32, 64))  # many pages, most of them cut off
    done = subprocess.run(
        [sys.executable, "-c", TRUNCATED_CHILD, str(path)],
        capture_output=True,
        text=True,
        timeout=120,
        env={**os.environ, "PYTHONPATH": HOST, "QT_QPA_PLATFORM": "offscreen"},
    )
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[-1] == "alive" and len(lines) == 4
    assert all("b.cube.amp.npy was truncated while in use" in line for line in lines[:3])


READ_ONLY_CHILD = """
import argparse, json, sys
from qtpy.QtWidgets import QApplication
app = QApplication([])
from gemlo.app.mainwindow import MainWindow
window = MainWindow(argparse.Namespace(plugins_paths="", working_directory=None, debug=False))
window.setup()
window.open_project(sys.argv[1])
tree = window.treebase
cube = tree.object_data["cube"].array("amp")
result = {"read_only": window.database.read_only, "mode": cube.mode, "refused": {}}
for name, edit in {
    "rename": lambda: tree.rename_object("line", "x"),
    "property": lambda: tree.create_property("line", "p"),
    "remove": lambda: tree.remove_object_worker("line"),
    "sample": window.add_sample_data,
    "save": window.save_project,
    "modules": lambda: window.set_extmodules({}),
    "write": lambda: cube.__setitem__(0, 5.0),
}.items():
    try:
        edit()
    except Exception as error:
        result["refused"][name] = f"{type(error).__name__}: {error}"
result["objects"] = sorted(tree.object_data)
print(json.dumps(result))
"""


@pytest.mark.parametrize("medium", ["file", "mount"])
def test_read_only_projects_open_and_refuse_every_change(medium):
    if not shutil.which("unshare"):
        pytest.skip("needs unshare (util-linux) for a read-only mount or an unprivileged user")
    # Outside pytest's private temporary folder: the unprivileged user must reach it.
    folder = Path(tempfile.mkdtemp(prefix="gemlo-ro-"))
    try:
        os.chmod(folder, 0o755)
        path = make_project(folder / "p")
        before = fingerprint(path.parent)
        child = [sys.executable, "-c", READ_ONLY_CHILD, str(path)]
        if medium == "file":
            for file in path.parent.iterdir():
                file.chmod(0o444)
            path.parent.chmod(0o555)
            # root writes anyway: the user of an unmapped user namespace does not.
            command = ["unshare", "-U", *child] if os.geteuid() == 0 else child
        else:
            mount = f"mount --bind {path.parent} {path.parent}"
            remount = f"mount -o remount,ro,bind {path.parent} {path.parent}"
            command = ["unshare", "-rm", "sh", "-c", f'{mount} && {remount} && exec "$@"', "-"]
            command += child
        done = subprocess.run(
            command,
            capture_output=True,
            text=True,
            timeout=120,
            env={**os.environ, "PYTHONPATH": HOST, "QT_QPA_PLATFORM": "offscreen"},
        )
        if medium == "mount" and "mount" in done.stderr and done.returncode:
            pytest.skip(f"this machine allows no private read-only mount: {done.stderr}")
        assert done.returncode == 0, done.stderr
        result = json.loads(done.stdout.splitlines()[-1])
        assert result["mode"] == "r" and result["objects"] == ["cube", "line"]
        assert ("read-only file system" if medium == "mount" else "project file is read-only") in (
            result["read_only"]
        )
        refused = result["refused"]
        assert refused.pop("write") == "ValueError: assignment destination is read-only"
        assert set(refused) == {"rename", "property", "remove", "sample", "save", "modules"}
        for text in refused.values():
            assert text.startswith("ReadOnlyProject") and "read-only" in text
        assert fingerprint(path.parent) == before
    finally:
        for root, dirs, _files in os.walk(folder):
            for name in dirs:
                os.chmod(os.path.join(root, name), 0o755)
        shutil.rmtree(folder)


def write_segy(path):
    from test_segy_import import write_segy

    write_segy(path)


LONG = "x" * 250
# (arguments, with {d} for the test's folder; exit status; what stderr says)
CLI = {
    "empty project": (["import-segy", "{d}/f.sgy", ""], 1, "project name is empty"),
    "folder project": (["import-segy", "{d}/f.sgy", "{d}/new/"], 1, "names a folder"),
    "long project": (["import-segy", "{d}/f.sgy", f"{{d}}/{LONG}"], 1, "too long"),
    "folder file": (["import-segy", "{d}", "{d}/p"], 1, "is a folder, not a SEG-Y file"),
    "device file": (["import-segy", "/dev/zero", "{d}/p"], 1, "not a regular file"),
    "empty file": (["import-segy", "", "{d}/p"], 1, "SEG-Y file name is empty"),
    "scan folder": (["scan-segy", "{d}"], 1, "is a folder, not a SEG-Y file"),
    "undecodable project": (["import-segy", "{d}/f.sgy", "{d}/p\udce9"], 1, "not valid UTF-8"),
    "las folder": (["import-las", "{d}", "{d}/p"], 1, "is a folder, not a LAS file"),
    "las empty project": (["import-las", "{d}/f.sgy", ""], 1, "project name is empty"),
    "zmap device": (["import-zmap", "/dev/zero", "{d}/p"], 1, "not a regular file"),
    "gui empty": (["--project", ""], 2, "project name is empty"),
    "gui long": (["--project", f"{{d}}/new/{LONG}"], 2, "too long"),
}


@pytest.mark.parametrize("case", CLI)
def test_command_line_paths_are_checked_first(tmp_path, monkeypatch, capsys, case):
    args, status, says = CLI[case]
    write_segy(tmp_path / "f.sgy")
    (tmp_path / "work").mkdir()
    monkeypatch.chdir(tmp_path / "work")
    # A window that did start must not wait for a user.
    monkeypatch.setattr(QApplication, "exec", lambda self: 0)
    before = sorted(os.listdir(os.fsencode(tmp_path)))
    assert main([a.format(d=tmp_path) for a in args]) == status
    error = capsys.readouterr().err
    assert says in error and "Traceback" not in error and len(error.splitlines()) == 1
    assert sorted(os.listdir(os.fsencode(tmp_path))) == before
    assert os.listdir(tmp_path / "work") == []


def test_a_segy_file_whose_name_is_not_utf8_imports(tmp_path, capsys):
    write_segy(tmp_path / "f.sgy")
    name = os.fsdecode(os.fsencode(tmp_path) + b"/f\xe9.sgy")
    os.rename(tmp_path / "f.sgy", name)
    assert main(["import-segy", name, str(tmp_path / "p")]) == 0
    assert "Created" in capsys.readouterr().out and (tmp_path / "p.lmd").is_file()


def test_a_new_project_that_cannot_be_made_leaves_no_folders(tmp_path):
    with pytest.raises(OSError, match="too long"):
        ProjectDatabase.create(tmp_path / "a" / "b" / LONG)
    assert os.listdir(tmp_path) == []


def test_a_line_without_plot_y_is_drawn_against_its_index(main_window, tmp_path):
    dob = DataObject("line", {"v": {"array1d": np.array([3.0, 1.0, 2.0])}}, "array1d")
    np.testing.assert_array_equal(dob.plot_points(), [[3, 0], [1, 1], [2, 2]])
    assert dob.plot_points().dtype == np.float32
    # A saved viewer showing one reopens.
    main_window.open_project(make_project(tmp_path / "b", plot_y=False))
    [pane] = main_window.viewers(ChartPane)
    assert list(pane.base.dpState) == ["line"]
