"""The project file: an SQLite database holding the survey and the data objects."""
import datetime
import json
import os
import sqlite3
from pathlib import Path

import numpy as np

from gemlo.data.dataobject import DataObject
from gemlo.utils.convert_grid import Survey

EXTENSION = ".lmd"
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
                conn.executemany("INSERT INTO meta VALUES (?, ?)", [
                    ("format", FORMAT), ("version", str(VERSION)),
                    ("created", datetime.datetime.now().isoformat(timespec="seconds"))])
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
            self._conn.execute("INSERT OR REPLACE INTO survey VALUES (1, ?, ?)",
                               (survey.name, _dumps(sgmt)))

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
            self._conn.execute("INSERT INTO objects VALUES (?, ?, ?, ?)",
                               (dob.name, dob.prop_array_key, int(dob.viewable_in_plot),
                                _dumps(dob.meta)))
            for position, (prop_name, entry) in enumerate(dob.prop.items()):
                self._insert_property(dob, prop_name, entry, position)

    def save_property(self, dob, prop_name):
        """Store (or replace) one property of a stored object."""
        with self._conn:
            row = self._conn.execute(
                "SELECT position FROM properties WHERE object = ? AND name = ?",
                (dob.name, prop_name)).fetchone()
            if row is None:
                row = self._conn.execute(
                    "SELECT COALESCE(MAX(position) + 1, 0) FROM properties WHERE object = ?",
                    (dob.name,)).fetchone()
            self._conn.execute("DELETE FROM properties WHERE object = ? AND name = ?",
                               (dob.name, prop_name))
            self._insert_property(dob, prop_name, dob.prop[prop_name], row[0])

    def _insert_property(self, dob, prop_name, entry, position):
        if dob.prop_array_key not in entry:
            raise ValueError(f"property {prop_name!r} of {dob.name!r} has no "
                             f"{dob.prop_array_key!r} array")
        extra = {k: v for k, v in entry.items() if k != dob.prop_array_key}
        self._conn.execute("INSERT INTO properties VALUES (?, ?, ?, ?, ?, ?, ?)",
                           (dob.name, prop_name, position,
                            *_pack(entry[dob.prop_array_key]), _dumps(extra)))

    def load_object(self, name):
        row = self._conn.execute(
            "SELECT prop_array_key, viewable_in_plot, meta FROM objects WHERE name = ?",
            (name,)).fetchone()
        if row is None:
            raise KeyError(name)
        key, viewable, meta = row
        prop = {}
        for prop_name, dtype, shape, data, extra in self._conn.execute(
                "SELECT name, dtype, shape, data, extra FROM properties WHERE object = ? "
                "ORDER BY position", (name,)):
            prop[prop_name] = {key: _unpack(dtype, shape, data), **json.loads(extra)}
        return DataObject(name, prop, key, json.loads(meta), bool(viewable))

    def rename_object(self, old, new):
        with self._conn:
            self._conn.execute("UPDATE objects SET name = ? WHERE name = ?", (new, old))

    def remove_object(self, name):
        with self._conn:
            self._conn.execute("DELETE FROM objects WHERE name = ?", (name,))

    def rename_property(self, object_name, old, new):
        with self._conn:
            self._conn.execute("UPDATE properties SET name = ? WHERE object = ? AND name = ?",
                               (new, object_name, old))

    def remove_property(self, object_name, prop_name):
        with self._conn:
            self._conn.execute("DELETE FROM properties WHERE object = ? AND name = ?",
                               (object_name, prop_name))

    # Viewers

    def save_viewers(self, viewers):
        """Store the plot viewers, replacing those stored: (name, state dict, shown names)."""
        rows = [(position, name, _dumps(state), _dumps(list(shown)))
                for position, (name, state, shown) in enumerate(viewers)]
        with self._conn:
            self._conn.execute(_VIEWERS_TABLE)
            self._conn.execute("DELETE FROM viewers")
            self._conn.executemany("INSERT INTO viewers VALUES (?, ?, ?, ?)", rows)

    def load_viewers(self):
        """Return the stored plot viewers as (name, state dict, shown names), in order."""
        if self._conn.execute("SELECT 1 FROM sqlite_master WHERE type = 'table' "
                              "AND name = 'viewers'").fetchone() is None:
            return []
        return [(name, json.loads(state), json.loads(shown)) for name, state, shown in
                self._conn.execute("SELECT name, state, shown FROM viewers ORDER BY position")]

    def __repr__(self):
        lines = [f"ProjectDatabase({self.path!r})"]
        try:
            survey = self.load_survey()[0]
            rows = self._conn.execute(
                "SELECT p.object, p.name, p.dtype, p.shape FROM properties p "
                "JOIN objects o ON o.name = p.object ORDER BY o.rowid, p.position").fetchall()
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
