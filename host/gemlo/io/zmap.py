"""ZMAP+ ASCII grids, and horizons made from them on a project's survey.

The format: "!" comment lines, then a header between a line starting with "@"
(grid name, "GRID", values per line) and a line holding only "@":
field width, null value, null text, decimals, start column; rows, columns,
x min, x max, y min, y max; three transform values. The values follow column by
column, west to east, each column from north to south and starting on a new line.
"""

import os
from pathlib import Path

import numpy as np

from gemlo.errors import Cancelled, InputError
from gemlo.model.dataobject import DataObject
from gemlo.model.naming import free_name
from gemlo.storage.database import ProjectDatabase
from gemlo.storage.paths import with_extension
from gemlo.utils import surveycalc
from gemlo.utils.convert_grid import ln2xy

HEADER_FIELDS = 14  # after the "@name, GRID, n" line
# A value within this share of the null value's size counts as null: writers round it.
NULL_TOLERANCE = 1e-6
SLAB_POSITIONS = 1 << 20  # survey positions sampled at once
# The longest line read: a grid's lines hold a few values each, so a longer one is
# not a grid (and would cost many times its size in memory).
MAX_LINE = 64 << 10


ZmapError = InputError
ImportCancelled = Cancelled


class Grid:
    """A ZMAP+ grid: `z[row, column]` with row 0 at y max (north), column 0 at x min."""

    def __init__(self, name, z, x_range, y_range, null):
        self.name, self.z, self.null = name, z, null
        self.x_range, self.y_range = x_range, y_range

    @property
    def shape(self):
        return self.z.shape

    def x(self):
        return np.linspace(*self.x_range, self.shape[1])

    def y(self):
        """The rows' y, north to south."""
        return np.linspace(self.y_range[1], self.y_range[0], self.shape[0])

    def sample(self, xy):
        """Bilinear values at the (n, 2) map points `xy`; NaN outside or next to a null."""
        # The interpolator wants ascending axes: rows south to north.
        from scipy.interpolate import RegularGridInterpolator  # slow to load: when used

        interpolate = RegularGridInterpolator(
            (self.y()[::-1], self.x()),
            self.z[::-1],
            method="linear",
            bounds_error=False,
            fill_value=np.nan,
        )
        xy = np.asarray(xy, dtype=float)
        return interpolate(np.column_stack([xy[:, 1], xy[:, 0]]))


def _fields(lines):
    return [f.strip() for line in lines for f in line.split(",")]


def _float(text, what, path):
    try:
        return float(text)
    except ValueError:
        raise ZmapError(path, f"the header's {what} is {text!r}, not a number") from None


def _int(text, what, path, least):
    try:
        value = int(text)
    except ValueError:
        raise ZmapError(path, f"the header's {what} is {text!r}, not a whole number") from None
    if value < least:
        raise ZmapError(path, f"the header's {what} is {value}, less than {least}")
    return value


def _values(line, width, number, path):
    """The numbers of one data line; fields that run together are split by the field width."""
    try:
        return [float(t) for t in line.split()]
    except ValueError:
        pass
    text = line.rstrip("\r\n")
    if width > 0:
        try:
            return [
                float(text[i : i + width])
                for i in range(0, len(text), width)
                if text[i : i + width].strip()
            ]
        except ValueError:
            pass
    bad = next(t for t in line.split() if not _is_number(t))
    raise ZmapError(path, f"line {number}: {bad!r} is not a number")


def _is_number(text):
    try:
        float(text)
    except ValueError:
        return False
    return True


def read_grid(path):
    """Read the ZMAP+ file `path`; raises ZmapError with the reason when it cannot."""
    path = Path(path)
    if not path.is_file():
        raise ZmapError(path, "no such file")
    try:
        with open(path, encoding="ascii", errors="strict") as fp:
            size = os.fstat(fp.fileno()).st_size
            lines = []
            while line := fp.readline(MAX_LINE + 1):
                if len(line) > MAX_LINE:
                    raise ZmapError(
                        path,
                        f"not a ZMAP+ grid (line {len(lines) + 1} is longer than "
                        f"{MAX_LINE} characters)",
                    )
                lines.append(line)
    except UnicodeDecodeError:
        raise ZmapError(path, "not a ZMAP+ grid (not an ASCII text file)") from None
    except OSError as error:
        raise ZmapError(path, error.strerror or str(error)) from None
    body = [(n, line) for n, line in enumerate(lines, 1) if not line.lstrip().startswith("!")]
    if not body or not body[0][1].lstrip().startswith("@"):
        raise ZmapError(path, "not a ZMAP+ grid (no header line starting with @)")
    first = _fields([body[0][1].lstrip()[1:]])
    if len(first) < 3 or first[1].upper() != "GRID":
        raise ZmapError(path, "not a ZMAP+ grid (its first header line does not say GRID)")
    name = first[0]
    _int(first[2], "values per line", path, 1)
    end = next((i for i, (_n, line) in enumerate(body[1:], 1) if line.strip() == "@"), None)
    if end is None:
        raise ZmapError(path, "truncated: the header does not end with a line holding @")
    fields = _fields(line for _n, line in body[1:end])
    if len(fields) != HEADER_FIELDS:
        raise ZmapError(
            path, f"the header holds {len(fields)} fields where {HEADER_FIELDS} belong"
        )
    width = _int(fields[0] or "0", "field width", path, 0)
    null_text = fields[1] or fields[2]
    if not null_text:
        raise ZmapError(path, "the header gives no null value")
    null = _float(null_text, "null value", path)
    rows = _int(fields[5], "row count", path, 2)
    columns = _int(fields[6], "column count", path, 2)
    x_min, x_max, y_min, y_max = (
        _float(fields[i], what, path)
        for i, what in zip(range(7, 11), ("x min", "x max", "y min", "y max"), strict=True)
    )
    if not (x_min < x_max and y_min < y_max):
        raise ZmapError(
            path,
            f"the header's extent x {x_min:g} to {x_max:g}, y {y_min:g} to {y_max:g} is empty",
        )
    expected = rows * columns
    # Each value takes a character and a separator at the least.
    if expected > size // 2:
        raise ZmapError(
            path,
            f"the header's {rows} rows by {columns} columns make {expected} values, more "
            f"than its {size} bytes can hold",
        )
    values = []
    for number, line in body[end + 1 :]:
        if line.strip():
            values.extend(_values(line, width, number, path))
            if len(values) > expected:
                break  # refused below, before reading on
    if len(values) < expected:
        raise ZmapError(
            path,
            f"truncated: {len(values)} values where the header's {rows} rows by "
            f"{columns} columns make {expected}",
        )
    if len(values) > expected:
        raise ZmapError(
            path,
            f"{len(values)} values where the header's {rows} rows by {columns} "
            f"columns make {expected}: the header disagrees with the data",
        )
    z = np.array(values, dtype=np.float64).reshape(columns, rows).T
    z[np.abs(z - null) <= NULL_TOLERANCE * max(abs(null), 1.0)] = np.nan
    return Grid(name, z, (x_min, x_max), (y_min, y_max), null)


def write_grid(fp, z, x_range, y_range, name="GRID", null=1e30, per_line=5):
    """Write `z` (row 0 north, column 0 west; NaN for nulls) as a ZMAP+ grid to `fp`."""
    rows, columns = np.shape(z)
    fp.write(f"! written by gemlo\n@{name}, GRID, {per_line}\n")
    fp.write(f"15, {null:g}, , 4, 1\n{rows}, {columns}, ")
    fp.write(f"{x_range[0]:.4f}, {x_range[1]:.4f}, {y_range[0]:.4f}, {y_range[1]:.4f}\n")
    fp.write("0.0, 0.0, 0.0\n@\n")
    for column in np.asarray(z, dtype=float).T:
        texts = [f"{v:15.4f}" if np.isfinite(v) else f"{null:15g}" for v in column]
        for start in range(0, rows, per_line):
            fp.write("".join(texts[start : start + per_line]) + "\n")


def survey_lines(sgmt):
    """The volume index (IL_*, XL_*; DP_* zero) of every line of the survey `sgmt`."""
    vidx = {}
    for axis, first, last in (("IL", "P1_ILNO", "P3_ILNO"), ("XL", "P1_XLNO", "P2_XLNO")):
        a, b = int(round(sgmt[first])), int(round(sgmt[last]))
        step = 1 if b >= a else -1
        vidx.update(
            {
                f"{axis}_FRST": a,
                f"{axis}_LAST": b,
                f"{axis}_NCRT": step,
                f"{axis}_AMNT": abs(b - a) + 1,
            }
        )
    vidx.update({"DP_FRST": 0, "DP_LAST": 0, "DP_NCRT": 0, "DP_AMNT": 1})
    return vidx


def horizon(grid, survey, sgmt, name, prop_name="z", source=None, progress=None):
    """The horizon data object of `grid` on the survey: inline x crossline values.

    Each position takes the grid's value at its map coordinates; positions off
    the grid are NaN. A grid that covers none of the survey raises ZmapError.
    `progress(done, total)` hears of every slab of inlines; what it raises ends the work.
    """
    vidx = survey_lines(sgmt)
    il = vidx["IL_FRST"] + vidx["IL_NCRT"] * np.arange(vidx["IL_AMNT"])
    xl = vidx["XL_FRST"] + vidx["XL_NCRT"] * np.arange(vidx["XL_AMNT"])
    values = np.empty((il.size, xl.size), dtype=np.float32)
    # A slab of inlines at a time: a large survey's coordinates are never all in memory.
    rows = max(1, SLAB_POSITIONS // xl.size)
    for start in range(0, il.size, rows):
        block = il[start : start + rows]
        lines = np.column_stack([np.repeat(block, xl.size), np.tile(xl, block.size)])
        values[start : start + rows] = grid.sample(ln2xy(lines, survey=survey)).reshape(
            block.size, xl.size
        )
        if progress is not None:
            progress(start + block.size, il.size)
    where = source or grid.name
    if not np.isfinite(values).any():
        corners = surveycalc.get_vxyz_from_vidx(vidx, survey)
        raise ZmapError(
            where,
            f"the grid (x {grid.x_range[0]:g} to {grid.x_range[1]:g}, y {grid.y_range[0]:g} "
            f"to {grid.y_range[1]:g}) holds no value over the survey, whose origin is at "
            f"x {corners['AXIS_ORX']:.0f}, y {corners['AXIS_ORY']:.0f}",
        )
    meta = {
        "il0": int(il[0]),
        "xl0": int(xl[0]),
        "il_step": vidx["IL_NCRT"],
        "xl_step": vidx["XL_NCRT"],
        "vidx": vidx,
        "vxyz": surveycalc.get_vxyz_from_vidx(vidx, survey),
        "grid": {
            "name": grid.name,
            "shape": list(grid.shape),
            "x_range": list(grid.x_range),
            "y_range": list(grid.y_range),
            "null_value": grid.null,
        },
        "source": str(source) if source else None,
    }
    prop = {prop_name: {"array2d": values, "unit": ""}}
    return DataObject(name, prop, "array2d", meta, viewable_in_plot=False)


def read_horizon(path, survey, sgmt, taken=(), progress=None):
    """The horizon of the ZMAP+ file `path` on the survey, named apart from `taken`."""
    path = Path(path)
    if survey is None:
        raise ZmapError(
            path, "the project has no survey to put the horizon on (import a SEG-Y cube first)"
        )
    grid = read_grid(path)
    name = free_name((grid.name or path.stem).strip() or "horizon", taken)
    return horizon(grid, survey, sgmt, name, source=path.absolute(), progress=progress)


def import_to_project(zmap_path, project_path, progress=None):
    """Add the horizon of `zmap_path` to the existing project `project_path`.

    Returns (project path, the new object's name).
    """
    project_path = with_extension(Path(project_path).expanduser().absolute())
    if not project_path.is_file():
        raise ZmapError(
            zmap_path, f"no project at {project_path}: a horizon needs a project with a survey"
        )
    database = ProjectDatabase.open(project_path)
    try:
        survey, sgmt = database.load_survey()
        dob = read_horizon(zmap_path, survey, sgmt, database.object_names(), progress)
        database.save_objects([dob])
    finally:
        database.close()
    return project_path, dob.name


def command(args):
    """The import-zmap command: returns the exit status."""
    from gemlo.io import cli

    progress = cli.tenths(args.file, "inlines")

    def work():
        path, name = import_to_project(args.file, args.project, progress)
        print(f"Added {name} to {path}")

    return cli.run(work, f"Import of {args.file} interrupted; nothing was added")
