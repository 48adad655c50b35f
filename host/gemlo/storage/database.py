"""The project file: an SQLite database holding the survey and the data objects."""

import contextlib
import copy
import errno
import json
import os
import re
import secrets
import sqlite3
import urllib.parse
from pathlib import Path

import numpy as np

from gemlo.model.dataobject import PERCENTILES, DataObject
from gemlo.storage import cubes, interrupts, safepath, schema, values
from gemlo.storage.chunks import copy_chunked, needs_data_file
from gemlo.storage.cubestore import StoreError
from gemlo.storage.datafile import (
    HIDDEN,
    DataFile,
    fsync_folder,
    mapped_file,
    open_mapped,
    pid_alive,
)
from gemlo.storage.errors import DamagedProject, NewerProject, ReadOnlyProject, UnreadableObject
from gemlo.storage.paths import (
    BUILDING,
    JOURNAL_SUFFIX,
    PROJECT_FILES,
    check_new_file_name,
    file_stem,
    remove_folders,
)
from gemlo.utils.convert_grid import Survey
from gemlo.utils.logger import logger

# Every data file an object or one of its properties refers to.
_REFERENCED = "SELECT file FROM property_files UNION SELECT file FROM object_files"


def _remove_dead_stubs(path):
    """Remove the hidden files that processes killed while making the project `path`
    left, when they hold no data file (those of an import are its own to remove)."""
    for entry in os.scandir(path.parent):
        match = BUILDING.fullmatch(entry.name)
        if match is None or match["name"] != path.name or pid_alive(int(match["pid"])):
            continue
        if not entry.is_file(follow_symlinks=False):
            continue
        if safepath.names_files(entry.path) == set():
            for suffix in safepath.SIDECARS:
                Path(f"{entry.path}{suffix}").unlink(missing_ok=True)


def selection_texts(selection):
    """A choice of external modules as stored: "True" for a module that is on, else "False"."""
    return {k: str(v is True or v == "True") for k, v in selection.items()}


def _json_default(value):
    # numpy scalars and small arrays among a property's attributes
    if isinstance(value, (np.generic, np.ndarray)):
        return value.tolist()
    raise TypeError(f"cannot store a value of type {type(value).__name__} in the project")


def dumps(value):
    return json.dumps(value, default=_json_default)


def pack(array):
    array = np.asarray(array)
    if array.dtype.hasobject:
        raise TypeError("cannot store an array of Python objects in the project")
    # tobytes() writes C order whatever the array's memory layout.
    return array.dtype.str, json.dumps(array.shape), array.tobytes()


def unpack(dtype, shape, data):
    # frombuffer gives a read-only view on the blob; properties must be editable.
    return np.frombuffer(data, dtype=np.dtype(dtype)).reshape(values.loads(shape)).copy()


class _Connection(sqlite3.Connection):
    """A connection whose transactions (`with connection:`, as every change is made) are
    refused with a clear message while the project is open read-only."""

    read_only = None  # why the project is read-only, or None

    def __enter__(self):
        if self.read_only:
            raise ReadOnlyProject(f"Cannot change the project {self.path}: {self.read_only}")
        return super().__enter__()


def _read_only_reason(path):
    """Why the project file at `path` cannot be changed, or None if it can."""
    try:
        if os.statvfs(path).f_flag & os.ST_RDONLY:
            return "it is on a read-only file system"
    except OSError:
        pass
    if not os.access(path, os.W_OK):
        return "the project file is read-only"
    # SQLite writes its journal beside the file.
    folder = os.path.dirname(os.path.abspath(path))
    if not os.access(folder, os.W_OK | os.X_OK):
        return f"its folder {folder} is read-only"
    return None


def _connect(path, read_only):
    uri = "file:" + urllib.parse.quote(os.fsencode(os.path.abspath(path)))
    if not read_only:
        conn = sqlite3.connect(uri + "?mode=rw", uri=True, factory=_Connection)
    else:
        conn = sqlite3.connect(uri + "?mode=ro", uri=True, factory=_Connection)
        try:
            conn.execute("SELECT 1 FROM sqlite_master").fetchall()
        except sqlite3.OperationalError:
            # Some media take no locks; a file that no unfinished change waits on can
            # still be read as it is. One that does needs a writable place to be finished.
            conn.close()
            if any(os.path.exists(f"{path}{s}") for s in (JOURNAL_SUFFIX, "-wal")):
                raise
            conn = sqlite3.connect(uri + "?immutable=1", uri=True, factory=_Connection)
    conn.path, conn.read_only = str(path), read_only
    return conn


def database_error(path, error):
    """The error to report for an SQLite error met while reading the project `path`."""
    name = getattr(error, "sqlite_errorname", "")
    if name == "SQLITE_NOTADB":
        return DamagedProject(f"{path} is not a gemlo project file (not an SQLite database)")
    if name.startswith("SQLITE_CORRUPT") or "malformed" in str(error):
        return DamagedProject(f"The project file {path} is damaged: {error}")
    return DamagedProject(f"The project file {path} cannot be read: {error}")


class ProjectDatabase:
    """An open project file. Every change is committed when the method returns.

    `read_only` says why a project opened read-only cannot be changed (None when it can):
    then every change is refused with ReadOnlyProject and data files are mapped read-only.
    """

    def __init__(self, path, connection, name=None):
        self.path = str(path)
        # The name its data files are named after: a project built under a temporary
        # name has its final one.
        self._name = name
        self._conn = connection
        self.read_only = getattr(connection, "read_only", None)
        # A larger text or blob is damage: refused before it is read into memory.
        self._conn.setlimit(sqlite3.SQLITE_LIMIT_LENGTH, safepath.MAX_VALUE)
        self._conn.execute("PRAGMA foreign_keys = ON")
        # Hidden data files this object named, whose writers are alive.
        self._claims = set()
        # The properties of each object that this project read or wrote.
        self._seen = {}
        if not self.read_only:
            try:
                schema.migrate(self._conn)
                self._record_identities()
            except sqlite3.OperationalError:
                pass  # a file that refuses changes: it can still be read as it is
        if self._read_only_reason() is None:
            self._remove_debris()

    @classmethod
    def create(cls, path, name=None):
        """Create a new project file at `path`; an existing file is never touched.

        It is made under a hidden name and takes its own once its tables are in: a
        process killed meanwhile leaves no file under the project's name, and what it
        left under the hidden one goes with the next creation of that project.
        """
        path = Path(path)
        if path.exists():
            raise FileExistsError(f"Cannot create the project: {path} already exists")
        check_new_file_name(path)
        made = [p for p in path.parents if not p.exists()]
        path.parent.mkdir(parents=True, exist_ok=True)
        building = path.with_name(f".{path.name}.{os.getpid()}-{secrets.token_hex(6)}.part")
        try:
            if BUILDING.fullmatch(path.name):
                raise OSError(errno.EEXIST, "built under a hidden name already")
            check_new_file_name(building)
            _remove_dead_stubs(path)
        except OSError:
            building = path
        try:
            # Exclusive creation: a file appearing meanwhile is not overwritten either.
            with open(building, "xb"):
                pass
        except FileExistsError:
            raise FileExistsError(f"Cannot create the project: {path} already exists") from None
        except BaseException:
            remove_folders(made)
            raise
        linked = False
        try:
            conn = sqlite3.connect(building, factory=_Connection)
            schema.create(conn)
            if building != path:
                conn.close()
                try:
                    # A link, not a rename: a file made meanwhile under that name stays.
                    os.link(building, path)
                except FileExistsError:
                    raise FileExistsError(
                        f"Cannot create the project: {path} already exists"
                    ) from None
                linked = True
                os.unlink(building)
                conn = sqlite3.connect(path, factory=_Connection)
            conn.path = str(path)
            return cls(path, conn, name)
        except BaseException:
            if building != path:
                Path(building).unlink(missing_ok=True)
            if linked or building == path:
                os.unlink(path)
            remove_folders(made)
            raise

    @classmethod
    def open(cls, path):
        """Open an existing project file; read-only when it cannot be written.

        The whole file is checked: a damaged one raises DamagedProject.
        """
        path = Path(path)
        if path.is_dir():
            raise IsADirectoryError(errno.EISDIR, f"{path} is a folder, not a project file")
        if not path.exists():
            raise FileNotFoundError(f"No project file at {path}")
        if not path.is_file():
            raise DamagedProject(f"{path} is not a gemlo project file (not a regular file)")
        read_only = _read_only_reason(path)
        try:
            conn = _connect(path, read_only)
        except sqlite3.Error as error:
            raise database_error(path, error) from error
        try:
            row = conn.execute("SELECT value FROM meta WHERE key = 'format'").fetchone()
        except sqlite3.OperationalError as error:
            if "no such table" not in str(error):
                conn.close()
                raise database_error(path, error) from error
            row = None
        except sqlite3.DatabaseError as error:
            conn.close()
            raise database_error(path, error) from error
        if row is None or row[0] != schema.FORMAT:
            conn.close()
            raise DamagedProject(f"{path} is not a gemlo project file")
        try:
            try:
                version = schema.stored_version(conn)
            except ValueError as error:
                raise DamagedProject(f"The project file {path} is damaged: {error}") from None
            if version > schema.VERSION:
                raise NewerProject(
                    f"The project file {path} was written by a newer gemlo (version "
                    f"{version}; this one reads up to {schema.VERSION}): open it with that one"
                )
            # Every page, so that damage anywhere is named now, not met half-way through.
            problems = [r[0] for r in conn.execute("PRAGMA quick_check(3)")]
            if problems != ["ok"]:
                raise DamagedProject(f"The project file {path} is damaged: {'; '.join(problems)}")
            return cls(path, conn)
        except sqlite3.DatabaseError as error:
            conn.close()
            raise database_error(path, error) from error
        except BaseException:
            conn.close()
            raise

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
                "INSERT OR REPLACE INTO survey VALUES (1, ?, ?)", (survey.name, dumps(sgmt))
            )

    def load_survey(self):
        """Return (Survey, segment dictionary), or (None, None) for a project without one."""
        row = self._conn.execute("SELECT name, sgmt FROM survey").fetchone()
        if row is None:
            return None, None
        sgmt = values.expect(values.loads(row[1]), dict, "the survey's extent")
        return Survey.from_sgmt(sgmt, name=values.expect(row[0], str, "the survey's name")), sgmt

    # Data objects

    def object_names(self):
        return [
            values.expect(r[0], str, "an object's name")
            for r in self._conn.execute("SELECT name FROM objects ORDER BY rowid")
        ]

    def save_object(self, dob):
        """Store the object with all its properties, replacing a stored one of that name."""
        self._store(dob, self._entries(dob, dob.prop), "object")

    def save_objects(self, dobs):
        """Store several new objects in one transaction: all of them or none.

        Unlike save_object, a name the project already holds is refused (ValueError).
        """
        dobs = list(dobs)
        for dob in dobs:
            if self._conn.execute("SELECT 1 FROM objects WHERE name = ?", (dob.name,)).fetchone():
                raise ValueError(f"the project already holds an object named {dob.name!r}")
        self._store_batch([(dob, self._entries(dob, dob.prop), "new") for dob in dobs])

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
        """Raise ReadOnlyProject (a PermissionError), saying why, unless the project can be
        changed."""
        reason = self._read_only_reason()
        if reason:
            raise ReadOnlyProject(f"Cannot change the project {self.path}: {reason}")

    def _read_only_reason(self):
        if self.read_only:  # opened read-only
            return self.read_only
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
        data_file = DataFile(
            os.path.dirname(os.path.abspath(self.path)), dtype, shape, self._claim
        )
        if data_file.hidden is not None:
            # Removed as debris only as the file it is.
            with self._conn:
                self._conn.execute(
                    "UPDATE pending_files SET device = ?, inode = ? WHERE file = ?",
                    (*data_file.identity(), os.path.basename(data_file.hidden)),
                )
        return data_file

    def _claim(self, path):
        # A hidden data file is recorded before it exists: its writer may die.
        rel = os.path.basename(path)
        with self._conn:
            self._conn.execute(
                "INSERT OR REPLACE INTO pending_files VALUES (?, NULL, NULL, ?)",
                (rel, os.getpid()),
            )
        self._claims.add(rel)

    def store_data_file(self, dob, prop_name, data_file, *, new=False, **attributes):
        """Make `data_file` the values of the property `prop_name` of `dob` (new, or
        replacing one, whose data file is removed once nothing refers to it), with
        `attributes`, in one transaction; returns the property's entry, which holds a
        read-write memory map of the file under its final name. A `dob` that the project
        lacks is stored with it. With `new`, ValueError if another writer stored that
        property meanwhile."""
        fresh = (prop_name,) if new else ()
        return self.store_properties(
            dob, {prop_name: data_file}, {prop_name: attributes}, fresh=fresh
        )[prop_name]

    def store_properties(
        self,
        dob,
        values,
        attributes=None,
        *,
        remove=(),
        meta=None,
        survey=None,
        fresh=(),
        attached=None,
    ):
        """In one transaction: the properties `values` (name -> DataFile or array) of `dob`,
        new or replacing, with `attributes` (name -> dict; default: those they have);
        the properties named in `remove` dropped; the object's `meta` if given; the
        `survey` (Survey, segment dictionary) if given; the object's `attached` data files
        (name -> DataFile, see `load_attached`). A `dob` that the project lacks is
        stored with its other properties. Arrays of MAPPED_BYTES or more go into data
        files. `dob` follows only once everything is stored; returns the new entries.
        The properties named in `fresh` must be new: ValueError if one was stored meanwhile."""
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
                    k: v
                    for k, v in dob.prop.get(prop_name, {}).items()
                    if k not in (key, PERCENTILES)
                }
            writes.append((prop_name, value, extra))
        return self._store(dob, writes, "properties", remove, meta, survey, fresh, attached)

    def store_new_property(self, dob, prop_name, array=None, **attributes):
        """Store the new property `prop_name` of `dob` with `attributes`: `array` (an array
        or a DataFile), or float32 zeros shaped like its other properties; returns the
        entry. Zeros that need a data file are one fresh file: no array in memory."""
        if array is None:
            shape, dtype = dob.shape, np.dtype(np.float32)
            if not needs_data_file(int(np.prod(shape)) * dtype.itemsize):
                array = np.zeros(shape, dtype)
            else:
                array = self.new_data_file(dob.name, prop_name, dtype, shape)
        value = array if isinstance(array, DataFile) else np.asarray(array)
        # New: one that another process stored meanwhile is never replaced.
        with value if isinstance(value, DataFile) else contextlib.nullcontext():
            return self.store_properties(
                dob, {prop_name: value}, {prop_name: attributes}, fresh=(prop_name,)
            )[prop_name]

    def store_copy(self, dob, name):
        """Store a copy of `dob` named `name` that shares no array with it (mapped and large
        arrays are copied a chunk at a time into new data files), its attached data files
        with it; returns the copy."""
        key = dob.prop_array_key
        other = DataObject(name, {}, key, copy.deepcopy(dob.meta), dob.viewable_in_plot)
        values, attributes, attached = {}, {}, {}
        try:
            for attached_name in self.attached_names(dob.name):
                array = self.load_attached(dob.name, attached_name)
                attached[attached_name] = self.new_data_file(
                    name, attached_name, array.dtype, array.shape
                )
                copy_chunked(array, attached[attached_name].array)
            for prop_name, entry in dob.prop.items():
                array = entry[key]
                attributes[prop_name] = copy.deepcopy({k: v for k, v in entry.items() if k != key})
                if isinstance(array, np.memmap) or needs_data_file(array.nbytes):
                    values[prop_name] = self.new_data_file(
                        name, prop_name, array.dtype, array.shape
                    )
                    copy_chunked(array, values[prop_name].array)
                else:
                    values[prop_name] = np.array(array)
            self.store_properties(other, values, attributes, attached=attached)
        finally:
            for value in [*values.values(), *attached.values()]:
                if isinstance(value, DataFile):
                    value.discard()
        return other

    def _store(
        self, dob, writes, mode, remove=(), meta=None, survey=None, fresh=(), attached=None
    ):
        """Store `writes` [(property, DataFile or array, attributes or None for the
        entry's)] of `dob`: "object" replaces the stored object, "update" all its
        properties, "properties" the ones given. Data files get their names first,
        then one transaction refers to them; whatever fails, the project stays as it
        was and the names made are removed."""
        return self._store_batch([(dob, writes, mode)], remove, meta, survey, fresh, attached)[0]

    def _store_batch(self, batch, remove=(), meta=None, survey=None, fresh=(), attached=None):
        """`_store` of several (dob, writes, mode) in one transaction; returns their entries.

        `fresh` names the properties (of the first object) that must not exist yet: one
        stored meanwhile by another process is never replaced (ValueError). `attached`
        (name -> DataFile) are data files of the first object as a whole.
        """
        self.check_writable()
        made = []  # data files made here from arrays
        named = [{} for _ in batch]  # per object: property -> (relative name, data file)
        own = {}  # attached name -> (relative name, data file)
        try:
            for name, data_file in (attached or {}).items():
                if data_file.stored:
                    raise ValueError(f"{data_file!r} is stored already")
                data_file.sync()
                own[name] = (self._name_data_file(batch[0][0], name, data_file), data_file)
            for (dob, writes, _mode), names in zip(batch, named, strict=True):
                files = {}
                for prop_name, value, _extra in writes:
                    if isinstance(value, DataFile):
                        files[prop_name] = value
                    elif cubes.is_cube(value):
                        pass  # in its store
                    elif self._own_mapped(value) is None and needs_data_file(
                        np.asarray(value).nbytes
                    ):
                        files[prop_name] = self._spill(dob.name, prop_name, np.asarray(value))
                        made.append(files[prop_name])
                for prop_name, data_file in files.items():
                    if data_file.stored:
                        raise ValueError(f"{data_file!r} is stored already")
                    data_file.sync()
                    self._step("synced")
                    names[prop_name] = (self._name_data_file(dob, prop_name, data_file), data_file)
                    self._step("named")
            if any(named) or own:
                fsync_folder(os.path.dirname(os.path.abspath(self.path)))
        except BaseException:
            self._undo([*named, own], made)
            raise
        # From the commit on, the change is finished whatever comes: an interrupt waits.
        # (A project built under a hidden name is thrown away whole when interrupted.)
        committed = False
        with interrupts.deferred() if self._name is None else contextlib.nullcontext():
            try:
                with self._conn:
                    # The write lock first: what is checked below cannot change meanwhile.
                    self._conn.execute("BEGIN IMMEDIATE")
                    for (dob, writes, mode), names in zip(batch, named, strict=True):
                        self._write(dob, writes, mode, names, remove, meta, survey, fresh)
                    for name, (rel, data_file) in own.items():
                        self._attach(batch[0][0].name, name, rel, data_file)
                    self._step("written")
                committed = True
                self._step("committed")
            except BaseException:
                if not committed:
                    self._undo([*named, own], made)
                raise
            results = [
                self._stored_entries(dob, writes, mode, names, remove, meta)
                for (dob, writes, mode), names in zip(batch, named, strict=True)
            ]
            for rel, data_file in own.values():
                hidden = data_file.hidden
                data_file.stored_as(self._absolute(rel))
                if hidden is not None and not os.path.lexists(hidden):
                    self._forget_pending(os.path.basename(hidden))
            self._step("entries")
            self._sweep()
        return results

    def _attach(self, object_name, name, rel, data_file):
        self._conn.execute(
            "INSERT OR REPLACE INTO object_files VALUES (?, ?, ?, ?, ?)",
            (object_name, name, rel, data_file.dtype.str, dumps(data_file.shape)),
        )
        self._conn.execute(
            "INSERT OR REPLACE INTO owned_files VALUES (?, ?, ?)", (rel, *data_file.identity())
        )
        self._conn.execute("DELETE FROM pending_files WHERE file = ?", (rel,))

    # Called at each step of a store with its name (tests interrupt there).
    step_hook = None

    def _step(self, name):
        if self.step_hook is not None:
            self.step_hook(name)

    def _undo(self, named, made):
        for names in named:
            for rel, data_file in names.values():
                self._unname(rel, data_file)
        for data_file in made:
            data_file.discard()

    def _stored_entries(self, dob, writes, mode, named, remove, meta):
        key = dob.prop_array_key
        entries = {}
        for prop_name, value, extra in writes:
            if prop_name in named:
                rel, data_file = named[prop_name]
                hidden = data_file.hidden
                data_file.stored_as(self._absolute(rel))
                if hidden is not None and not os.path.lexists(hidden):
                    self._forget_pending(os.path.basename(hidden))
                array = open_mapped(data_file.path, data_file.dtype, data_file.shape)
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
        seen = self._seen.setdefault(dob.name, set())
        if mode != "properties":
            seen.clear()
        seen.update(p for p, _value, _extra in writes)
        seen.difference_update(remove)
        return entries

    def _write(self, dob, writes, mode, named, remove, meta, survey, fresh=()):
        conn = self._conn
        row = (
            dob.prop_array_key,
            int(dob.viewable_in_plot),
            dumps(dob.meta if meta is None else meta),
        )
        if (
            mode == "new"
            and conn.execute("SELECT 1 FROM objects WHERE name = ?", (dob.name,)).fetchone()
        ):
            raise ValueError(f"the project already holds an object named {dob.name!r}")
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
            # Only the properties this project has seen: one that another process
            # stored meanwhile stays.
            seen = self._seen.get(dob.name, set())
            for (prop_name,) in conn.execute(
                "SELECT name FROM properties WHERE object = ?", (dob.name,)
            ).fetchall():
                if prop_name in seen and prop_name not in dob.prop:
                    conn.execute(
                        "DELETE FROM properties WHERE object = ? AND name = ?",
                        (dob.name, prop_name),
                    )
                elif prop_name not in seen:
                    logger.info("Kept %s.%s, stored meanwhile elsewhere", dob.name, prop_name)
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
            if found is not None and prop_name in fresh:
                raise ValueError(
                    f"{dob.name!r} already has a property named {prop_name!r}, stored meanwhile"
                )
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
                conn.execute(
                    "INSERT OR REPLACE INTO owned_files VALUES (?, ?, ?)",
                    (rel, *named[prop_name][1].identity()),
                )
                conn.execute("DELETE FROM pending_files WHERE file = ?", (rel,))
        if survey is not None:
            survey, sgmt = survey
            conn.execute(
                "INSERT OR REPLACE INTO survey VALUES (1, ?, ?)", (survey.name, dumps(sgmt))
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
        stem = file_stem(f"{self.name}.{dob.name}.{prop_name}")
        device, inode = data_file.identity()
        taken = {
            r[0]
            for table in ("pending_files", "owned_files", "property_files", "object_files")
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

    def _own_pattern(self):
        # The names this project gives its data files, and those of unnamed ones.
        own = re.escape(f"{self.name}.") + r".+\.npy"
        return re.compile(f"{own}|{HIDDEN.pattern}")

    def _remove(self, rel, identity, why):
        """Remove the data file `rel` if it is this project's own (see safepath.removable)
        and no other project file in the folder may name it; else log why not."""
        try:
            path = safepath.removable(self.path, rel, identity, self._own_pattern())
            other = safepath.named_elsewhere(self.path, rel, PROJECT_FILES)
            if other is not None:
                raise safepath.UnsafeName(f"{other} may refer to it")
        except FileNotFoundError:
            return
        except (OSError, ValueError) as error:
            logger.warning("Left %r of %s in place (%s): %s", rel, self.path, why, error)
            return
        os.unlink(path)
        return path

    def _remove_debris(self):
        """Remove the data files of writers that died before their property referred to
        them, and the project's files no property refers to any more."""
        try:
            referenced = {r[0] for r in self._conn.execute(_REFERENCED)}
            rows = self._conn.execute(
                "SELECT file, device, inode, pid FROM pending_files"
            ).fetchall()
            for rel, device, inode, pid in rows:
                if rel in self._claims or (
                    isinstance(pid, int) and pid != os.getpid() and pid_alive(pid)
                ):
                    continue
                if rel not in referenced and self._remove(
                    rel, (device, inode), "left by an interrupted write"
                ):
                    logger.info("Removed %s, left by an interrupted write", rel)
                self._forget_pending(rel)
        except (OSError, ValueError, sqlite3.Error) as error:
            logger.warning("Could not clean up the data files of %s: %s", self.path, error)
        self._sweep()

    def _record_identities(self):
        """Owned files are removed only as the files they were: the (device, inode) of
        the data files of a project from before it was recorded is taken now."""
        with self._conn:
            for (rel,) in self._conn.execute(
                "SELECT DISTINCT file FROM property_files WHERE file NOT IN "
                "(SELECT file FROM owned_files WHERE inode IS NOT NULL)"
            ).fetchall():
                if not (isinstance(rel, str) and self._own_pattern().fullmatch(rel)):
                    continue
                try:
                    st = os.lstat(safepath.resolve(self.path, rel))
                except (OSError, ValueError):
                    continue
                if os.path.stat.S_ISREG(st.st_mode):
                    self._conn.execute(
                        "INSERT OR REPLACE INTO owned_files VALUES (?, ?, ?)",
                        (rel, st.st_dev, st.st_ino),
                    )

    def _sweep(self):
        """Remove the project's data files that no property refers to any more."""
        try:
            for (rel,) in self._conn.execute(_REFERENCED).fetchall():
                try:
                    safepath.resolve(self.path, rel)
                except ValueError as error:
                    # A damaged entry may have named a file that now looks unused.
                    logger.warning("Removing no data file of %s: %s", self.path, error)
                    return
            rows = self._conn.execute(
                f"SELECT file, device, inode FROM owned_files WHERE file NOT IN ({_REFERENCED})"  # noqa: S608 - fixed names
            ).fetchall()
            for rel, device, inode in rows:
                self._remove(rel, (device, inode), "no property refers to it")
                with self._conn:
                    self._conn.execute("DELETE FROM owned_files WHERE file = ?", (rel,))
        except (OSError, sqlite3.Error) as error:
            logger.warning("Could not remove an old data file of %s: %s", self.path, error)

    def _absolute(self, rel):
        return os.path.join(os.path.dirname(os.path.abspath(self.path)), rel)

    def _insert_property(self, dob, prop_name, array, entry, position, file=None):
        # Percentiles are a cache of the values: JSON would turn float32 ones into
        # doubles that print differently, so they are recomputed after reopening.
        extra = {k: v for k, v in entry.items() if k not in (dob.prop_array_key, PERCENTILES)}
        if cubes.is_cube(array):
            self._conn.execute(
                "INSERT INTO properties VALUES (?, ?, ?, ?, ?, ?, ?)",
                (dob.name, prop_name, position, array.dtype.str, json.dumps(array.shape), b"",
                 dumps(extra)),
            )  # fmt: skip
            cubes.record(self._conn, dob.name, prop_name, array, os.path.dirname(self.path))
            return
        if file is None:
            file = self._own_mapped(array)
            if file:
                # The values are in the file already: write them back, never into a blob.
                if array.mode != "r":
                    array.flush()
        if file:
            shape = array.shape
            packed = (np.dtype(array.dtype).str, json.dumps(shape), b"")
        else:
            packed = pack(array)
        self._conn.execute(
            "INSERT INTO properties VALUES (?, ?, ?, ?, ?, ?, ?)",
            (dob.name, prop_name, position, *packed, dumps(extra)),
        )
        if file:
            self._conn.execute(
                "INSERT INTO property_files VALUES (?, ?, ?)", (dob.name, prop_name, file)
            )

    def _own_mapped(self, array):
        """The name, in the project's folder, of the .npy file `array` maps whole, or None:
        a project refers only to files in its folder (a map of another is copied)."""
        file = mapped_file(array)
        if file is None:
            return None
        rel = os.path.basename(file)
        try:
            if safepath.resolve(self.path, rel) != os.path.realpath(file):
                return None
        except ValueError:
            return None
        return rel

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
        """The stored object `name`, its data files checked and mapped.

        Raises KeyError for an unknown name, UnreadableObject (naming the file and the
        reason) when one of its data files or its record cannot be read.
        """
        try:
            return self._load_object(name)
        except sqlite3.DataError as error:  # a value beyond safepath.MAX_VALUE
            raise UnreadableObject(
                f"The record of the data object {name!r} in {self.path} is damaged: {error}"
            ) from error

    def _load_object(self, name):
        row = self._conn.execute(
            "SELECT prop_array_key, viewable_in_plot, meta FROM objects WHERE name = ?", (name,)
        ).fetchone()
        if row is None:
            raise KeyError(name)
        key, viewable, meta = row
        try:
            values.expect(key, str, "its kind of array")
        except ValueError as error:
            raise UnreadableObject(
                f"The record of the data object {name!r} in {self.path} is damaged: {error}"
            ) from error
        prop = {}
        files = self._property_files(name)
        in_stores = cubes.stored(self._conn, name)
        folder = os.path.dirname(os.path.abspath(self.path))
        for prop_name, dtype, shape, data, extra in self._conn.execute(
            "SELECT name, dtype, shape, data, extra FROM properties WHERE object = ? "
            "ORDER BY position",
            (name,),
        ):
            what = f"the property {prop_name!r} of {name!r}"
            if not isinstance(prop_name, str):
                raise UnreadableObject(f"The name of {what} in {self.path} is not text")
            if prop_name in in_stores:
                try:
                    array = cubes.open_stored(*in_stores[prop_name], folder)
                except StoreError as error:
                    raise UnreadableObject(
                        f"The cube of {what} cannot be used: {error}"
                    ) from error
            elif prop_name in files:
                array = self._map_entry(files[prop_name], dtype, shape, what, not self.read_only)
            else:
                try:
                    array = unpack(dtype, shape, data)
                except (ValueError, TypeError, OverflowError) as error:
                    raise UnreadableObject(
                        f"The values of {what} in {self.path} are damaged: {error}"
                    ) from error
            try:
                attributes = values.loads(extra)
                if not isinstance(attributes, dict):
                    raise TypeError(f"a {type(attributes).__name__} where a record belongs")
                attributes.pop(key, None)  # the values are the array's
                prop[prop_name] = {key: array, **attributes}
            except (ValueError, TypeError) as error:
                raise UnreadableObject(
                    f"The attributes of {what} in {self.path} are damaged: {error}"
                ) from error
        try:
            meta = values.expect(values.loads(meta), dict, "its meta")
            dob = DataObject(name, prop, key, meta, bool(viewable))
        except (ValueError, TypeError) as error:
            raise UnreadableObject(
                f"The record of the data object {name!r} in {self.path} is damaged: {error}"
            ) from error
        self._seen[name] = set(prop)
        return dob

    def attached_names(self, object_name):
        """The names of the data files attached to the object (see `load_attached`)."""
        if not schema.has_table(self._conn, "object_files"):
            return []  # a read-only file of an older version
        rows = self._conn.execute(
            "SELECT name FROM object_files WHERE object = ? ORDER BY name", (object_name,)
        )
        return [r[0] for r in rows]

    def load_attached(self, object_name, name):
        """The data file `name` attached to the object, checked and mapped read-only.

        Raises KeyError when there is none, UnreadableObject when it is missing or damaged.
        """
        row = None
        if schema.has_table(self._conn, "object_files"):
            row = self._conn.execute(
                "SELECT file, dtype, shape FROM object_files WHERE object = ? AND name = ?",
                (object_name, name),
            ).fetchone()
        if row is None:
            raise KeyError(name)
        return self._map_entry(row[0], row[1], row[2], f"the {name} of {object_name!r}", False)

    def _map_entry(self, entry, dtype, shape, what, writable):
        """The data file named by the project's `entry` (shape as stored), checked and
        mapped; UnreadableObject, naming `what`, when it is damaged or missing."""
        try:
            file = safepath.resolve(self.path, entry)
        except ValueError as error:
            raise UnreadableObject(
                f"The data file entry of {what} in {self.path} is damaged: {error}"
            ) from error
        if not os.path.lexists(file):
            raise UnreadableObject(f"The data file {file} of {what} is missing")
        try:
            return open_mapped(file, dtype, values.loads(shape), writable=writable)
        except (OSError, ValueError, TypeError, OverflowError) as error:
            reason = error.strerror if isinstance(error, OSError) else error
            raise UnreadableObject(
                f"The data file {file} of {what} cannot be used: {reason or error}"
            ) from error

    def rename_object(self, old, new):
        with self._conn:
            self._conn.execute("UPDATE objects SET name = ? WHERE name = ?", (new, old))
        self._seen[new] = self._seen.pop(old, set())

    def remove_object(self, name):
        with self._conn:
            self._conn.execute("DELETE FROM objects WHERE name = ?", (name,))

    def rename_property(self, object_name, old, new):
        with self._conn:
            self._conn.execute(
                "UPDATE properties SET name = ? WHERE object = ? AND name = ?",
                (new, object_name, old),
            )
        seen = self._seen.setdefault(object_name, set())
        seen.discard(old)
        seen.add(new)

    def remove_property(self, object_name, prop_name):
        with self._conn:
            self._conn.execute(
                "DELETE FROM properties WHERE object = ? AND name = ?", (object_name, prop_name)
            )

    # Settings of the project (what runs its work, ...), beside the file's own keys.

    def setting(self, key, default=None):
        """The project setting `key`, or `default`."""
        row = self._conn.execute(
            "SELECT value FROM meta WHERE key = ?", (f"setting.{key}",)
        ).fetchone()
        return default if row is None else row[0]

    def save_setting(self, key, value):
        """Store the project setting `key` (None removes it)."""
        self.check_writable()
        with self._conn:
            self._conn.execute("DELETE FROM meta WHERE key = ?", (f"setting.{key}",))
            if value is not None:
                self._conn.execute("INSERT INTO meta VALUES (?, ?)", (f"setting.{key}", value))

    # External modules chosen for the project (a read-only file of version 1 may lack the
    # table).

    def load_extmodules(self):
        """Return the stored selection, "group/module" -> "True" or "False" ({} if none)."""
        if not schema.has_table(self._conn, "extmodules"):
            return {}
        stored = dict(self._conn.execute("SELECT key, value FROM extmodules ORDER BY key"))
        # The ZMAP+ import became the import of every horizon format: keep the choice.
        if "Import/zmap" in stored:
            stored.setdefault("Import/horizons", stored.pop("Import/zmap"))
        return stored

    def save_extmodules(self, selection):
        """Store the selection (values are truth values), replacing the stored one."""
        with self._conn:
            self._conn.execute("DELETE FROM extmodules")
            self._conn.executemany(
                "INSERT INTO extmodules VALUES (?, ?)",
                list(selection_texts(selection).items()),
            )

    # Viewers

    def save_viewers(self, viewers):
        """Store the plot viewers, replacing those stored: (name, state dict, shown names)."""
        rows = [
            (position, name, dumps(state), dumps(list(shown)))
            for position, (name, state, shown) in enumerate(viewers)
        ]
        with self._conn:
            self._conn.execute("DELETE FROM viewers")
            self._conn.executemany("INSERT INTO viewers VALUES (?, ?, ?, ?)", rows)

    def load_viewers(self):
        """Return the stored plot viewers as (name, state dict, shown names), in order."""
        if not schema.has_table(self._conn, "viewers"):
            return []
        viewers = []
        for name, state, shown in self._conn.execute(
            "SELECT name, state, shown FROM viewers ORDER BY position"
        ):
            shown = values.expect(values.loads(shown), list, "the objects a viewer shows")
            viewers.append(
                (
                    values.expect(name, str, "a viewer's name"),
                    values.expect(values.loads(state), dict, "a viewer's state"),
                    [values.expect(n, str, "an object a viewer shows") for n in shown],
                )
            )
        return viewers

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
