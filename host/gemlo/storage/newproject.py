"""A new project built whole under a hidden name, which takes its own name only when it
is complete: nothing is left behind when the build fails or is interrupted, and what a
killed build left is removed by the next one in that folder."""

import os
import re
import secrets
import sqlite3
from contextlib import contextmanager
from pathlib import Path

from gemlo.storage import cubes, interrupts, safepath
from gemlo.storage.database import ProjectDatabase
from gemlo.storage.datafile import HIDDEN, fsync_folder, pid_alive
from gemlo.storage.paths import BUILDING, PROJECT_FILES, check_new_file_name, with_extension


def prepare(project_path):
    """The absolute path of the new project `project_path` (".lmd" added if missing), once
    the debris of killed builds beside it is removed and its longest hidden name fits.
    An existing project is refused with FileExistsError."""
    project_path = with_extension(Path(project_path).expanduser().absolute())
    if project_path.parent.is_dir():
        remove_dead_builds(project_path.parent)
    if project_path.exists():
        raise FileExistsError(f"Cannot create the project: {project_path} already exists")
    check_new_file_name(
        project_path,
        f"..{os.getpid()}-{'0' * 12}.part-journal",
        "the hidden name the project is built under and its journal",
    )
    return project_path


@contextmanager
def building(project_path):
    """A ProjectDatabase to fill, created under a hidden name in the folder of
    `project_path` (see prepare); it is closed and takes its name when the block ends, or
    is removed with its data files when the block raises. Once it has its name, it is
    made: an interrupt waits (see gemlo.storage.interrupts)."""
    folder = project_path.parent
    folder.mkdir(parents=True, exist_ok=True)
    hidden = folder / f".{project_path.name}.{os.getpid()}-{secrets.token_hex(6)}.part"
    database = None
    try:
        database = ProjectDatabase.create(hidden, name=project_path.stem)
        yield database
        database.close()
        with interrupts.deferred():
            # A link, not a rename: a project made meanwhile under that name stays.
            os.link(hidden, project_path)
            os.unlink(hidden)
            fsync_folder(folder)
    except BaseException:
        if database is not None:
            database.close()
            remove_build(hidden, project_path)
        raise


def remove_dead_builds(folder):
    """Remove what killed builds of new projects in `folder` left behind."""
    for entry in os.scandir(folder):
        match = BUILDING.fullmatch(entry.name)
        if match is None or not entry.is_file(follow_symlinks=False):
            continue
        pid = int(match["pid"])
        if pid != os.getpid() and pid_alive(pid):
            continue
        with open(entry.path, "rb") as fp:
            head = fp.read(16)
        if head in (b"", b"SQLite format 3\0"):  # killed before or after its first write
            remove_build(Path(entry.path), Path(folder) / match["name"])


def remove_build(hidden, project_path):
    """Remove a project being built and the data files it made; the project it became,
    if it got that far, stays."""
    if not hidden.exists():
        return
    if project_path.exists() and os.path.samefile(hidden, project_path):
        hidden.unlink()
        return
    made = []
    try:
        conn = sqlite3.connect(hidden)  # rolls a half-written transaction back
        try:
            conn.setlimit(sqlite3.SQLITE_LIMIT_LENGTH, safepath.MAX_VALUE)
            cubes.remove_recorded(conn, hidden.parent, project_path.stem)
            for table in ("owned_files", "pending_files"):
                made += conn.execute(f"SELECT file, device, inode FROM {table}").fetchall()  # noqa: S608
        finally:
            conn.close()
    except sqlite3.DatabaseError:
        pass  # killed before the tables were made, or not a build of ours
    # Only the names this build gives its data files, beside the project, each the file
    # recorded under it, and none that another project in the folder names.
    own = re.compile(re.escape(f"{project_path.stem}.") + r".+\.npy|" + HIDDEN.pattern)
    for rel, device, inode in made:
        try:
            path = safepath.removable(hidden, rel, (device, inode), own)
            other = safepath.named_elsewhere(hidden, rel, PROJECT_FILES)
        except (OSError, ValueError):
            continue
        if other is None:
            os.unlink(path)
    for suffix in ("", "-journal", "-wal", "-shm"):
        Path(f"{hidden}{suffix}").unlink(missing_ok=True)
