"""The project file: an SQLite database holding the survey and the data objects."""

import datetime
import json
import mmap
import os
import sqlite3
from pathlib import Path

import numpy as np
from numpy.lib import format as npy_format

from gemlo.data.dataobject import DataObject
from gemlo.utils.convert_grid import Survey

EXTENSION = ".lmd"
# A property attribute derived from its values, never stored.
CACHED = "arrayPercentiles"
FORMAT = "gemlo-project"
VERSION = 1

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

    def __init__(self, path, connection):
        self.path = str(path)
        self._conn = connection
        self._conn.execute("PRAGMA foreign_keys = ON")
        try:
            self._conn.executescript(_FILES_SCHEMA)
        except sqlite3.OperationalError:
            pass  # a read-only file: it can still be read

    @classmethod
    def create(cls, path):
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
        return cls(path, conn)

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
        return Path(self.path).stem

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
        with self._conn:
            self._conn.execute("DELETE FROM objects WHERE name = ?", (dob.name,))
            self._conn.execute(
                "INSERT INTO objects VALUES (?, ?, ?, ?)",
                (dob.name, dob.prop_array_key, int(dob.viewable_in_plot), _dumps(dob.meta)),
            )
            for position, (prop_name, entry) in enumerate(dob.prop.items()):
                self._insert_property(dob, prop_name, entry, position)

    def save_objects(self, dobs):
        """Store several new objects in one transaction: all of them or none.

        Unlike save_object, a name the project already holds is refused (ValueError).
        """
        dobs = list(dobs)
        with self._conn:
            for dob in dobs:
                if self._conn.execute(
                    "SELECT 1 FROM objects WHERE name = ?", (dob.name,)
                ).fetchone():
                    raise ValueError(f"the project already holds an object named {dob.name!r}")
                self._conn.execute(
                    "INSERT INTO objects VALUES (?, ?, ?, ?)",
                    (dob.name, dob.prop_array_key, int(dob.viewable_in_plot), _dumps(dob.meta)),
                )
                for position, (prop_name, entry) in enumerate(dob.prop.items()):
                    self._insert_property(dob, prop_name, entry, position)

    def save_property(self, dob, prop_name):
        """Store (or replace) one property of a stored object."""
        with self._conn:
            row = self._conn.execute(
                "SELECT position FROM properties WHERE object = ? AND name = ?",
                (dob.name, prop_name),
            ).fetchone()
            if row is None:
                row = self._conn.execute(
                    "SELECT COALESCE(MAX(position) + 1, 0) FROM properties WHERE object = ?",
                    (dob.name,),
                ).fetchone()
            self._conn.execute(
                "DELETE FROM properties WHERE object = ? AND name = ?", (dob.name, prop_name)
            )
            self._insert_property(dob, prop_name, dob.prop[prop_name], row[0])

    def update_object(self, dob):
        """Store a stored object's meta and all its properties; it keeps its place."""
        with self._conn:
            cursor = self._conn.execute(
                "UPDATE objects SET prop_array_key = ?, viewable_in_plot = ?, meta = ? "
                "WHERE name = ?",
                (dob.prop_array_key, int(dob.viewable_in_plot), _dumps(dob.meta), dob.name),
            )
            if cursor.rowcount != 1:
                raise KeyError(dob.name)
            self._conn.execute("DELETE FROM properties WHERE object = ?", (dob.name,))
            for position, (prop_name, entry) in enumerate(dob.prop.items()):
                self._insert_property(dob, prop_name, entry, position)

    def _insert_property(self, dob, prop_name, entry, position):
        if dob.prop_array_key not in entry:
            raise ValueError(
                f"property {prop_name!r} of {dob.name!r} has no {dob.prop_array_key!r} array"
            )
        # Percentiles are a cache of the values: JSON would turn float32 ones into
        # doubles that print differently, so they are recomputed after reopening.
        extra = {k: v for k, v in entry.items() if k not in (dob.prop_array_key, CACHED)}
        array = entry[dob.prop_array_key]
        mapped = _mapped_file(array)
        if mapped:
            # The values are in the file already: write them back, never into a blob.
            if array.mode != "r":
                array.flush()
            packed = (array.dtype.str, json.dumps(array.shape), b"")
        else:
            packed = _pack(array)
        self._conn.execute(
            "INSERT INTO properties VALUES (?, ?, ?, ?, ?, ?, ?)",
            (dob.name, prop_name, position, *packed, _dumps(extra)),
        )
        if mapped:
            self._conn.execute(
                "INSERT INTO property_files VALUES (?, ?, ?)",
                (dob.name, prop_name, self._relative(mapped)),
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
