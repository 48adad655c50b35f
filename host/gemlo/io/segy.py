"""Post-stack 3-D SEG-Y cubes into memory-mapped project data.

An import is three steps, so that the long one can run on a worker thread
while the project database stays on the thread that owns it:

1. `SegyImport(path, folder, name, survey)` reads the headers and checks the
   geometry (and, given the project's survey, that the cube lies on it);
2. `prepare(database)` makes the project's new data file (unnamed until stored), and
   `copy()` writes the samples into it, in chunks of bounded size; it can be cancelled;
3. `commit(database)` stores the object with that file as its property, and the
   survey if the project has none, in one transaction; the property array is a
   read-write memory map of the file.

A failure, a cancel or a killed process at any step leaves the project and its folder
as they were.
"""

import mmap
import os
import re
import secrets
import sqlite3
import struct
import threading
from pathlib import Path

import numpy as np
import segyio

from gemlo.app.datafile import HIDDEN, DataFile, fsync_folder
from gemlo.data.dataobject import DataObject
from gemlo.utils import surveycalc
from gemlo.utils.convert_grid import Survey, ln2xy

# Trace header bytes (1-based, as the standard counts them)
INLINE, CROSSLINE, CDP_X, CDP_Y, COORD_SCALAR = 189, 193, 181, 185, 71

FLOAT_FORMATS = {1: "4-byte IBM float", 5: "4-byte IEEE float"}
OTHER_FORMATS = {
    2: "4-byte integer",
    3: "2-byte integer",
    4: "4-byte fixed point with gain",
    6: "8-byte IEEE float",
    7: "3-byte integer",
    8: "1-byte integer",
    9: "8-byte integer",
    10: "4-byte unsigned integer",
    11: "2-byte unsigned integer",
    12: "8-byte unsigned integer",
    15: "3-byte unsigned integer",
    16: "1-byte unsigned integer",
}

CHUNK_BYTES = 64 << 20
# How far (as a share of the smaller bin) a corner may lie from where a grid puts it.
TOLERANCE = 0.1


class SegyError(Exception):
    """An import that cannot be done; the message names the file and the reason."""

    def __init__(self, path, reason):
        super().__init__(f"Cannot import {path}: {reason}")
        self.path, self.reason = str(path), reason


class ImportCancelled(Exception):
    """The user cancelled the import."""


def _binary_header(path):
    """Return (endian, sample format, samples per trace) from the file's size and binary
    header, or raise SegyError when they cannot belong to a SEG-Y file."""
    size = os.path.getsize(path)
    if size < 3600 + 240:
        raise SegyError(path, f"not a SEG-Y file (only {size} bytes)")
    with open(path, "rb") as fp:
        fp.seek(3200)
        binary = fp.read(400)
    for endian, mark in (("big", ">"), ("little", "<")):  # noqa: B007 - used after the loop
        (fmt,) = struct.unpack_from(mark + "h", binary, 24)
        (extended,) = struct.unpack_from(mark + "h", binary, 304)
        if (fmt in FLOAT_FORMATS or fmt in OTHER_FORMATS) and extended >= 0:
            break
    else:
        raise SegyError(path, "not a SEG-Y file (its binary header gives no valid sample format)")
    (samples,) = struct.unpack_from(mark + "H", binary, 20)
    if samples == 0:
        # Some writers leave the count to the trace headers.
        with open(path, "rb") as fp:
            fp.seek(3600 + 3200 * extended + 114)
            (samples,) = struct.unpack(mark + "H", fp.read(2).ljust(2, b"\0"))
    if samples == 0:
        raise SegyError(path, "not a SEG-Y file (its headers give no samples per trace)")
    if fmt not in FLOAT_FORMATS:
        raise SegyError(
            path,
            f"unsupported sample format {fmt} ({OTHER_FORMATS[fmt]}); "
            "only IBM (1) and IEEE (5) 4-byte floats are imported",
        )
    trace_bytes = 240 + 4 * samples
    body = size - 3600 - 3200 * extended
    if body <= 0 or body % trace_bytes:
        raise SegyError(
            path,
            f"the file is truncated or damaged: its {size} bytes are not a "
            f"whole number of traces of {samples} samples",
        )
    return endian, fmt, samples


def _scaled(value, scalar):
    # A negative scalar divides: dividing keeps -100 exact where multiplying by 0.01 would not.
    if scalar < 0:
        return value / -scalar
    return float(value * scalar) if scalar > 0 else float(value)


def _regular(path, lines, what):
    steps = np.diff(lines)
    if not (steps[0] != 0 and np.all(steps == steps[0])):
        raise SegyError(path, f"irregular geometry: the {what} numbers are not equally spaced")
    return int(steps[0])


class SegyImport:
    """The import of one SEG-Y cube into a project folder (see the module's documentation).

    `done` and `total` count traces; the copying thread updates `done` and any
    thread may read it or call `cancel()`.
    """

    def __init__(self, path, folder, name, survey=None, chunk_bytes=CHUNK_BYTES, progress=None):
        self.path = str(Path(path).absolute())
        self.folder = Path(folder)
        self.name = name
        self.chunk_bytes = chunk_bytes
        # Called as progress(done, total) on the copying thread after each chunk.
        self.progress = progress
        self.data_file = None
        self.done = 0
        self.error = None
        self._cancel = threading.Event()
        self._scan()
        self.total = self.shape[0] * self.shape[1]
        if survey is not None:
            self.check_survey(survey)

    # Reading the geometry

    def _open(self):
        return segyio.open(
            self.path, "r", iline=INLINE, xline=CROSSLINE, strict=True, endian=self.endian
        )

    def _scan(self):
        path = self.path
        if not os.path.isfile(path):
            raise SegyError(path, "no such file")
        self.endian, fmt, samples = _binary_header(path)
        self.sample_format = FLOAT_FORMATS[fmt]
        try:
            f = self._open()
        except (RuntimeError, ValueError, OSError) as error:
            raise SegyError(
                path,
                "irregular geometry: the inline (byte 189) and crossline "
                f"(byte 193) numbers do not form a regular grid ({error})",
            ) from None
        with f:
            if f.unstructured:
                raise SegyError(path, "irregular geometry: the traces do not form a grid")
            if len(f.offsets) > 1:
                raise SegyError(
                    path,
                    f"{len(f.offsets)} offsets per position: only post-stack cubes are imported",
                )
            self.ilines, self.xlines = np.asarray(f.ilines), np.asarray(f.xlines)
            if len(self.ilines) < 2 or len(self.xlines) < 2:
                raise SegyError(path, "a cube needs at least two inlines and two crosslines")
            self.il_step = _regular(path, self.ilines, "inline")
            self.xl_step = _regular(path, self.xlines, "crossline")
            self.inline_sorted = f.sorting == segyio.TraceSortingFormat.INLINE_SORTING
            interval = (
                f.bin[segyio.BinField.Interval]
                or f.header[0][segyio.TraceField.TRACE_SAMPLE_INTERVAL]
            )
            if interval <= 0:
                raise SegyError(path, "the headers give no sample interval")
            self.dz = interval / 1000.0  # microseconds to milliseconds
            self.z0 = float(f.samples[0])
            self.shape = (len(self.ilines), len(self.xlines), samples)
            corners = [self._corner(f, i, j) for i, j in ((0, 0), (0, -1), (-1, 0), (-1, -1))]
        (il1, xl1, x1, y1), (_, xl2, x2, y2), (il3, _, x3, y3), self._far = corners
        self.sgmt = {
            "P1_ILNO": il1,
            "P1_XLNO": xl1,
            "P1_CRSX": x1,
            "P1_CRSY": y1,
            "P2_ILNO": il1,
            "P2_XLNO": xl2,
            "P2_CRSX": x2,
            "P2_CRSY": y2,
            "P3_ILNO": il3,
            "P3_XLNO": xl1,
            "P3_CRSX": x3,
            "P3_CRSY": y3,
        }
        try:
            self.survey = Survey.from_sgmt(self.sgmt, name=Path(path).stem)
        except ValueError:
            raise SegyError(
                path, "the corner traces' CDP coordinates (bytes 181, 185) do not span a grid"
            ) from None
        self.vidx = {
            "IL_FRST": il1,
            "IL_LAST": il3,
            "IL_NCRT": self.il_step,
            "IL_AMNT": self.shape[0],
            "XL_FRST": xl1,
            "XL_LAST": xl2,
            "XL_NCRT": self.xl_step,
            "XL_AMNT": self.shape[1],
            "DP_FRST": self.z0,
            "DP_LAST": self.z0 + self.dz * (samples - 1),
            "DP_NCRT": self.dz,
            "DP_AMNT": samples,
        }
        parm = surveycalc.get_parm_from_vidx(self.vidx, self.survey)
        self.tolerance = TOLERANCE * min(
            parm["TRACE_INC"] / abs(self.xl_step), parm["PANEL_INC"] / abs(self.il_step)
        )
        # Three corners define the grid; the fourth tells whether the traces stand on it.
        miss = self._misplaced(self.survey, [self._far])
        if miss:
            raise SegyError(path, "irregular geometry: " + miss)

    def _trace_index(self, i, j):
        n_il, n_xl = len(self.ilines), len(self.xlines)
        i, j = i % n_il, j % n_xl
        return i * n_xl + j if self.inline_sorted else j * n_il + i

    def _corner(self, f, i, j):
        header = f.header[self._trace_index(i, j)]
        il, xl = header[INLINE], header[CROSSLINE]
        if (il, xl) != (self.ilines[i], self.xlines[j]):
            raise SegyError(
                self.path,
                f"irregular geometry: a corner trace holds inline {il}, "
                f"crossline {xl} where inline {self.ilines[i]}, "
                f"crossline {self.xlines[j]} belongs",
            )
        scalar = header[COORD_SCALAR]
        return int(il), int(xl), _scaled(header[CDP_X], scalar), _scaled(header[CDP_Y], scalar)

    def _misplaced(self, survey, points):
        """Describe the first point (il, xl, x, y) that `survey` puts elsewhere, or ''."""
        for il, xl, x, y in points:
            px, py = ln2xy(np.array([il, xl]), survey=survey)
            distance = float(np.hypot(px - x, py - y))
            if not distance <= self.tolerance:
                return (
                    f"inline {il}, crossline {xl} lies at ({x:.2f}, {y:.2f}) in the file "
                    f"but at ({px:.2f}, {py:.2f}) on the grid, {distance:.2f} apart"
                )
        return ""

    def check_survey(self, survey):
        """Raise SegyError unless the cube's corners lie where `survey` puts their lines."""
        vxyz = surveycalc.get_vxyz_from_vidx(self.vidx, self.survey)
        corners = [
            (self.vidx["IL_FRST"], self.vidx["XL_FRST"], vxyz["AXIS_ORX"], vxyz["AXIS_ORY"]),
            (self.vidx["IL_FRST"], self.vidx["XL_LAST"], vxyz["AXIS_XLX"], vxyz["AXIS_XLY"]),
            (self.vidx["IL_LAST"], self.vidx["XL_FRST"], vxyz["AXIS_ILX"], vxyz["AXIS_ILY"]),
            self._far,
        ]
        miss = self._misplaced(survey, corners)
        if miss:
            raise SegyError(
                self.path,
                "its grid does not match the project's survey: "
                + miss
                + ". Import it into a new, empty project instead (File > New project)",
            )

    @property
    def meta(self):
        """The object's geometry, as the project stores it."""
        return {
            "il0": int(self.ilines[0]),
            "xl0": int(self.xlines[0]),
            "z0": self.z0,
            "dz": self.dz,
            "z_unit": "ms",
            "il_step": self.il_step,
            "xl_step": self.xl_step,
            "vidx": self.vidx,
            "sgmt": self.sgmt,
            "source": self.path,
            "sample_format": self.sample_format,
        }

    # Copying the samples (any thread)

    def cancel(self):
        self._cancel.set()

    @property
    def cancelled(self):
        return self._cancel.is_set()

    def run(self):
        """copy(), keeping what went wrong in `error` instead of raising it (worker threads)."""
        try:
            self.copy()
        except BaseException as error:  # noqa: BLE001 - reported by the thread that started it
            self.error = error

    def prepare(self, database):
        """Make the data file the samples go into, in `database`'s folder (its thread)."""
        try:
            self.data_file = database.new_data_file(
                self.name, "amplitude", getattr(self, "dtype", np.float32), self.shape
            )
        except OSError as error:
            raise SegyError(
                self.path,
                f"cannot write the data file in {self.folder}: {error.strerror or error}",
            ) from error

    def copy(self):
        """Write the samples into the data file (made here, unnamed, if `prepare` was not
        called); touches nothing else, so it may run on any thread."""
        try:
            if self.data_file is None:
                self.folder.mkdir(parents=True, exist_ok=True)
                self.data_file = DataFile(
                    self.folder, getattr(self, "dtype", np.float32), self.shape
                )
            out = self.data_file.array
        except OSError as error:
            out = None
            self.discard()
            raise SegyError(
                self.path,
                f"cannot write the data file in {self.folder}: {error.strerror or error}",
            ) from error
        try:
            with self._open() as f:
                self._copy_chunks(f, out)
            out.flush()
        except (RuntimeError, OSError) as error:
            del out
            self.discard()
            raise SegyError(self.path, f"copying the samples failed: {error}") from error
        except BaseException:
            del out
            self.discard()
            raise
        del out

    def _copy_chunks(self, f, out):
        n_il, n_xl, ns = self.shape
        step = max(1, self.chunk_bytes // (4 * ns))
        flat = out.reshape(n_il * n_xl, ns)
        pages = getattr(out, "_mmap", None)
        for a in range(0, self.total, step):
            if self.cancelled:
                raise ImportCancelled(f"Import of {self.path} cancelled")
            b = min(self.total, a + step)
            data = f.trace.raw[a:b]
            self._check_lines(f, a, b)
            if self.inline_sorted:
                flat[a:b] = data
            else:
                for j in range(a // n_il, (b - 1) // n_il + 1):
                    t0, t1 = max(a, j * n_il), min(b, (j + 1) * n_il)
                    out[t0 - j * n_il : t1 - j * n_il, j] = data[t0 - a : t1 - a]
            del data  # before the next chunk is read: one chunk in memory at a time
            if pages is not None:
                # The written pages stay in the page cache (dirty ones are written back
                # later), but leave this process: its memory stays that of one chunk.
                pages.madvise(mmap.MADV_DONTNEED)
            self.done = b
            if self.progress is not None:
                self.progress(b, self.total)

    def _check_lines(self, f, a, b):
        t = np.arange(a, b)
        if self.inline_sorted:
            i, j = np.divmod(t, len(self.xlines))
        else:
            j, i = np.divmod(t, len(self.ilines))
        il, xl = f.attributes(INLINE)[a:b], f.attributes(CROSSLINE)[a:b]
        wrong = np.flatnonzero((il != self.ilines[i]) | (xl != self.xlines[j]))
        if wrong.size:
            k = wrong[0]
            raise SegyError(
                self.path,
                f"irregular geometry: trace {a + k + 1} holds inline "
                f"{il[k]}, crossline {xl[k]} where inline "
                f"{self.ilines[i[k]]}, crossline {self.xlines[j[k]]} "
                "belongs",
            )

    def discard(self):
        """Remove the data file, unless it was stored."""
        if self.data_file is not None:
            self.data_file.discard()
            self.data_file = None

    # Storing the object (the database's thread)

    def commit(self, database, add_object=None):
        """Store the copied cube as a new object of `database`, and the cube's survey if
        the project has none, in one transaction; returns the object.

        `add_object(dob)` is then called with the stored object (to show it, say).
        """
        if self.data_file is None:
            raise RuntimeError("nothing to commit: copy() did not complete")
        if self.name in database.object_names():
            self.discard()
            raise ValueError(f"The project already holds an object named {self.name!r}")
        dob = DataObject(self.name, {}, "array3d", self.meta)
        survey = (self.survey, self.sgmt) if database.load_survey()[0] is None else None
        try:
            database.store_properties(
                dob, {"amplitude": self.data_file}, {"amplitude": {"unit": ""}}, survey=survey
            )
        finally:
            self.discard()  # a stored file stays
        if add_object is not None:
            add_object(dob)
        return dob


def object_name(path, taken=()):
    """A name for the cube of the SEG-Y file `path` that is not in `taken`."""
    base = Path(path).stem or "segy"
    name, n = base, 2
    while name in taken:
        name, n = f"{base}_{n}", n + 1
    return name


# A new project while it is built: hidden, named after the project, the process and a
# random token.
BUILDING = re.compile(r"\.(?P<name>.+)\.(?P<pid>\d+)-(?P<token>[0-9a-f]{12})\.part")


def import_to_new_project(segy_path, project_path, chunk_bytes=CHUNK_BYTES, progress=None):
    """Create the project file `project_path` holding the cube of `segy_path` and its survey.

    The project is built under a hidden name and takes its own name only when complete:
    nothing is left behind when it fails or is interrupted, and what a killed run left
    is removed by the next one. An existing project file is never touched. Returns the
    project's path.
    """
    from gemlo.app.project import EXTENSION, ProjectDatabase

    project_path = Path(project_path).expanduser().absolute()
    if project_path.suffix != EXTENSION:
        project_path = project_path.with_name(project_path.name + EXTENSION)
    folder = project_path.parent
    if folder.is_dir():
        remove_dead_builds(folder)
    if project_path.exists():
        raise FileExistsError(f"Cannot create the project: {project_path} already exists")
    job = SegyImport(
        segy_path, project_path.parent, object_name(segy_path), None, chunk_bytes, progress
    )
    folder.mkdir(parents=True, exist_ok=True)
    token = secrets.token_hex(6)
    building = folder / f".{project_path.name}.{os.getpid()}-{token}.part"
    database = None
    try:
        database = ProjectDatabase.create(building, name=project_path.stem)
        job.prepare(database)
        job.copy()
        job.commit(database)
        database.close()
        # A link, not a rename: a project made meanwhile under that name stays.
        os.link(building, project_path)
        os.unlink(building)
        fsync_folder(folder)
    except BaseException:
        job.discard()
        if database is not None:
            database.close()
            _remove_build(building, project_path)
        raise
    return project_path


def remove_dead_builds(folder):
    """Remove what killed imports into new projects in `folder` left behind."""
    for entry in os.scandir(folder):
        match = BUILDING.fullmatch(entry.name)
        if match is None or not entry.is_file(follow_symlinks=False):
            continue
        pid = int(match["pid"])
        if pid != os.getpid() and _alive(pid):
            continue
        with open(entry.path, "rb") as fp:
            head = fp.read(16)
        if head in (b"", b"SQLite format 3\0"):  # killed before or after its first write
            _remove_build(Path(entry.path), Path(folder) / match["name"])


def _alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def _remove_build(building, project_path):
    """Remove a project being built and the data files it made; the project it became,
    if it got that far, stays."""
    if not building.exists():
        return
    if project_path.exists() and os.path.samefile(building, project_path):
        building.unlink()
        return
    stored, pending = [], []
    try:
        conn = sqlite3.connect(building)  # rolls a half-written transaction back
        try:
            stored = [r[0] for r in conn.execute("SELECT file FROM property_files")]
            pending = conn.execute("SELECT file, device, inode FROM pending_files").fetchall()
        finally:
            conn.close()
    except sqlite3.DatabaseError:
        pass  # killed before the tables were made
    stem = project_path.stem
    for rel, *identity in [(rel, None, None) for rel in stored] + pending:
        # Only the names this import gives its data files, beside the project, and a
        # file being named only if it is the one recorded.
        path = building.parent / rel
        named = rel.startswith(f"{stem}.") and rel.endswith(".npy")
        if os.sep in rel or not (named or HIDDEN.fullmatch(rel)):
            continue
        try:
            st = os.lstat(path)
        except FileNotFoundError:
            continue
        if identity == [None, None] or identity == [st.st_dev, st.st_ino]:
            path.unlink()
    for suffix in ("", "-journal", "-wal", "-shm"):
        Path(f"{building}{suffix}").unlink(missing_ok=True)
