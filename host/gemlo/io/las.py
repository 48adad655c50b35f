"""Well logs from LAS files (versions 1.2 and 2.0, wrapped or not), read with lasio.

Each file becomes one data object: its curves are 1-D properties with their
units, the index curve (depth or time) among them and named as the plot's
vertical axis; null values are NaN; the well's map location, if the header
gives one, is kept in the object's meta. Every file is read and checked before
anything is added, so a bad file among several leaves the project as it was.
"""

import logging
from pathlib import Path

import lasio
import numpy as np

from gemlo.errors import InputError
from gemlo.model.dataobject import DataObject
from gemlo.model.naming import free_name
from gemlo.storage.database import ProjectDatabase
from gemlo.storage.paths import with_extension

DEPTH_INDEXES = {"DEPT", "DEPTH", "DPTH", "MD", "TVD", "TVDSS", "TVDSD"}
TIME_INDEXES = {"TIME", "ETIM", "TWT", "OWT"}
DEPTH_UNITS = {"M", "METER", "METERS", "METRES", "F", "FT", "FEET", "FOOT"}
TIME_UNITS = {"S", "SEC", "MS", "MSEC", "US"}
VERSIONS = (1.2, 2.0)
# Header mnemonics of a well's map position, as (x, y) pairs, the likeliest first.
LOCATIONS = (("XCOORD", "YCOORD"), ("X", "Y"), ("XWELL", "YWELL"), ("EAST", "NORTH"))
# lasio logs each repair it makes to a file at warning level; the import reports
# what it refuses itself.
logging.getLogger("lasio").setLevel(logging.ERROR)
# Bounds checked before lasio reads a file, whose time and memory grow much faster than
# the file with the number of curves and the length of a line.
MAX_CURVES = 2000
MAX_HEADER_LINE = 64 << 10
MAX_DATA_LINE = 64 * MAX_CURVES


LasError = InputError


def unique_name(base, taken):
    """`base`, or `base_2`, `base_3`... whichever `taken` does not hold."""
    return free_name(base.strip() or "well", taken)


def _header_value(section, mnemonic):
    try:
        value = section[mnemonic].value
    except KeyError:
        return None
    return value.strip() if isinstance(value, str) else value


def _number(value):
    try:
        number = float(value)
    except (TypeError, ValueError):
        return None
    return number if np.isfinite(number) else None


def _location(las):
    for x_key, y_key in LOCATIONS:
        x, y = (_number(_header_value(las.well, k)) for k in (x_key, y_key))
        if x is not None and y is not None:
            return [x, y]
    return None


def _index_kind(curve):
    """ "depth", "time" or None for a curve that cannot be a log's index."""
    mnemonic = curve.mnemonic.split(":")[0].upper()
    unit = (curve.unit or "").upper()
    if mnemonic in DEPTH_INDEXES or (unit in DEPTH_UNITS and mnemonic not in TIME_INDEXES):
        return "depth"
    if mnemonic in TIME_INDEXES or unit in TIME_UNITS:
        return "time"
    return None


def _check_bounds(path):
    """Refuse a file beyond what a log holds (MAX_CURVES, the line lengths), reading it
    a line at a time."""
    section, curves = "", 0
    try:
        with open(path, "rb") as fp:
            for number, line in enumerate(iter(lambda: fp.readline(MAX_DATA_LINE + 1), b""), 1):
                data = section.startswith("~A")
                if len(line) > (MAX_DATA_LINE if data else MAX_HEADER_LINE):
                    raise LasError(path, f"line {number} is longer than any LAS file's")
                if line.startswith(b"~"):
                    section = line[:2].decode("ascii", "replace").upper()
                elif section == "~C" and line.strip() and not line.lstrip().startswith(b"#"):
                    curves += 1
                    if curves > MAX_CURVES:
                        raise LasError(path, f"more than {MAX_CURVES} curves")
    except OSError as error:
        raise LasError(path, error.strerror or str(error)) from None


def _read(path):
    path = Path(path)
    if not path.is_file():
        raise LasError(path, "no such file")
    _check_bounds(path)
    try:
        return lasio.read(str(path), ignore_header_errors=False)
    except Exception as error:  # lasio raises whatever its parser met
        reason = str(error).strip().splitlines()
        raise LasError(
            path, f"not a readable LAS file ({reason[0] if reason else type(error).__name__})"
        ) from None


def read_well(path, taken=()):
    """Read the LAS file `path` into a well data object named apart from `taken`.

    Raises LasError naming the reason when the file cannot be imported.
    """
    path = Path(path)
    las = _read(path)
    version = _number(_header_value(las.version, "VERS"))
    if version not in VERSIONS:
        found = _header_value(las.version, "VERS")
        raise LasError(
            path, f"LAS version {found or 'missing'}: only versions 1.2 and 2.0 are read"
        )
    if not las.curves:
        raise LasError(path, "no curves")
    index = las.curves[0]
    kind = _index_kind(index)
    if kind is None:
        raise LasError(
            path,
            f"no index curve: the first curve, {index.mnemonic}"
            f"{f' ({index.unit})' if index.unit else ''}, is neither depth nor time",
        )
    if len(las.curves) < 2:
        raise LasError(path, "no log curves besides the index")
    null = _number(_header_value(las.well, "NULL"))
    prop = {}
    for curve in las.curves:
        try:
            values = np.array(curve.data, dtype=np.float64)
        except (TypeError, ValueError):
            raise LasError(path, f"the curve {curve.mnemonic} is not numeric") from None
        if null is not None:
            # lasio leaves the index curve's nulls as they are written.
            values[values == null] = np.nan
        prop[curve.mnemonic] = {
            "array1d": values,
            "unit": curve.unit or "",
            "description": curve.descr or "",
        }
    depth = prop[index.mnemonic]["array1d"]
    if depth.size == 0:
        raise LasError(path, "no data rows")
    if not np.isfinite(depth).all():
        raise LasError(path, f"the index curve {index.mnemonic} has null values")
    steps = np.diff(depth)
    if not ((steps > 0).all() or (steps < 0).all()):
        direction = 1 if depth[-1] >= depth[0] else -1
        at = int(np.flatnonzero(steps * direction <= 0)[0])
        raise LasError(
            path,
            f"the index curve {index.mnemonic} is not monotonic "
            f"({depth[at]:g} is followed by {depth[at + 1]:g}, row {at + 2})",
        )
    name = _header_value(las.well, "WELL")
    name = unique_name(str(name) if name else path.stem, taken)
    logs = [m for m in prop if m != index.mnemonic]
    # The first curve that holds a value goes on the horizontal axis.
    shown = next((m for m in logs if np.isfinite(prop[m]["array1d"]).any()), logs[0])
    meta = {
        "plot_x": shown,
        "plot_y": index.mnemonic,
        "plot_y_down": kind == "depth",
        "index_kind": kind,
        "location": _location(las),
        "source": str(path.absolute()),
        "las_version": version,
        "wrapped": str(_header_value(las.version, "WRAP")).upper() == "YES",
        "null_value": null,
        "header": {
            item.mnemonic: str(item.value)
            for item in las.well
            if str(item.value).strip() and item.mnemonic not in ("STRT", "STOP", "STEP")
        },
        "color": "#2b8a3e",
    }
    return DataObject(name, prop, "array1d", meta)


def read_wells(paths, taken=()):
    """Read every LAS file of `paths`; names are unique among them and apart from `taken`.

    Raises LasError at the first file that cannot be imported: then nothing is returned.
    """
    names = set(taken)
    wells = []
    for path in paths:
        well = read_well(path, names)
        names.add(well.name)
        wells.append(well)
    return wells


def import_to_project(las_paths, project_path):
    """Add the wells of `las_paths` to the project at `project_path`, made if it does not exist.

    All files are read before the project is touched; the wells go in in one
    transaction. A new project file is removed again if that fails. Returns
    (project path, names of the new objects).
    """
    project_path = with_extension(Path(project_path).expanduser().absolute())
    if project_path.exists():
        database, created = ProjectDatabase.open(project_path), False
    else:
        wells = read_wells(las_paths)
        database, created = ProjectDatabase.create(project_path), True
    try:
        if not created:
            wells = read_wells(las_paths, database.object_names())
        database.save_objects(wells)
    except BaseException:
        database.close()
        if created:
            project_path.unlink(missing_ok=True)
        raise
    database.close()
    return project_path, [w.name for w in wells]


def command(args):
    """The import-las command: returns the exit status."""
    from gemlo.io import cli

    def work():
        path, names = import_to_project(args.files, args.project)
        print(f"Added {', '.join(names)} to {path}")

    return cli.run(work, "Import of the LAS files interrupted; nothing was added")
