"""The project file: an SQLite database holding the survey and the data objects."""

import datetime
import json
import mmap
import os
import re
import sqlite3
from pathlib import Path

import numpy as np
from numpy.lib import format as npy_format

from gemlo.app.datafile import HIDDEN, DataFile, copy_chunked, fsync_folder
from gemlo.data.dataobject import DataObject
from gemlo.utils.convert_grid import Survey
from gemlo.utils.logger import logger

EXTENSION = ".lmd"
# A property attribute derived from its values, never stored.
CACHED = "arrayPercentiles"
FORMAT = "gemlo-project"
VERSION = 1
# A property array of at least this many bytes lives in a .npy file of its own beside
# the project (memory-mapped), never in the database.
MAPPED_BYTES = 32 << 20

_SCHEMA = """
CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE survey (
    id INTEGER PRIMARY KEY CHECK (id = 1),
    name TEXT NOT NULL,
    sgmt TEXT NOT NULL
);
CREATE TABLE objects (
    name TEXT PRIMARY KEY,
    prop_array_key TEXT NOT NULL,
    viewable_in_plot INTEGER NOT NULL,
    meta TEXT NOT NULL
);
CREATE TABLE properties (
    object TEXT NOT NULL REFERENCES objects (name) ON DELETE CASCADE ON UPDATE CASCADE,
    name TEXT NOT NULL,
    position INTEGER NOT NULL,
    dtype TEXT NOT NULL,
    shape TEXT NOT NULL,
    data BLOB NOT NULL,
    extra TEXT NOT NULL,
    PRIMARY KEY (object, name)
);
"""


# Properties whose values live in a .npy file beside the project, memory-mapped
# rather than loaded (imported cubes can be larger than memory). Their row in
# `properties` keeps dtype and shape, with an empty blob. Files made before this
# table existed get it when opened.
_FILES_SCHEMA = """
CREATE TABLE IF NOT EXISTS property_files (
    object TEXT NOT NULL,
    name TEXT NOT NULL,
    file TEXT NOT NULL,
    PRIMARY KEY (object, name),
    FOREIGN KEY (object, name) REFERENCES properties (object, name)
        ON DELETE CASCADE ON UPDATE CASCADE
);
"""


# Data files the project makes. `pending_files` names a file before it gets that name
# (with the file's device and inode, and the process making it): if that process dies
# before the property refers to the file, the next open removes it. `owned_files` lists
# the files the project made; one that no property refers to any more is removed.
_DATA_FILES_SCHEMA = """
CREATE TABLE IF NOT EXISTS pending_files (
    file TEXT PRIMARY KEY,
    device INTEGER,
    inode INTEGER,
    pid INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS owned_files (file TEXT PRIMARY KEY);
"""


def _alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def _file_stem(text):
    # Any object or property name gives a plain, not too long file name.
    return re.sub(r"[^\w.-]", "_", text)[:160]


def _mapped_file(array):
    """The .npy file of which `array` is the whole memory map, or None.

    A copy-on-write map ("c") does not count: its changes are not in the file.
    """
    if not (
        isinstance(array, np.memmap)
        and isinstance(array.base, mmap.mmap)
        and array.filename
        and array.mode in ("r", "r+", "w+")
    ):
        return None
    try:
        with open(array.filename, "rb") as fp:
            read_header = (
                npy_format.read_array_header_1_0
                if npy_format.read_magic(fp) == (1, 0)
                else npy_format.read_array_header_2_0
            )
            shape, fortran, dtype = read_header(fp)
            offset = fp.tell()
    except (OSError, ValueError):
        return None
    if (
        (shape, dtype, offset) != (array.shape, array.dtype, array.offset)
        or fortran
        or not array.flags.c_contiguous
    ):
        return None
    return array.filename


def _open_mapped(path):
    try:
        return npy_format.open_memmap(path, "r+")
    except PermissionError:
        return npy_format.open_memmap(path, "r")


# Added after the first files were written: made on the first save, so that older
# (and read-only) files still open.
_VIEWERS_TABLE = """
CREATE TABLE IF NOT EXISTS viewers (
    position INTEGER PRIMARY KEY,
    name TEXT NOT NULL UNIQUE,
    state TEXT NOT NULL,
    shown TEXT NOT NULL
)
"""


def selection_texts(selection):
    """A choice of external modules as stored: "True" for a module that is on, else "False"."""
    return {k: str(v is True or v == "True") for k, v in selection.items()}


def _json_default(value):
    # numpy scalars and small arrays among a property's attributes
    if isinstance(value, (np.generic, np.ndarray)):
        return value.tolist()
    raise TypeError(f"cannot store a value of type {type(value).__name__} in the project")


def _dumps(value):
    return json.dumps(value, default=_json_default)


def _pack(array):
    array = np.asarray(array)
    if array.dtype.hasobject:
        raise TypeError("cannot store an array of Python objects in the project")
    # tobytes() writes C order whatever the array's memory layout.
    return array.dtype.str, json.dumps(array.shape), array.tobytes()


def _unpack(dtype, shape, data):
    # frombuffer gives a read-only view on the blob; properties must be editable.
    return np.frombuffer(data, dtype=np.dtype(dtype)).reshape(json.loads(shape)).copy()


class ProjectDatabase:
    """An open project file. Every change is committed when the method returns."""

    def __init__(self, path, connection, name=None):
        self.path = str(path)
        # The name its data files are named after: a project built under a temporary
        # name has its final one.
        self._name = name
        self._conn = connection
        self._conn.execute("PRAGMA foreign_keys = ON")
        # Hidden data files this object named, whose writers are alive.
        self._claims = set()
        try:
            self._conn.executescript(_FILES_SCHEMA + _DATA_FILES_SCHEMA)
        except sqlite3.OperationalError:
            pass  # a read-only file: it can still be read
        if self._read_only_reason() is None:
            self._remove_debris()

    @classmethod
    def create(cls, path, name=None):
        """Create a new project file at `path`; an existing file is never touched."""
        path = Path(path)
        if path.exists():
            raise FileExistsError(f"Cannot create the project: {path} already exists")
        path.parent.mkdir(parents=True, exist_ok=True)
        try:
            # Exclusive creation: a file appearing meanwhile is not overwritten either.
            with open(path, "xb"):
                pass
        except FileExistsError:
            raise FileExistsError(f"Cannot create the project: {path} already exists") from None
        try:
            conn = sqlite3.connect(path)
            with conn:
                conn.executescript(_SCHEMA)
                conn.executemany(
                    "INSERT INTO meta VALUES (?, ?)",
                    [
                        ("format", FORMAT),
                        ("version", str(VERSION)),
                        ("created", datetime.datetime.now().isoformat(timespec="seconds")),
                    ],
                )
        except BaseException:
            os.unlink(path)
            raise
        return cls(path, conn, name)

    @classmethod
    def open(cls, path):
        """Open an existing project file."""
        path = Path(path)
        if not path.is_file():
            raise FileNotFoundError(f"No project file at {path}")
        conn = sqlite3.connect(path)
        try:
            row = conn.execute("SELECT value FROM meta WHERE key = 'format'").fetchone()
        except sqlite3.DatabaseError:
            row = None
        if row is None or row[0] != FORMAT:
            conn.close()
            raise ValueError(f"{path} is not a gemlo project file")
        return cls(path, conn)

    @property
    def name(self):
        return self._name or Path(self.path).stem

    def close(self):
        self._conn.close()

    # Survey

    def save_survey(self, survey, sgmt):
        """Store the survey with its extent, given as a segment dictionary."""
        with self._conn:
            self._conn.execute(
                "INSERT OR REPLACE INTO survey VALUES (1, ?, ?)", (survey.name, _dumps(sgmt))
            )

    def load_survey(self):
        """Return (Survey, segment dictionary), or (None, None) for a project without one."""
        row = self._conn.execute("SELECT name, sgmt FROM survey").fetchone()
        if row is None:
            return None, None
        sgmt = json.loads(row[1])
        return Survey.from_sgmt(sgmt, name=row[0]), sgmt

    # Data objects

    def object_names(self):
        return [r[0] for r in self._conn.execute("SELECT name FROM objects ORDER BY rowid")]

    def save_object(self, dob):
        """Store the object with all its properties, replacing a stored one of that name."""
        self._store(dob, self._entries(dob, dob.prop), "object")

    def save_property(self, dob, prop_name):
        """Store (or replace) one property of a stored object."""
        self._store(dob, self._entries(dob, [prop_name]), "properties")

    def update_object(self, dob):
        """Store a stored object's meta and all its properties; it keeps its place."""
        self._store(dob, self._entries(dob, dob.prop), "update")

    @staticmethod
    def _entries(dob, names):
        writes = []
        for prop_name in names:
            entry = dob.prop[prop_name]
            if dob.prop_array_key not in entry:
                raise ValueError(
                    f"property {prop_name!r} of {dob.name!r} has no {dob.prop_array_key!r} array"
                )
            writes.append((prop_name, entry[dob.prop_array_key], None))
        return writes

    # Data files

    def check_writable(self):
        """Raise PermissionError, saying why, unless the project can be changed."""
        reason = self._read_only_reason()
        if reason:
            raise PermissionError(f"Cannot change the project {self.path}: {reason}")

    def _read_only_reason(self):
        folder = os.path.dirname(os.path.abspath(self.path))
        if not os.access(self.path, os.W_OK):
            return "the project file is read-only"
        if not os.access(folder, os.W_OK):
            return f"its folder {folder} is read-only"
        if not self._conn.in_transaction:
            # A connection may be read-only whatever the file's permissions say.
            try:
                self._conn.execute("BEGIN IMMEDIATE")
                self._conn.execute("UPDATE meta SET value = value WHERE key = 'format'")
            except sqlite3.DatabaseError as error:
                return str(error) or "the database refuses changes"
            finally:
                self._conn.rollback()
        return None

    def new_data_file(self, object_name, prop_name, dtype, shape):
        """A new data file in the project's folder that nothing refers to yet (see DataFile);
        its space is reserved, so a full disk fails here with OSError."""
        self.check_writable()
        return DataFile(os.path.dirname(os.path.abspath(self.path)), dtype, shape, self._claim)

    def _claim(self, path):
        # A hidden data file is recorded before it exists: its writer may die.
        rel = self._relative(path)
        with self._conn:
            self._conn.execute(
                "INSERT OR REPLACE INTO pending_files VALUES (?, NULL, NULL, ?)",
                (rel, os.getpid()),
            )
        self._claims.add(rel)

    def store_data_file(self, dob, prop_name, data_file, **attributes):
        """Make `data_file` the values of the property `prop_name` of `dob` (new, or
        replacing one, whose data file is removed once nothing refers to it), with
        `attributes`, in one transaction; returns the property's entry, which holds a
        read-write memory map of the file under its final name. A `dob` that the project
        lacks is stored with it."""
        return self.store_properties(dob, {prop_name: data_file}, {prop_name: attributes})[
            prop_name
        ]

    def store_properties(self, dob, values, attributes=None, *, remove=(), meta=None, survey=None):
        """In one transaction: the properties `values` (name -> DataFile or array) of `dob`,
        new or replacing, with `attributes` (name -> dict; default: those they have);
        the properties named in `remove` dropped; the object's `meta` if given; the
        `survey` (Survey, segment dictionary) if given. A `dob` that the project lacks is
        stored with its other properties. Arrays of MAPPED_BYTES or more go into data
        files. `dob` follows only once everything is stored; returns the new entries."""
        attributes = attributes or {}
        key = dob.prop_array_key
        writes = []
        new = self._conn.execute("SELECT 1 FROM objects WHERE name = ?", (dob.name,)).fetchone()
        if new is None:
            writes = [
                (p, e[key], None)
                for p, e in dob.prop.items()
                if p not in values and p not in remove
            ]
        for prop_name, value in values.items():
            extra = attributes.get(prop_name)
            if extra is None:
                # The cached percentiles are those of the values being replaced.
                extra = {
                    k: v for k, v in dob.prop.get(prop_name, {}).items() if k not in (key, CACHED)
                }
            writes.append((prop_name, value, extra))
        return self._store(dob, writes, "properties", remove, meta, survey)

    def _store(self, dob, writes, mode, remove=(), meta=None, survey=None):
        """Store `writes` [(property, DataFile or array, attributes or None for the
        entry's)] of `dob`: "object" replaces the stored object, "update" all its
        properties, "properties" the ones given. Data files get their names first,
        then one transaction refers to them; whatever fails, the project stays as it
        was and the names made are removed."""
        self.check_writable()
        key = dob.prop_array_key
        made = []  # data files made here from arrays
        named = {}  # property -> (relative name, data file)
        try:
            files = {}
            for prop_name, value, _extra in writes:
                if isinstance(value, DataFile):
                    files[prop_name] = value
                elif _mapped_file(value) is None and np.asarray(value).nbytes >= MAPPED_BYTES:
                    files[prop_name] = self._spill(dob.name, prop_name, np.asarray(value))
                    made.append(files[prop_name])
            for prop_name, data_file in files.items():
                if data_file.stored:
                    raise ValueError(f"{data_file!r} is stored already")
                data_file.sync()
                named[prop_name] = (self._name_data_file(dob, prop_name, data_file), data_file)
            if named:
                fsync_folder(os.path.dirname(os.path.abspath(self.path)))
            with self._conn:
                self._write(dob, writes, mode, named, remove, meta, survey)
        except BaseException:
            for rel, data_file in named.values():
                self._unname(rel, data_file)
            for data_file in made:
                data_file.discard()
            raise
        entries = {}
        for prop_name, value, extra in writes:
            if prop_name in named:
                rel, data_file = named[prop_name]
                hidden = data_file.hidden
                data_file.stored_as(self._absolute(rel))
                if hidden is not None and not os.path.lexists(hidden):
                    self._forget_pending(self._relative(hidden))
                array = npy_format.open_memmap(data_file.path, "r+")
            else:
                array = value
            if extra is None:
                extra = {k: v for k, v in dob.prop.get(prop_name, {}).items() if k != key}
            entries[prop_name] = {key: array, **extra}
        if mode == "properties":
            for prop_name in remove:
                dob.prop.pop(prop_name, None)
            dob.prop.update(entries)
            if meta is not None:
                dob.meta = meta
        else:
            # The object's arrays that went into data files are mapped from now on.
            for prop_name in named:
                dob.prop[prop_name][key] = entries[prop_name][key]
        self._sweep()
        return entries

    def _write(self, dob, writes, mode, named, remove, meta, survey):
        conn = self._conn
        row = (
            dob.prop_array_key,
            int(dob.viewable_in_plot),
            _dumps(dob.meta if meta is None else meta),
        )
        if mode == "object":
            conn.execute("DELETE FROM objects WHERE name = ?", (dob.name,))
        if mode == "update":
            cursor = conn.execute(
                "UPDATE objects SET prop_array_key = ?, viewable_in_plot = ?, meta = ? "
                "WHERE name = ?",
                (*row, dob.name),
            )
            if cursor.rowcount != 1:
                raise KeyError(dob.name)
            conn.execute("DELETE FROM properties WHERE object = ?", (dob.name,))
        else:
            conn.execute("INSERT OR IGNORE INTO objects VALUES (?, ?, ?, ?)", (dob.name, *row))
            if meta is not None:
                conn.execute("UPDATE objects SET meta = ? WHERE name = ?", (row[2], dob.name))
        for prop_name in remove:
            conn.execute(
                "DELETE FROM properties WHERE object = ? AND name = ?", (dob.name, prop_name)
            )
        for prop_name, value, extra in writes:
            found = conn.execute(
                "SELECT position FROM properties WHERE object = ? AND name = ?",
                (dob.name, prop_name),
            ).fetchone()
            if found is None:
                found = conn.execute(
                    "SELECT COALESCE(MAX(position) + 1, 0) FROM properties WHERE object = ?",
                    (dob.name,),
                ).fetchone()
            conn.execute(
                "DELETE FROM properties WHERE object = ? AND name = ?", (dob.name, prop_name)
            )
            if extra is None:
                extra = dob.prop[prop_name]
            rel = named[prop_name][0] if prop_name in named else None
            self._insert_property(dob, prop_name, value, extra, found[0], rel)
            if rel is not None:
                conn.execute("INSERT OR IGNORE INTO owned_files VALUES (?)", (rel,))
                conn.execute("DELETE FROM pending_files WHERE file = ?", (rel,))
        if survey is not None:
            survey, sgmt = survey
            conn.execute(
                "INSERT OR REPLACE INTO survey VALUES (1, ?, ?)", (survey.name, _dumps(sgmt))
            )

    def _spill(self, object_name, prop_name, array):
        """A data file holding a copy of `array`, copied a chunk at a time."""
        data_file = self.new_data_file(object_name, prop_name, array.dtype, array.shape)
        with data_file:
            copy_chunked(array, data_file.array)
        return data_file

    def _name_data_file(self, dob, prop_name, data_file):
        """Give `data_file` a free name "<project>.<object>.<property>.npy" (or "-2", ...),
        recorded as pending first; returns the name relative to the project's folder."""
        stem = _file_stem(f"{self.name}.{dob.name}.{prop_name}")
        device, inode = data_file.identity()
        taken = {
            r[0]
            for table in ("pending_files", "owned_files", "property_files")
            for r in self._conn.execute(f"SELECT file FROM {table}")  # noqa: S608 - fixed names
        }
        n = 0
        while True:
            n += 1
            rel = f"{stem}.npy" if n == 1 else f"{stem}-{n}.npy"
            if rel in taken or os.path.lexists(self._absolute(rel)):
                continue
            with self._conn:
                self._conn.execute(
                    "INSERT INTO pending_files VALUES (?, ?, ?, ?)",
                    (rel, device, inode, os.getpid()),
                )
            try:
                data_file.link(self._absolute(rel))
            except FileExistsError:
                self._forget_pending(rel)
                continue
            except BaseException:
                self._forget_pending(rel)
                raise
            return rel

    def _forget_pending(self, rel):
        with self._conn:
            self._conn.execute("DELETE FROM pending_files WHERE file = ?", (rel,))
        self._claims.discard(rel)

    def _unname(self, rel, data_file):
        # Only the name made for `data_file`: the file of that name must be that file.
        try:
            path = self._absolute(rel)
            st = os.lstat(path)
            if (st.st_dev, st.st_ino) == data_file.identity():
                os.unlink(path)
            self._forget_pending(rel)
        except (OSError, ValueError, sqlite3.Error) as error:
            logger.warning("Could not remove %s (the next open will): %s", rel, error)

    def _remove_debris(self):
        """Remove the data files of writers that died before their property referred to
        them, and the project's files no property refers to any more."""
        try:
            referenced = {r[0] for r in self._conn.execute("SELECT file FROM property_files")}
            rows = self._conn.execute(
                "SELECT file, device, inode, pid FROM pending_files"
            ).fetchall()
            for rel, device, inode, pid in rows:
                if rel in self._claims or (pid != os.getpid() and _alive(pid)):
                    continue
                path = self._absolute(rel)
                try:
                    st = os.lstat(path)
                except FileNotFoundError:
                    st = None
                if (
                    st is not None
                    and rel not in referenced
                    and (
                        (st.st_dev, st.st_ino) == (device, inode)
                        if inode is not None
                        else HIDDEN.fullmatch(os.path.basename(rel))
                    )
                ):
                    os.unlink(path)
                    logger.info("Removed %s, left by an interrupted write", path)
                self._forget_pending(rel)
            # Data files of the project from before the tables above are its own too.
            with self._conn:
                self._conn.executemany(
                    "INSERT OR IGNORE INTO owned_files VALUES (?)",
                    [(rel,) for rel in referenced if self._own_name(rel)],
                )
        except (OSError, sqlite3.Error) as error:
            logger.warning("Could not clean up the data files of %s: %s", self.path, error)
        self._sweep()

    def _own_name(self, rel):
        # The names this project gives its files; a file the user brought in by
        # reference under another name is never removed.
        return os.sep not in rel and rel.startswith(f"{self.name}.") and rel.endswith(".npy")

    def _sweep(self):
        """Remove the project's data files that no property refers to any more."""
        try:
            rows = self._conn.execute(
                "SELECT file FROM owned_files WHERE file NOT IN (SELECT file FROM property_files)"
            ).fetchall()
            for (rel,) in rows:
                if self._own_name(rel):
                    Path(self._absolute(rel)).unlink(missing_ok=True)
                with self._conn:
                    self._conn.execute("DELETE FROM owned_files WHERE file = ?", (rel,))
        except (OSError, sqlite3.Error) as error:
            logger.warning("Could not remove an old data file of %s: %s", self.path, error)

    def _absolute(self, rel):
        return os.path.join(os.path.dirname(os.path.abspath(self.path)), rel)

    def _insert_property(self, dob, prop_name, array, entry, position, file=None):
        # Percentiles are a cache of the values: JSON would turn float32 ones into
        # doubles that print differently, so they are recomputed after reopening.
        extra = {k: v for k, v in entry.items() if k not in (dob.prop_array_key, CACHED)}
        if file is None:
            file = _mapped_file(array)
            if file:
                # The values are in the file already: write them back, never into a blob.
                if array.mode != "r":
                    array.flush()
                file = self._relative(file)
        if file:
            shape = array.shape
            packed = (np.dtype(array.dtype).str, json.dumps(shape), b"")
        else:
            packed = _pack(array)
        self._conn.execute(
            "INSERT INTO properties VALUES (?, ?, ?, ?, ?, ?, ?)",
            (dob.name, prop_name, position, *packed, _dumps(extra)),
        )
        if file:
            self._conn.execute(
                "INSERT INTO property_files VALUES (?, ?, ?)", (dob.name, prop_name, file)
            )

    def _relative(self, file):
        # Relative to the project's folder, so that the folder can move as a whole.
        folder = os.path.dirname(os.path.abspath(self.path))
        file = os.path.abspath(file)
        return os.path.relpath(file, folder) if os.path.dirname(file) == folder else file

    def _property_files(self, name):
        try:
            return dict(
                self._conn.execute(
                    "SELECT name, file FROM property_files WHERE object = ?", (name,)
                )
            )
        except sqlite3.OperationalError:  # a read-only file from before the table
            return {}

    def load_object(self, name):
        row = self._conn.execute(
            "SELECT prop_array_key, viewable_in_plot, meta FROM objects WHERE name = ?", (name,)
        ).fetchone()
        if row is None:
            raise KeyError(name)
        key, viewable, meta = row
        prop = {}
        files = self._property_files(name)
        folder = os.path.dirname(os.path.abspath(self.path))
        for prop_name, dtype, shape, data, extra in self._conn.execute(
            "SELECT name, dtype, shape, data, extra FROM properties WHERE object = ? "
            "ORDER BY position",
            (name,),
        ):
            if prop_name in files:
                file = os.path.join(folder, files[prop_name])
                if not os.path.isfile(file):
                    raise FileNotFoundError(
                        f"The data file {file} of the property "
                        f"{prop_name!r} of {name!r} is missing"
                    )
                array = _open_mapped(file)
            else:
                array = _unpack(dtype, shape, data)
            prop[prop_name] = {key: array, **json.loads(extra)}
        return DataObject(name, prop, key, json.loads(meta), bool(viewable))

    def rename_object(self, old, new):
        with self._conn:
            self._conn.execute("UPDATE objects SET name = ? WHERE name = ?", (new, old))

    def remove_object(self, name):
        with self._conn:
            self._conn.execute("DELETE FROM objects WHERE name = ?", (name,))

    def rename_property(self, object_name, old, new):
        with self._conn:
            self._conn.execute(
                "UPDATE properties SET name = ? WHERE object = ? AND name = ?",
                (new, object_name, old),
            )

    def remove_property(self, object_name, prop_name):
        with self._conn:
            self._conn.execute(
                "DELETE FROM properties WHERE object = ? AND name = ?", (object_name, prop_name)
            )

    # External modules chosen for the project. The table came later than the
    # others: it is made when first needed, so older project files still open.

    def load_extmodules(self):
        """Return the stored selection, "group/module" -> "True" or "False" ({} if none)."""
        found = self._conn.execute(
            "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'extmodules'"
        ).fetchone()
        if found is None:
            return {}
        return dict(self._conn.execute("SELECT key, value FROM extmodules ORDER BY key"))

    def save_extmodules(self, selection):
        """Store the selection (values are truth values), replacing the stored one."""
        with self._conn:
            self._conn.execute(
                "CREATE TABLE IF NOT EXISTS extmodules (key TEXT PRIMARY KEY, value TEXT NOT NULL)"
            )
            self._conn.execute("DELETE FROM extmodules")
            self._conn.executemany(
                "INSERT INTO extmodules VALUES (?, ?)",
                list(selection_texts(selection).items()),
            )

    # Viewers

    def save_viewers(self, viewers):
        """Store the plot viewers, replacing those stored: (name, state dict, shown names)."""
        rows = [
            (position, name, _dumps(state), _dumps(list(shown)))
            for position, (name, state, shown) in enumerate(viewers)
        ]
        with self._conn:
            self._conn.execute(_VIEWERS_TABLE)
            self._conn.execute("DELETE FROM viewers")
            self._conn.executemany("INSERT INTO viewers VALUES (?, ?, ?, ?)", rows)

    def load_viewers(self):
        """Return the stored plot viewers as (name, state dict, shown names), in order."""
        if (
            self._conn.execute(
                "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'viewers'"
            ).fetchone()
            is None
        ):
            return []
        return [
            (name, json.loads(state), json.loads(shown))
            for name, state, shown in self._conn.execute(
                "SELECT name, state, shown FROM viewers ORDER BY position"
            )
        ]

    def __repr__(self):
        lines = [f"ProjectDatabase({self.path!r})"]
        try:
            survey = self.load_survey()[0]
            rows = self._conn.execute(
                "SELECT p.object, p.name, p.dtype, p.shape FROM properties p "
                "JOIN objects o ON o.name = p.object ORDER BY o.rowid, p.position"
            ).fetchall()
            names = self.object_names()
        except sqlite3.ProgrammingError:
            return lines[0] + " (closed)"
        lines.append(f"  survey: {survey!r}")
        lines.append(f"  objects: {len(names)}")
        for name in names:
            props = [r for r in rows if r[0] == name]
            shape = tuple(json.loads(props[0][3])) if props else ()
            listed = ", ".join(f"{r[1]} ({np.dtype(r[2]).name})" for r in props)
            lines.append(f"    {name} {shape}: {listed or 'no properties'}")
        return "\n".join(lines)
