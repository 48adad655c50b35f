"""Writes under faults: data files, the calculator, imports and copies are all or nothing."""

import errno
import os
import signal
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

import gemlo
from gemlo.app import datafile as datafile_module
from gemlo.app import project
from gemlo.app.project import ProjectDatabase
from gemlo.data.dataobject import DataObject

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
    monkeypatch.setattr(project, "MAPPED_BYTES", 400)
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


def run_python(code, cwd, *args, check=True):
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([HOST, os.environ.get("PYTHONPATH", "")])}
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *args],
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
    "link": ("gemlo.app.datafile.DataFile.link", "before"),
    "linked": ("gemlo.app.datafile.DataFile.link", "after"),
    "in commit": ("gemlo.app.project.ProjectDatabase._write", "after"),
    "committed": ("gemlo.app.project.ProjectDatabase._sweep", "before"),
}

KILLER = """
import importlib, os, signal, sys
import numpy as np
from gemlo.app.project import ProjectDatabase

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


def test_data_file_module_constants():
    assert datafile_module.HIDDEN.fullmatch(".gemlo-data-0123456789ab.npy.part")
