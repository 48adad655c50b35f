"""Well logs in and out of LAS files (versions 1.2 and 2.x, wrapped or not), with lasio.

Each file becomes one data object: its curves are 1-D properties with their
units, the index curve (depth or time) among them and named as the plot's
vertical axis; null values are NaN; the well's map location, if the header
gives one, is kept in the object's meta. Every file is read and checked before
anything is added, so a bad file among several leaves the project as it was.
The header's items (well, parameters, curve codes, other text) are kept as they
came, so that the well goes back out with them. A file without a version line
reads as 2.0 (2.1 changes nothing a reader sees); one holding only its data
section takes the first column as the index, as LAS has it.
"""

import errno
import io
import logging
import math
from pathlib import Path

import lasio
import numpy as np

from gemlo.errors import InputError, OutputError
from gemlo.io.outfile import OutputFile
from gemlo.model.dataobject import DataObject
from gemlo.model.naming import free_name
from gemlo.storage.database import ProjectDatabase
from gemlo.storage.paths import with_extension

DEPTH_INDEXES = {"DEPT", "DEPTH", "DPTH", "MD", "TVD", "TVDSS", "TVDSD"}
TIME_INDEXES = {"TIME", "ETIM", "TWT", "OWT"}
DEPTH_UNITS = {"M", "METER", "METERS", "METRES", "F", "FT", "FEET", "FOOT"}
TIME_UNITS = {"S", "SEC", "MS", "MSEC", "US"}
# Versions read, and the one each is kept as.
VERSIONS = {1.2: 1.2, 2.0: 2.0, 2.1: 2.0}
RECOMPUTED = ("STRT", "STOP", "STEP", "NULL")  # well items written from the data
ROWS_AT_ONCE = 20000  # data rows written at once
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
                text = line.lstrip()
                heading = text.startswith(b"~")
                if heading:
                    section = text[:2].decode("ascii", "replace").upper()
                # A file of data only has no sections.
                data = section in ("", "~A") and not heading
                if len(line) > (MAX_DATA_LINE if data else MAX_HEADER_LINE):
                    raise LasError(path, f"line {number} is longer than any LAS file's")
                if section == "~C" and not heading and text.strip() and not text.startswith(b"#"):
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
        return lasio.read(str(path), ignore_header_errors=False), _sections(path)
    except Exception as error:  # lasio raises whatever its parser met
        reason = str(error).strip().splitlines()
        raise LasError(
            path, f"not a readable LAS file ({reason[0] if reason else type(error).__name__})"
        ) from None


def _sections(path):
    """The first letters of the file's sections up to its data section ("A")."""
    letters = set()
    with open(path, "rb") as fp:
        for line in fp:
            text = line.lstrip()
            if text.startswith(b"~"):
                letter = text[1:2].decode("ascii", "replace").upper()
                letters.add(letter)
                if letter == "A":
                    break
    return letters


def _items(section):
    """[[mnemonic, unit, value, description]] of a header section, as texts."""
    return [
        [
            item.mnemonic,
            item.unit or "",
            "" if _blank(item.value) else str(item.value),
            item.descr or "",
        ]
        for item in section
    ]


def _blank(value):
    return (
        value is None or (isinstance(value, float) and np.isnan(value)) or str(value).strip() == ""
    )


def read_well(path, taken=()):
    """Read the LAS file `path` into a well data object named apart from `taken`.

    Raises LasError naming the reason when the file cannot be imported.
    """
    path = Path(path)
    las, sections = _read(path)
    found = _header_value(las.version, "VERS")
    version = VERSIONS.get(_number(found) if not _blank(found) else 2.0)
    if version is None:
        raise LasError(path, f"LAS version {found}: only versions 1.2, 2.0 and 2.1 are read")
    if not las.curves:
        raise LasError(path, "no curves")
    if "C" not in sections:
        # No curve section: the columns have no names; the first is the index.
        for number, curve in enumerate(las.curves, 1):
            curve.mnemonic = "DEPT" if number == 1 else f"CURVE{number}"
    if "W" not in sections:
        las.well.clear()  # lasio's defaults, the NULL among them, are not the file's
    index = las.curves[0]
    kind = _index_kind(index) or ("depth" if "C" not in sections else None)
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
        "las": {
            "well": [i for i in _items(las.well) if i[0] not in RECOMPUTED],
            "params": _items(las.params),
            "codes": {c.mnemonic: str(c.value) for c in las.curves if not _blank(c.value)},
            "other": las.other if isinstance(las.other, str) else "",
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


def _step(index):
    """The index's constant step, or 0 (LAS's word for none) when it varies."""
    steps = np.diff(index)
    if steps.size and np.allclose(steps, steps[0], rtol=1e-9, atol=0):
        return float(steps[0])
    return 0.0


def _curves(dob):
    """The well's curve names, its index first."""
    index = dob.meta.get("plot_y")
    names = list(dob.prop)
    if index in names:
        names.remove(index)
        names.insert(0, index)
    return names


def write_well(dob, path, progress=None):
    """Write the well `dob` to the LAS file `path`, all or nothing.

    Every curve goes out with its unit, description and code, nulls as the null value
    the well came in with (-999.25 if none), header items as they were read.
    `progress(done, total)` hears of every batch of data rows. A file that cannot be
    written raises LasError; the target is then as it was.
    """
    if dob.prop_array_key != "array1d" or not dob.prop:
        raise OutputError(path, f"{dob.name} is not a well (logs along an index)", "export")
    names = _curves(dob)
    data = [np.asarray(dob.array(name), dtype=np.float64) for name in names]
    if len({d.size for d in data}) > 1:
        raise OutputError(path, f"the curves of {dob.name} differ in length", "export")
    meta = dob.meta
    saved = meta.get("las", {})
    null = meta.get("null_value")
    null = -999.25 if null is None else null
    unit = dob.prop[names[0]].get("unit", "")
    las = lasio.LASFile()
    items = [
        lasio.HeaderItem("STRT", unit, 0.0, "START"),
        lasio.HeaderItem("STOP", unit, 0.0, "STOP"),
        lasio.HeaderItem("STEP", unit, 0.0, "STEP"),
        lasio.HeaderItem("NULL", "", null, "NULL VALUE"),
    ]
    header = saved.get("well") or [[k, "", v, ""] for k, v in meta.get("header", {}).items()]
    items += [lasio.HeaderItem(*item) for item in header if item[0] not in RECOMPUTED]
    if not any(item.mnemonic == "WELL" and not _blank(item.value) for item in items):
        items = [i for i in items if i.mnemonic != "WELL"]
        items.append(lasio.HeaderItem("WELL", "", dob.name, "WELL"))
    las.sections["Well"] = lasio.SectionItems(items)
    las.sections["Parameter"] = lasio.SectionItems(
        [lasio.HeaderItem(*item) for item in saved.get("params", [])]
    )
    las.other = saved.get("other", "")
    codes = saved.get("codes", {})
    for name in names:
        prop = dob.prop[name]
        las.append_curve(
            name,
            np.empty(0),
            unit=prop.get("unit", ""),
            value=codes.get(name, ""),
            descr=prop.get("description", ""),
        )
    index = data[0]
    version = 1.2 if meta.get("las_version") == 1.2 else 2.0
    head = io.StringIO()
    finite = index[np.isfinite(index)]
    start, stop = (float(finite[0]), float(finite[-1])) if finite.size else (null, null)
    las.write(head, version=version, wrap=False, STRT=start, STOP=stop, STEP=_step(index))
    try:
        with OutputFile(path) as out:
            out.write((head.getvalue().rstrip() + "\n").encode("utf-8"))
            _write_rows(out, np.column_stack(data), null, progress)
            out.commit()
    except OSError as error:
        reason = "the disk is full" if error.errno == errno.ENOSPC else error.strerror or error
        raise OutputError(path, f"{reason}; nothing was written") from None


def _write_rows(out, table, null, progress):
    """The data section: one line per row, nulls as `null`, numbers that read back as they are."""
    null_text = f"{null:.10g}"
    for start in range(0, len(table), ROWS_AT_ONCE):
        rows = table[start : start + ROWS_AT_ONCE].tolist()
        lines = (
            " ".join(f"{v:.10g}" if math.isfinite(v) else null_text for v in row) for row in rows
        )
        out.write(("\n".join(lines) + "\n").encode("ascii"))
        if progress is not None:
            progress(start + len(rows), len(table))


def _load_well(project_path, name, path):
    database = ProjectDatabase.open(project_path)
    try:
        return database.load_object(name)
    except KeyError:
        raise OutputError(path, f"the project has no object named {name!r}", "export") from None
    finally:
        database.close()


def export_command(args):
    """The export-las command: returns the exit status."""
    from gemlo.io import cli

    progress = cli.tenths(args.out, "rows")

    def work():
        well = _load_well(args.project, args.well, args.out)
        write_well(well, args.out, progress)
        print(f"Wrote {well.name} to {args.out}: {len(well.prop)} curves")

    return cli.run(work, f"Export to {args.out} interrupted; nothing was written")
