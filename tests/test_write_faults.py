"""Writes under faults: data files, the calculator, imports and copies are all or nothing."""

import errno
import os
import re
import signal
import stat
import subprocess
import sys
import textwrap
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pytest

import gemlo
from gemlo.io.outfile import OutputFile
from gemlo.model.dataobject import DataObject
from gemlo.storage import chunks
from gemlo.storage.database import ProjectDatabase

HOST = str(Path(gemlo.__file__).parent.parent)
SHAPE = (6, 5, 4)


def folder_files(path):
    return sorted(p.name for p in Path(path).iterdir())


@pytest.fixture(params=["unnamed", "hidden"])
def tmpfile_kind(request, monkeypatch):
    """Data files made unnamed (O_TMPFILE), or as hidden named files where a file
    system has no unnamed files."""
    if request.param == "hidden":
        real_open = os.open

        def no_tmpfile(path, flags, *args, **kwargs):
            if flags & os.O_TMPFILE == os.O_TMPFILE:
                raise OSError(errno.EOPNOTSUPP, os.strerror(errno.EOPNOTSUPP))
            return real_open(path, flags, *args, **kwargs)

        monkeypatch.setattr(os, "open", no_tmpfile)
    return request.param


def new_cube(db, values, name="cube", prop="amplitude"):
    """A stored object whose property `prop` is a data file holding `values`."""
    dob = DataObject(name, {}, "array3d", {"il0": 1})
    data_file = db.new_data_file(name, prop, values.dtype, values.shape)
    data_file.array[:] = values
    db.store_data_file(dob, prop, data_file, unit="ms")
    return dob


def test_data_file_store_replace_discard(tmp_path, tmpfile_kind):
    db = ProjectDatabase.create(tmp_path / "p.lmd")
    old = np.arange(120, dtype=np.float32).reshape(SHAPE)
    dob = new_cube(db, old)
    assert folder_files(tmp_path) == ["p.cube.amplitude.npy", "p.lmd"]
    entry = dob.prop["amplitude"]
    assert entry["unit"] == "ms" and isinstance(entry["array3d"], np.memmap)
    np.testing.assert_array_equal(entry["array3d"], old)

    # Replaced: the new file takes a free name, the old one goes after the commit.
    data_file = db.new_data_file("cube", "amplitude", np.int16, SHAPE)
    assert data_file.offset % 64 == 0 and data_file.array.flags.c_contiguous
    os.pwrite(data_file.fileno(), np.full(SHAPE, 7, np.int16).tobytes(), data_file.offset)
    db.store_data_file(dob, "amplitude", data_file)
    assert folder_files(tmp_path) == ["p.cube.amplitude-2.npy", "p.lmd"]
    assert dob.prop["amplitude"]["array3d"].dtype == np.int16

    # Discarded, in a with block that failed, or dropped: nothing stays.
    with pytest.raises(RuntimeError), db.new_data_file("cube", "x", np.float32, SHAPE) as df:
        raise RuntimeError
    df.discard()
    db.new_data_file("cube", "y", np.float32, SHAPE).array[:] = 1
    assert folder_files(tmp_path) == ["p.cube.amplitude-2.npy", "p.lmd"]
    db.close()

    db = ProjectDatabase.open(tmp_path / "p.lmd")
    dob = db.load_object("cube")
    np.testing.assert_array_equal(dob.array("amplitude"), np.full(SHAPE, 7))
    assert list(dob.prop["amplitude"]) == ["array3d"]  # the attributes given, none


def test_big_arrays_go_into_data_files(tmp_path, monkeypatch):
    monkeypatch.setattr(chunks, "MAPPED_BYTES", 400)
    db = ProjectDatabase.create(tmp_path / "p.lmd")
    big, small = np.ones(SHAPE, np.float32), np.ones((2, 2, 2), np.float32)
    db.save_object(DataObject("big", {"a": {"array3d": big}}))
    db.save_object(DataObject("small", {"a": {"array3d": small}}))
    assert folder_files(tmp_path) == ["p.big.a.npy", "p.lmd"]
    db.remove_object("big")
    db.close()
    db = ProjectDatabase.open(tmp_path / "p.lmd")  # the file nothing refers to goes
    assert folder_files(tmp_path) == ["p.lmd"]
    assert not isinstance(db.load_object("small").array("a"), np.memmap)


def test_full_disk_fails_at_the_data_file(tmp_path, monkeypatch):
    db = ProjectDatabase.create(tmp_path / "p.lmd")

    def full(fd, offset, length):
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

    monkeypatch.setattr(os, "posix_fallocate", full)
    with pytest.raises(OSError, match="No space left"):
        db.new_data_file("cube", "a", np.float32, SHAPE)
    assert folder_files(tmp_path) == ["p.lmd"]


def run_python(code, cwd, *args, check=True, prefix=()):
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([HOST, os.environ.get("PYTHONPATH", "")])}
    done = subprocess.run(
        [*prefix, sys.executable, "-c", textwrap.dedent(code), *args],
        cwd=cwd,
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
    )
    if check and done.returncode not in (0, -signal.SIGKILL):
        raise AssertionError(done.stderr)
    return done


# Where a process storing a data file is killed: (function it dies in, whether it dies
# before or after calling it).
KILL_POINTS = {
    "link": ("gemlo.storage.datafile.DataFile.link", "before"),
    "linked": ("gemlo.storage.datafile.DataFile.link", "after"),
    "in commit": ("gemlo.storage.database.ProjectDatabase._write", "after"),
    "committed": ("gemlo.storage.database.ProjectDatabase._sweep", "before"),
}

KILLER = """
import importlib, os, signal, sys
import numpy as np
from gemlo.storage.database import ProjectDatabase

def kill_at(target, when):
    module, cls, name = target.rsplit(".", 2)
    owner = getattr(importlib.import_module(module), cls)
    real = getattr(owner, name)

    def dying(*args, **kwargs):
        if when == "before":
            os.kill(os.getpid(), signal.SIGKILL)
        result = real(*args, **kwargs)
        os.kill(os.getpid(), signal.SIGKILL)
        return result

    setattr(owner, name, dying)
"""


@pytest.mark.parametrize("point", KILL_POINTS)
def test_kill_while_a_data_file_is_stored(tmp_path, point, tmpfile_kind):
    db = ProjectDatabase.create(tmp_path / "p.lmd")
    new_cube(db, np.zeros(SHAPE, np.float32))
    db.close()
    code = KILLER + textwrap.dedent(
        f"""
        db = ProjectDatabase.open("p.lmd")
        dob = db.load_object("cube")
        if {tmpfile_kind == "hidden"}:
            real_open = os.open
            def no_tmpfile(path, flags, *args):
                if flags & os.O_TMPFILE == os.O_TMPFILE:
                    raise IsADirectoryError(21, "no unnamed files here")
                return real_open(path, flags, *args)
            os.open = no_tmpfile
        kill_at(*{KILL_POINTS[point]!r})
        df = db.new_data_file("cube", "amplitude", np.float32, {SHAPE})
        df.array[:] = 1
        db.store_data_file(dob, "amplitude", df)
        """
    )
    assert run_python(code, tmp_path).returncode == -signal.SIGKILL
    db = ProjectDatabase.open(tmp_path / "p.lmd")
    values = db.load_object("cube").array("amplitude")
    assert np.all(values == values.flat[0])  # all old or all new
    expected = "p.cube.amplitude-2.npy" if values.flat[0] == 1 else "p.cube.amplitude.npy"
    assert folder_files(tmp_path) == [expected, "p.lmd"]
    assert db._conn.execute("SELECT COUNT(*) FROM pending_files").fetchone() == (0,)


# The calculator

RNG = np.random.default_rng(7)
AMPLITUDE = RNG.standard_normal((12, 5, 6)).astype(np.float32)
COUNTS = RNG.integers(-300, 300, (12, 5, 6)).astype(np.int16)


@pytest.fixture
def tree(qtbot, tmp_path, monkeypatch):
    """A data tree on a project whose cube has a mapped float32 property and an int16 one
    in the database; the calculator works on it a few values at a time."""
    from gemlo.data.treebase import TreeBase
    from gemlo.processing import calculator

    monkeypatch.setattr(chunks, "MAPPED_BYTES", 1000)
    monkeypatch.setattr(calculator, "COPY_CHUNK_BYTES", 600)
    db = ProjectDatabase.create(tmp_path / "p.lmd")
    dob = DataObject("cube", {}, "array3d", {"il0": 1})
    db.store_properties(
        dob, {"amplitude": AMPLITUDE, "counts": COUNTS}, {"amplitude": {"unit": "ms"}}
    )
    tree = TreeBase(SimpleNamespace(database=db))
    qtbot.addWidget(tree)
    tree.add_object(dob, save=False)
    yield tree
    db.close()


def file_bytes(folder):
    return {name: (Path(folder) / name).read_bytes() for name in folder_files(folder)}


def values(dob):
    return {p: np.array(e["array3d"]) for p, e in dob.prop.items()}


@pytest.mark.parametrize(
    "script, expected",
    [
        # value by value, a chunk at a time
        ("amplitude = amplitude * 1.1", {"amplitude": AMPLITUDE * np.float32(1.1)}),
        ("amplitude = amplitude.astype('float64') / 3", {"amplitude": AMPLITUDE / 3.0}),
        ("k = 2\ncounts = counts * k - 1", {"counts": COUNTS * 2 - 1}),
        ("counts = counts * 1.5", {"counts": COUNTS * 1.5}),  # takes float64, logged
        (
            "import numpy as np\ncounts = np.where(counts > 0, counts, 0)",
            {"counts": np.where(COUNTS > 0, COUNTS, 0).astype(np.int16)},
        ),
        # anything else, on whole copies
        ("amplitude = amplitude - amplitude.mean()", {"amplitude": AMPLITUDE - AMPLITUDE.mean()}),
        (
            "self.dob.prop['amplitude'][self.dob.prop_array_key] = amplitude.astype('float64')",
            {"amplitude": AMPLITUDE.astype(np.float64)},
        ),
        ("self.dob.prop['new'] = {'array3d': counts * 1.0}", {"new": COUNTS * 1.0}),
        # failures change nothing
        ("amplitude = amplitude * 2\n1 / 0", ZeroDivisionError),
        ("counts = counts.astype('int32') * 1000", (OverflowError, "'counts'")),
        ("counts[0] = 0.5", (TypeError, "'counts'")),
        ("amplitude = nothing", NameError),
    ],
)
def test_calculator_is_all_or_nothing(tree, tmp_path, gemlo_log, script, expected):
    dob = tree.object_data["cube"]
    before, files = values(dob), file_bytes(tmp_path)
    if not isinstance(expected, dict):
        error, match = expected if isinstance(expected, tuple) else (expected, None)
        with pytest.raises(error, match=match):
            tree.run_property_script("cube", script)
        assert file_bytes(tmp_path) == files
        for name, array in values(dob).items():
            assert array.dtype == before[name].dtype and array.tobytes() == before[name].tobytes()
        return
    tree.run_property_script("cube", script)
    assert tree.buds.dob is dob
    want = {**before, **expected}
    for name, array in values(
        ProjectDatabase.open(tmp_path / "p.lmd").load_object("cube")
    ).items():
        np.testing.assert_array_equal(array, want[name])
        assert array.dtype == want[name].dtype
        np.testing.assert_array_equal(dob.array(name), want[name])
    # One data file per property that is mapped (of 1000 bytes or more), nothing else.
    mapped = sum(a.nbytes >= 1000 for a in want.values())
    assert len(folder_files(tmp_path)) == 1 + mapped
    if "counts" in expected and expected["counts"].dtype == np.float64:
        assert any("counts" in r.getMessage() and "float64" in r.getMessage() for r in gemlo_log)


def read_only_connection(tree, monkeypatch):
    import sqlite3

    db = tree.main.database
    db._conn.close()
    db._conn = sqlite3.connect(f"file:{db.path}?mode=ro", uri=True)


def cancel_at_once(tree, monkeypatch):
    from qtpy.QtWidgets import QProgressDialog

    monkeypatch.setattr(QProgressDialog, "wasCanceled", lambda self: True)


@pytest.mark.parametrize(
    "fault, message",
    [
        (read_only_connection, "Cannot change the project .*p.lmd: attempt to write a readonly"),
        (cancel_at_once, "Cancelled: cube is unchanged"),
    ],
)
def test_calculator_dialog_changes_nothing(tree, tmp_path, monkeypatch, fault, message):
    from gemlo.widgets import dialogs

    fault(tree, monkeypatch)
    files = file_bytes(tmp_path)
    tree.buds.open_property_operator()
    dialog = tree.findChild(dialogs.PropertyOperatorDialog)
    dialog.editor.setPlainText("amplitude = amplitude * 2")
    dialog.start()
    assert re.search(message, dialog.message.text()), dialog.message.text()
    assert file_bytes(tmp_path) == files


def test_calculator_refuses_a_read_only_mount(tmp_path):
    db = ProjectDatabase.create(tmp_path / "p.lmd")
    new_cube(db, np.ones(SHAPE, np.float32))
    db.close()
    files = file_bytes(tmp_path)
    code = """
        import subprocess, sys
        from types import SimpleNamespace
        from gemlo.storage.database import ProjectDatabase
        from gemlo.processing import calculator
        from gemlo.utils.nodeaids import Buds

        db = ProjectDatabase.open("p.lmd")
        tree = SimpleNamespace(main=None, object_data={"cube": db.load_object("cube")})
        # Read-only from here on: this process has a mount namespace of its own.
        subprocess.run(["mount", "--bind", "-o", "ro", ".", "."], check=True)
        try:
            calculator.run(tree.object_data, "cube", "amplitude = amplitude * 2", db,
                           Buds(tree).property_operation)
        except PermissionError as error:
            print(error)
        """
    done = run_python(code, tmp_path, check=False, prefix=["unshare", "-m"])
    if done.returncode != 0 and "unshare" in done.stderr:
        pytest.skip(f"no mount namespace here: {done.stderr.strip()}")
    assert "Cannot change the project" in done.stdout and "read-only" in done.stdout, done.stderr
    assert file_bytes(tmp_path) == files


CALCULATOR_KILL_POINTS = {"chunk 3": None, **KILL_POINTS}


@pytest.mark.parametrize("point", CALCULATOR_KILL_POINTS)
def test_kill_during_a_calculator_run(tmp_path, point):
    # A cube of 100 MB, in chunks of 8 MB.
    db = ProjectDatabase.create(tmp_path / "p.lmd")
    dob = DataObject("cube", {}, "array3d")
    data_file = db.new_data_file("cube", "amplitude", np.float32, (100, 500, 500))
    data_file.array.fill(1)
    db.store_data_file(dob, "amplitude", data_file)
    db.close()
    kill = "" if CALCULATOR_KILL_POINTS[point] is None else f"kill_at(*{KILL_POINTS[point]!r})"
    code = KILLER + textwrap.dedent(
        f"""
        from types import SimpleNamespace
        from gemlo.processing import calculator
        from gemlo.utils.nodeaids import Buds

        def progress(done, total):
            if {point == "chunk 3"} and done >= 3 * 2:
                os.kill(os.getpid(), signal.SIGKILL)

        calculator.COPY_CHUNK_BYTES = 8 << 20
        db = ProjectDatabase.open("p.lmd")
        tree = SimpleNamespace(main=None, object_data={{"cube": db.load_object("cube")}})
        {kill}
        calculator.run(tree.object_data, "cube", "amplitude = amplitude * 2", db,
                       Buds(tree).property_operation, progress)
        """
    )
    assert run_python(code, tmp_path).returncode == -signal.SIGKILL
    db = ProjectDatabase.open(tmp_path / "p.lmd")
    values = db.load_object("cube").array("amplitude")
    assert values.min() == values.max() and values.flat[0] in (1, 2)  # all old or all new
    assert len(folder_files(tmp_path)) == 2
    assert db._conn.execute("SELECT COUNT(*) FROM pending_files").fetchone() == (0,)


# Copies and big arrays


def test_copy_of_a_mapped_object_is_mapped_or_nothing(tree, tmp_path, monkeypatch):
    tree.copy_object("cube", "copy")
    copy = tree.object_data["copy"]
    assert isinstance(copy.array("amplitude"), np.memmap)
    assert "p.copy.amplitude.npy" in folder_files(tmp_path)
    reopened = ProjectDatabase.open(tmp_path / "p.lmd").load_object("copy")
    for name, array in values(reopened).items():
        np.testing.assert_array_equal(array, tree.object_data["cube"].array(name))

    def full(fd, offset, length):
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

    files = folder_files(tmp_path)
    monkeypatch.setattr(os, "posix_fallocate", full)
    with pytest.raises(OSError, match="No space"):
        tree.copy_object("cube", "second")
    assert "second" not in tree.object_data and folder_files(tmp_path) == files
    assert "second" not in tree.main.database.object_names()


def test_tree_stores_a_data_file(tree, qtbot):
    data_file = tree.main.database.new_data_file("cube", "zeros", np.float32, (12, 5, 6))
    with qtbot.waitSignal(tree.sigObjectChanged):
        entry = tree.store_data_file("cube", "zeros", data_file, unit="m")
    assert entry["unit"] == "m" and tree.object_item("cube").childCount() == 3


# Imports into a new project

# (signal, where the command gets it: function, before or after calling it, which call)
IMPORT_KILLS = {
    "copying": (signal.SIGKILL, "gemlo.io.segy:SegyImport._chunk_done", "after", 1),
    "linked": (signal.SIGKILL, "gemlo.storage.datafile:DataFile.link", "after", 1),
    "in commit": (signal.SIGKILL, "gemlo.storage.database:ProjectDatabase._write", "after", 1),
    "both names": (signal.SIGKILL, "os:unlink", "before", 1),
    "SIGTERM copying": (signal.SIGTERM, "gemlo.io.segy:SegyImport._chunk_done", "after", 1),
    "SIGHUP in commit": (
        signal.SIGHUP,
        "gemlo.storage.database:ProjectDatabase._write",
        "after",
        1,
    ),
}

IMPORTER = """
import functools, importlib, os, sys
from gemlo.app.__main__ import main

def signal_at(signum, target, when, call):
    module, path = target.split(":")
    *owner, name = path.split(".")
    owner = functools.reduce(getattr, owner, importlib.import_module(module))
    real, calls = getattr(owner, name), []

    def dying(*args, **kwargs):
        calls.append(1)
        if when == "before" and len(calls) == call:
            os.kill(os.getpid(), signum)
        result = real(*args, **kwargs)
        if when == "after" and len(calls) == call:
            os.kill(os.getpid(), signum)
        return result

    setattr(owner, name, dying)

if len(sys.argv) > 1:
    signal_at(int(sys.argv[1]), sys.argv[2], sys.argv[3], int(sys.argv[4]))
sys.exit(main(["import-segy", "field.sgy", "p.lmd"]))
"""


@pytest.mark.parametrize("point", IMPORT_KILLS)
def test_interrupted_import_leaves_nothing_and_runs_again(tmp_path, point):
    from test_segy_import import write_segy

    data, _xy = write_segy(tmp_path / "field.sgy")
    signum, target, when, call = IMPORT_KILLS[point]
    done = run_python(IMPORTER, tmp_path, str(int(signum)), target, when, str(call), check=False)
    if signum == signal.SIGKILL:
        assert done.returncode == -signal.SIGKILL
    else:
        assert done.returncode == 130 and "interrupted" in done.stderr, done.stderr
        assert folder_files(tmp_path) == ["field.sgy"]
    again = run_python(IMPORTER, tmp_path, check=False)
    # Killed after the project took its name, the import was done: it is not made twice.
    assert again.returncode == (1 if point == "both names" else 0), again.stderr
    assert folder_files(tmp_path) == ["field.sgy", "p.field.amplitude.npy", "p.lmd"]
    cube = ProjectDatabase.open(tmp_path / "p.lmd").load_object("field")
    np.testing.assert_array_equal(cube.array("amplitude"), data)


def test_save_stores_what_a_script_changed(main_window, tmp_path, monkeypatch):
    monkeypatch.setattr(chunks, "MAPPED_BYTES", 1 << 16)
    assert main_window.run_script(
        "cube = self.treebase.object_data['cube']\n"
        "cube.prop['amplitude']['array3d'] = cube.array('amplitude').astype('float64')"
    )
    main_window.save_project()
    cube = ProjectDatabase.open(tmp_path / "project.lmd").load_object("cube")
    assert cube.array("amplitude").dtype == np.float64
    assert isinstance(cube.array("amplitude"), np.memmap)
    assert "project.cube.amplitude.npy" in folder_files(tmp_path)


@pytest.mark.parametrize(
    "script, chunked",
    [
        ("import numpy as np\na = np.where(b > 0, np.sqrt(a), -1.5)\nb += 1", True),
        ("k = a.astype('float64') * 2\na = abs(k) >= 1", True),
        ("a = a - a.mean()", False),  # a reduction over the whole array
        ("a = a[::-1]", False),
        ("import numpy as np\na = np.where(a > 0)", False),  # indices, not values
        ("import os\na = a * 2", False),
        ("a = b @ a", False),
    ],
)
def test_calculator_chunks_only_value_by_value_scripts(script, chunked):
    from gemlo.processing.calculator import elementwise_plan

    assert (elementwise_plan(script, ["a", "b"]) is not None) == chunked


def test_files_the_project_did_not_make_are_never_removed(tree, tmp_path):
    db = tree.main.database
    # A cube the user mapped from a file of their own, then changed with the calculator.
    np.save(tmp_path / "mine.npy", AMPLITUDE)
    mine = np.load(tmp_path / "mine.npy", mmap_mode="r+")
    tree.create_property("cube", "mine", mine)
    tree.run_property_script("cube", "mine = mine * 2")
    # A name recorded as being made, then taken by a file of the user's.
    with db._conn:
        db._conn.execute("INSERT INTO pending_files VALUES ('p.cube.x.npy', 1, 2, 999999999)")
    (tmp_path / "p.cube.x.npy").write_bytes(b"precious")
    db.close()
    db = ProjectDatabase.open(tmp_path / "p.lmd")
    np.testing.assert_array_equal(np.load(tmp_path / "mine.npy"), AMPLITUDE)
    np.testing.assert_array_equal(db.load_object("cube").array("mine"), AMPLITUDE * 2)
    assert (tmp_path / "p.cube.x.npy").read_bytes() == b"precious"
    assert db._conn.execute("SELECT COUNT(*) FROM pending_files").fetchone() == (0,)


def test_output_file_all_or_nothing(tmp_path):
    target = tmp_path / "out.bin"
    target.write_bytes(b"old")
    with OutputFile(target) as out:
        out.write(b"new bytes")
    assert target.read_bytes() == b"old"  # no commit: untouched
    with pytest.raises(RuntimeError), OutputFile(target) as out:
        out.write(b"half")
        raise RuntimeError
    assert target.read_bytes() == b"old"
    with OutputFile(target) as out:
        out.write(b"new")
        os.pwrite(out.fileno(), b"!", 3)
        out.commit()
    assert target.read_bytes() == b"new!"
    assert sorted(os.listdir(tmp_path)) == ["out.bin"]
    umask = os.umask(0)
    os.umask(umask)
    assert stat.S_IMODE(target.stat().st_mode) == 0o666 & ~umask
