"""Which files a project may touch.

A project file names other files (data files, files being written, files it made):
those names are read back from a file anyone can edit, so each is taken as a plain
name of a file in the project's folder and nothing else. A name that is absolute,
climbs out, holds a separator, leads through a link out of the folder, or names the
project file itself is damage: the file is never opened, mapped, written or removed.
"""

import os
import sqlite3
import stat
import urllib.parse
from pathlib import Path

# The longest value (text or blob) read from a project: a blob of values this size or
# larger goes into a data file of its own, so a larger one is damage.
MAX_VALUE = (32 << 20) + (1 << 20)
# The project file's own companions, which SQLite writes beside it.
SIDECARS = ("", "-journal", "-wal", "-shm")


class UnsafeName(ValueError):
    """A file name read from a project that does not name a file in its folder."""


def resolve(project, name):
    """The path of the file `name` that the project file `project` records, once it is
    a plain name of a file in the project's folder (resolved through links, if any)."""
    folder = os.path.dirname(os.path.abspath(project))
    if not isinstance(name, str) or not name:
        raise UnsafeName(f"{name!r} is not a file name")
    if "\0" in name or os.sep in name or (os.altsep and os.altsep in name):
        raise UnsafeName(f"{name!r} is not a plain name of a file in the project's folder")
    if name in (".", ".."):
        raise UnsafeName(f"{name!r} names a folder")
    base = os.path.basename(os.path.abspath(project))
    if any(name == base + suffix for suffix in SIDECARS):
        raise UnsafeName(f"{name!r} is the project file itself")
    real = os.path.realpath(os.path.join(folder, name))
    if os.path.dirname(real) != os.path.realpath(folder):
        raise UnsafeName(f"{name!r} leads out of the project's folder {folder}")
    try:
        same = os.path.samefile(real, project)
    except FileNotFoundError:
        same = False
    except OSError as error:
        raise UnsafeName(f"{name!r} cannot be looked up: {error.strerror}") from None
    if same:
        raise UnsafeName(f"{name!r} is the project file itself")
    return real


def removable(project, name, identity, pattern):
    """The path of the file `name` of the project `project` if it may be removed as
    debris: a regular file (not a link) in the project's folder whose name matches
    `pattern` (a compiled regular expression) and whose (device, inode) is `identity`,
    recorded when it was made. Raises UnsafeName saying why not; FileNotFoundError if
    it is gone."""
    path = resolve(project, name)
    if not pattern.fullmatch(name):
        raise UnsafeName(f"{name!r} is not the name of a file this application makes")
    if identity is None or None in identity:
        raise UnsafeName(f"{name!r} was recorded without the identity of its file")
    path = os.path.join(os.path.dirname(os.path.abspath(project)), name)
    st = os.lstat(path)
    if not stat.S_ISREG(st.st_mode):
        raise UnsafeName(f"{name!r} is not a regular file")
    if (st.st_dev, st.st_ino) != tuple(identity):
        raise UnsafeName(f"{name!r} is not the file recorded under that name")
    return path


def names_files(path):
    """The data file names that the project file `path` records; None when that cannot
    be told (a damaged or busy file may name any)."""
    uri = "file:" + urllib.parse.quote(os.fsencode(os.path.abspath(path))) + "?mode=ro"
    try:
        conn = sqlite3.connect(uri, uri=True)
    except sqlite3.Error:
        return None
    try:
        conn.setlimit(sqlite3.SQLITE_LIMIT_LENGTH, MAX_VALUE)
        tables = {r[0] for r in conn.execute("SELECT name FROM sqlite_master")}
        names = set()
        for table in ("property_files", "pending_files", "owned_files"):
            if table in tables:
                names.update(r[0] for r in conn.execute(f"SELECT file FROM {table}"))  # noqa: S608
        return names
    except sqlite3.DatabaseError as error:
        if getattr(error, "sqlite_errorname", "") == "SQLITE_NOTADB":
            return set()  # not a database: it names nothing
        return None
    finally:
        conn.close()


def named_elsewhere(project, name, candidates):
    """The other project file in `project`'s folder that may name the data file `name`
    (a copy of the project, a project being built), or None. Files whose name matches
    `candidates` (a compiled regular expression) are asked; one that cannot be read, or
    a link, counts as naming it."""
    this = Path(project).absolute()
    try:
        entries = list(os.scandir(this.parent))
    except OSError:
        return str(this.parent)
    for entry in entries:
        if entry.name in (this.name, name) or not candidates.fullmatch(entry.name):
            continue
        try:
            if entry.is_symlink() or os.path.samefile(entry.path, this):
                if entry.is_symlink():
                    return entry.path
                continue
        except OSError:
            return entry.path
        names = names_files(entry.path)
        if names is None or name in names:
            return entry.path
    return None
