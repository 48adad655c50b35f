"""Projects whose tables were edited by hand, interrupts and races while storing: the
project and every file outside it survive, and the user reads a message."""

import os
import random
import shutil
import signal
import sqlite3
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from qtpy.QtWidgets import QMessageBox
from test_open_faults import HOST, fingerprint, make_project
from test_segy_import import write_segy
from test_wells import DEPTH, GR, las_text

from gemlo.app.__main__ import main
from gemlo.io import sample
from gemlo.processing.runner import ProcessJob
from gemlo.storage import chunks, database, safepath
from gemlo.storage.database import ProjectDatabase
from gemlo.storage.errors import DamagedProject

DEAD = 999_999_999  # the pid of no process
CUBE = "b.cube.amp.npy"


def victim_folder(tmp_path):
    victim = tmp_path / "victim"
    victim.mkdir()
    (victim / "important.txt").write_text("keep me\n")
    np.save(victim / "cube.npy", np.full((4, 5, 6), 7, np.float32))
    (victim / ".gemlo-data-0123456789ab.npy.part").write_bytes(b"\x93NUMPY")
    return victim


def sql(path, statement, *args):
    with sqlite3.connect(path) as conn:
        conn.execute(statement, args)
    conn.close()


def pending(name_of):
    """A row of a dead writer naming a file, with that file's device and inode."""

    def craft(path, victim):
        name = name_of(path, victim)
        st = os.lstat(path.parent / name)
        sql(
            path, "INSERT INTO pending_files VALUES (?, ?, ?, ?)", name, st.st_dev, st.st_ino, DEAD
        )

    return craft


def data_file(name_of):
    def craft(path, victim):
        sql(
            path, "UPDATE property_files SET file = ? WHERE object = 'cube'", name_of(path, victim)
        )

    return craft


def link_out(path, victim):
    (path.parent / CUBE).unlink()
    (path.parent / CUBE).symlink_to(victim / "cube.npy")


def planted_build(path, victim):
    shutil.copy(path, path.parent / f".{path.name}.{DEAD}-000000000000.part")


# craft -> what opening it in the window does: "opens" whole, the cube "left out", or
# the open "refused".
CRAFTED = {
    "pending climbs": (pending(lambda p, v: "../victim/important.txt"), "opens"),
    "pending absolute": (pending(lambda p, v: str(v / "important.txt")), "opens"),
    "pending hidden elsewhere": (
        pending(lambda p, v: "../victim/.gemlo-data-0123456789ab.npy.part"),
        "opens",
    ),
    "pending names the project": (pending(lambda p, v: p.name), "opens"),
    "data file absolute": (data_file(lambda p, v: str(v / "cube.npy")), "left out"),
    "data file climbs": (data_file(lambda p, v: "../victim/cube.npy"), "left out"),
    "data file is the project": (data_file(lambda p, v: p.name), "left out"),
    "data file links out": (link_out, "left out"),
    "deep viewers": (
        lambda p, v: sql(p, "UPDATE viewers SET state = ?", "[" * 100000 + "]" * 100000),
        "refused",
    ),
    "planted build": (planted_build, "opens"),
}
OPENERS = ["window", "process", "import-las", "import-zmap", "import-segy"]


@pytest.fixture
def resolved(monkeypatch):
    """Every path the application resolves from a project's names, or maps."""
    paths = []
    real_resolve, real_open = safepath.resolve, database.open_mapped

    def resolve(*args):
        paths.append(real_resolve(*args))
        return paths[-1]

    def open_mapped(path, *args, **kwargs):
        paths.append(os.path.realpath(path))
        return real_open(path, *args, **kwargs)

    monkeypatch.setattr(safepath, "resolve", resolve)
    monkeypatch.setattr(database, "open_mapped", open_mapped)
    return paths


@pytest.mark.parametrize("opener", OPENERS)
@pytest.mark.parametrize("craft", CRAFTED)
def test_a_crafted_project_touches_nothing_outside_it(
    request, tmp_path, monkeypatch, capsys, resolved, craft, opener
):
    victim = victim_folder(tmp_path)
    path = make_project(tmp_path / "b")
    cube = (path.parent / CUBE).read_bytes()
    damage, outcome = CRAFTED[craft]
    damage(path, victim)
    before = fingerprint(victim), sorted(os.listdir(victim))
    if opener == "window":
        window = request.getfixturevalue("main_window")
        if outcome == "refused":
            with pytest.raises(DamagedProject, match="nests 100000 levels"):
                window.open_project(path)
        else:
            window.open_project(path)
            assert ("cube" in window.treebase.unreadable) == (outcome == "left out")
    else:
        write(tmp_path / "w.las", las_text([DEPTH, GR]))
        write(tmp_path / "t.zmap", sample.sample_zmap_text())
        write_segy(tmp_path / "f.sgy")
        args = {
            "process": ["process", str(path), "cube", "envelope", "--property", "amp"],
            "import-las": ["import-las", str(tmp_path / "w.las"), str(path)],
            "import-zmap": ["import-zmap", str(tmp_path / "t.zmap"), str(path)],
            "import-segy": ["import-segy", str(tmp_path / "f.sgy"), str(path.with_name("s.lmd"))],
        }[opener] + (["--output", "env"] if opener == "process" else [])
        code = main(args)
        err = capsys.readouterr().err
        assert code == (1 if opener == "process" and outcome == "left out" else 0), err
        assert "Traceback" not in err
    assert (fingerprint(victim), sorted(os.listdir(victim))) == before
    if craft != "data file links out":
        assert (path.parent / CUBE).read_bytes() == cube
    inside = os.path.realpath(path.parent) + os.sep
    assert resolved and all(p.startswith(inside) for p in resolved), resolved


def write(path, text):
    path.write_text(text)
    return path


def readable(path):
    """Every object of the project, loaded with all its values read."""
    db = ProjectDatabase.open(path)
    try:
        objects = {n: db.load_object(n) for n in db.object_names()}
        return {n: {p: np.array(d.array(p)) for p in d.prop} for n, d in objects.items()}
    finally:
        db.close()


STEPS = {"synced": 130, "named": 130, "written": 0, "committed": 0, "entries": 0}


@pytest.mark.parametrize("step", STEPS)
def test_an_interrupt_at_each_step_of_a_store(tmp_path, monkeypatch, capsys, step):
    path = make_project(tmp_path / "b")
    monkeypatch.setattr(chunks, "MAPPED_BYTES", 1)  # the result goes into a data file

    def hook(_db, name):
        if name == step:
            os.kill(os.getpid(), signal.SIGTERM)

    monkeypatch.setattr(ProjectDatabase, "step_hook", hook)
    code = main(["process", str(path), "cube", "envelope", "--output", "bp"])
    out, err = capsys.readouterr()
    assert code == STEPS[step], err
    monkeypatch.setattr(ProjectDatabase, "step_hook", None)
    stored = readable(path)["cube"]
    if code:
        assert "unchanged" in err and "bp" not in stored
        assert sorted(os.listdir(path.parent)) == ["b.cube.amp.npy", "b.lmd"]
    else:
        assert f"Stored cube.bp in {path}" in out and stored["bp"].shape == (4, 5, 6)


def test_two_runs_storing_one_name_and_save_over_a_command(
    tmp_path, main_window, capsys, monkeypatch
):
    path = make_project(tmp_path / "b")
    jobs = []
    for _ in range(2):
        db = ProjectDatabase.open(path)
        job = ProcessJob(db.load_object("cube"), "amp", "envelope", "bp")
        job.compute(job.make_output(db))
        jobs.append((db, job))
    jobs[0][1].store(database=jobs[0][0])
    with pytest.raises(ValueError, match="stored meanwhile"):
        jobs[1][1].store(database=jobs[1][0])
    for db, _job in jobs:
        db.close()
    first = readable(path)["cube"]["bp"]
    # The window has the project open while a command stores into it; then Save.
    main_window.open_project(path)
    assert main(["process", str(path), "cube", "phase", "--property", "amp", "--output", "c"]) == 0
    main_window.save_project()
    stored = readable(path)["cube"]
    np.testing.assert_array_equal(stored["bp"], first)
    assert {"amp", "bp", "c"} <= set(stored)
    # The window's own run, into a data file, checks the name again as it stores.
    monkeypatch.setattr(chunks, "MAPPED_BYTES", 1)
    job = ProcessJob(main_window.treebase.object_data["cube"], "amp", "envelope", "late")
    job.compute(job.make_output(main_window.database))
    assert job.data_file is not None
    assert (
        main(["process", str(path), "cube", "phase", "--property", "amp", "--output", "late"]) == 0
    )
    with pytest.raises(ValueError, match="stored meanwhile"):
        job.store(tree=main_window.treebase)


def test_a_copy_in_the_same_folder_keeps_its_data(tmp_path):
    path = make_project(tmp_path / "b")
    shutil.copy(path, path.with_name("b_backup.lmd"))
    db = ProjectDatabase.open(path)
    dob = db.load_object("cube")
    db.store_properties(dob, {"amp": np.zeros((4, 5, 6), np.float32)})
    db.close()
    kept = readable(path.with_name("b_backup.lmd"))["cube"]["amp"]
    assert kept.sum() == np.arange(1, 121).sum()


def test_a_file_cut_short_under_the_percentile_kernel_is_an_error(tmp_path):
    # A map the size check cannot see (a bare memoryview), cut short before the read: the
    # kernel meets the lost pages, as it would were the file cut during a long pass.
    script = textwrap.dedent(f"""
        import mmap, os
        import numpy as np
        from gemlo.widgets import statgrid
        path = {str(tmp_path / "v.bin")!r}
        np.arange(1 << 22, dtype=np.float32).tofile(path)
        fd = os.open(path, os.O_RDWR)
        values = np.frombuffer(memoryview(mmap.mmap(fd, 0)), np.float32)
        os.ftruncate(fd, 1 << 20)
        try:
            statgrid.add_array_percentile({{"array3d": values}})
        except OSError as error:
            print("refused:", error)
    """)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert "refused: the data file of these values was cut short" in run.stdout


def test_a_file_cut_short_during_processing_is_an_error(tmp_path):
    path = make_project(tmp_path / "b", shape=(64, 32, 256))
    script = textwrap.dedent(f"""
        import os
        from gemlo.storage.database import ProjectDatabase
        from gemlo.processing.runner import ProcessJob
        db = ProjectDatabase.open({str(path)!r})
        def cut(done, total):
            os.truncate({str(path.with_name(CUBE))!r}, 4096)
        job = ProcessJob(db.load_object("cube"), "amp", "envelope", "e", chunk_bytes=32768,
                         workers=1, progress=cut)
        try:
            job.compute()
        except OSError as error:
            print(error)
    """)
    done = subprocess.run(
        [sys.executable, "-c", script],
        env={**os.environ, "PYTHONPATH": HOST},
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0 and "truncated while in use" in done.stdout, done


def test_a_killed_new_project_leaves_no_stub(tmp_path):
    from test_write_faults import IMPORTER

    las = write(tmp_path / "w.las", las_text([DEPTH, GR]))
    script = IMPORTER.replace(
        '["import-segy", "field.sgy", "p.lmd"]', f'["import-las", {str(las)!r}, "p.lmd"]'
    )
    run = [sys.executable, "-c", script]
    env = {**os.environ, "PYTHONPATH": HOST}
    killed = subprocess.run([*run, "9", "sqlite3:connect", "after", "1"], cwd=tmp_path, env=env)
    assert killed.returncode == -signal.SIGKILL
    again = subprocess.run(run, cwd=tmp_path, env=env, capture_output=True, text=True)
    assert again.returncode == 0, again.stderr
    assert sorted(os.listdir(tmp_path)) == ["p.lmd", "w.las"]


COLUMNS = {
    "objects": ["name", "prop_array_key", "viewable_in_plot", "meta"],
    "properties": ["object", "name", "position", "dtype", "shape", "data", "extra"],
    "property_files": ["file"],
    "pending_files": ["file", "device", "inode", "pid"],
    "owned_files": ["file", "device", "inode"],
    "survey": ["name", "sgmt"],
    "viewers": ["name", "state", "shown"],
}


def random_value(rng, victim):
    return rng.choice(
        [
            None,
            rng.randint(-(2**63), 2**63 - 1),
            rng.randint(-3, 3),
            rng.random() * 1e300,
            float("nan"),
            rng.randbytes(rng.randint(0, 64)),
            "".join(rng.choice('[]{}",:0123456789.e-abcO<f4') for _ in range(rng.randint(0, 40))),
            "../victim/important.txt",
            str(victim / "cube.npy"),
            "[" * rng.randint(1, 3000),
            '{"a": ' * 70 + "1" + "}" * 70,
            "[-1, 5, 6]",
            "[4, 5, 99999999999]",
            "|O",
            "<f4",
            "b.lmd",
        ]
    )


def test_fuzzed_tables_always_give_a_message(tmp_path, main_window, monkeypatch, capsys):
    rng = random.Random(20261208)
    victim = victim_folder(tmp_path)
    before = fingerprint(victim)
    base = make_project(tmp_path / "base")
    monkeypatch.setattr(QMessageBox, "warning", lambda *args: None)
    for n in range(60):
        folder = tmp_path / f"f{n}"
        shutil.copytree(base.parent, folder)
        path = folder / "b.lmd"
        for _ in range(rng.randint(1, 3)):
            table = rng.choice(list(COLUMNS))
            column = rng.choice(COLUMNS[table])
            try:
                sql(path, f"UPDATE {table} SET {column} = ?", random_value(rng, victim))  # noqa: S608
            except sqlite3.DatabaseError:
                pass  # a constraint refused it
        assert main_window._report_errors(main_window.open_project, path) in (True, False)
        code = main(["process", str(path), "cube", "envelope", "--output", f"e{n}"])
        err = capsys.readouterr().err
        assert code in (0, 1) and "Traceback" not in err
        assert fingerprint(victim) == before


def sparse_segy(path):
    """A SEG-Y file of 2**20 + 1 one-sample traces whose headers are all zero (a hole)."""
    head = bytearray(3600)
    head[3216:3218], head[3220:3222], head[3224:3226] = b"\x0f\xa0", b"\x00\x01", b"\x00\x05"
    path.write_bytes(bytes(head))
    os.truncate(path, 3600 + (2**20 + 1) * 244)
    return ["import-segy", str(path), str(path.with_name("s.lmd"))]


def zmap_text(line):
    return f"@G, GRID, 5\n15, 1e30, , 4, 1\n{line}\n0,0,0\n@\n1 2 3 4\n"


def envelope_of(project):
    """The command that computes the envelope of the cube's "amp" into "e"."""
    return ["process", str(project), "cube", "envelope", "--property", "amp", "--output", "e"]


BOUNDS = {
    "las curves": (
        lambda p: ["import-las", str(write(p / "w.las", "~C\n" + "C.M : c\n" * 2001)), "n.lmd"],
        "more than 2000 curves",
    ),
    "las header line": (
        lambda p: ["import-las", str(write(p / "w.las", "~V" + " " * 70000 + "\n")), "n.lmd"],
        "line 1 is longer",
    ),
    "zmap data line": (
        lambda p: [
            "import-zmap",
            str(write(p / "g.zmap", zmap_text("2, 2, 0, 1, 0, 1") + "1 " * 40000)),
            "b/b.lmd",
        ],
        "line 7 is longer than 65536 characters",
    ),
    "zmap values": (
        lambda p: [
            "import-zmap",
            str(write(p / "g.zmap", zmap_text("9000, 9000, 0, 1, 0, 1"))),
            "b/b.lmd",
        ],
        "bytes can hold",
    ),
    "sparse segy": (lambda p: sparse_segy(p / "f.sgy"), "traces 1 and 2 both hold inline 0"),
    "nested record": (
        lambda p: (
            sql(p / "b/b.lmd", "UPDATE properties SET extra = ?", "[" * 5000 + "]" * 5000)
            or envelope_of(p / "b/b.lmd")
        ),
        "nests 5000 levels",
    ),
    "device as project": (
        lambda p: write_segy(p / "f.sgy") and ["import-segy", str(p / "f.sgy"), "/dev/null"],
        "not a regular file",
    ),
    "huge record": (
        lambda p: (
            sql(p / "b/b.lmd", "UPDATE objects SET meta = ?", " " * (40 << 20))
            or envelope_of(p / "b/b.lmd")
        ),
        "string or blob too big",
    ),
}


@pytest.mark.parametrize("case", BOUNDS)
def test_inputs_beyond_bounds_are_refused_early(tmp_path, monkeypatch, capsys, case):
    make_project(tmp_path / "b")
    monkeypatch.chdir(tmp_path)
    make_args, says = BOUNDS[case]
    assert main(make_args(tmp_path)) == 1
    assert says in capsys.readouterr().err
