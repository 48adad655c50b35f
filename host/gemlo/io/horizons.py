"""Horizon grid files in and out: ZMAP+, IRAP classic ASCII and IRAP binary.

A file's format is told by its content, never by its name. Coming in, the grid
is sampled at every inline and crossline of the project's survey; going out, the
survey's own grid of the horizon is written, one node per position.

ZMAP+ has no rotation: a horizon on a survey turned by other than a multiple of
90 degrees goes out on the unrotated grid that bounds it, at the survey's finer
line spacing, sampled bilinearly as imports are; nodes outside the survey are
null. A program that reads only ZMAP+ gets the whole horizon; IRAP keeps the
survey's own nodes.
"""

import errno
from pathlib import Path

from gemlo.errors import InputError, OutputError
from gemlo.io import irap, zmap
from gemlo.io.outfile import OutputFile
from gemlo.io.surface import horizon, surface_of_horizon
from gemlo.model.naming import free_name
from gemlo.storage.database import ProjectDatabase
from gemlo.storage.paths import with_extension

READERS = {"zmap": zmap.read_grid, "irap-ascii": irap.read_ascii, "irap-binary": irap.read_binary}
TITLES = {"zmap": "ZMAP+", "irap-ascii": "IRAP classic ASCII", "irap-binary": "IRAP binary"}
SUFFIXES = {"zmap": ".zmap", "irap-ascii": ".irap", "irap-binary": ".gri"}
SNIFF = 4096  # bytes of a line looked at to tell the format
SNIFF_LINES = 10000  # comment lines that may come before it


def file_format(path):
    """ "zmap", "irap-ascii" or "irap-binary" from the content of `path`; InputError if none."""
    path = Path(path)
    if not path.is_file():
        raise InputError(path, "no such file")
    try:
        with open(path, "rb") as fp:
            if irap.binary_order(fp.read(8)):
                return "irap-binary"
            fp.seek(0)
            return _text_format(fp, path)
    except OSError as error:
        raise InputError(path, error.strerror or str(error)) from None


def _text_format(fp, path):
    """The format of a text grid by its first line that is not a comment."""
    for _line in range(SNIFF_LINES):
        raw = fp.readline(SNIFF)
        if not raw:
            break
        try:
            text = raw.decode("ascii")
        except UnicodeDecodeError:
            text = "\x00"
        if "\x00" in text:
            raise InputError(
                path, "not a horizon grid (neither a text file nor an IRAP binary grid)"
            )
        content = zmap.line_content(text)
        if not content:
            continue
        content = content.strip()
        if content.startswith("@"):
            return "zmap"
        if content.split()[0] == str(irap.MAGIC):
            return "irap-ascii"
        break
    raise InputError(
        path,
        "not a horizon grid: neither ZMAP+ (a header line starting with @) "
        "nor IRAP (starting with -996)",
    )


def read_surface(path, formats=tuple(READERS)):
    """The Surface of the horizon file `path`, of one of `formats`."""
    kind = file_format(path)
    if kind not in formats:
        wanted = " or ".join(TITLES[f] for f in formats)
        raise InputError(path, f"an {TITLES[kind]} grid, not {wanted}")
    return READERS[kind](path)


def read_horizon(path, survey, sgmt, taken=(), progress=None, formats=tuple(READERS)):
    """The horizon of the grid file `path` on the survey, named apart from `taken`."""
    path = Path(path)
    if survey is None:
        raise InputError(
            path, "the project has no survey to put the horizon on (import a SEG-Y cube first)"
        )
    surface = read_surface(path, formats)
    name = free_name((surface.name or path.stem).strip() or "horizon", taken)
    return horizon(surface, survey, sgmt, name, source=path.absolute(), progress=progress)


def import_to_project(path, project_path, progress=None, formats=tuple(READERS)):
    """Add the horizon of the grid file `path` to the existing project `project_path`.

    Returns (project path, the new object's name).
    """
    project_path = with_extension(Path(project_path).expanduser().absolute())
    if not project_path.is_file():
        raise InputError(
            path, f"no project at {project_path}: a horizon needs a project with a survey"
        )
    database = ProjectDatabase.open(project_path)
    try:
        survey, sgmt = database.load_survey()
        dob = read_horizon(path, survey, sgmt, database.object_names(), progress, formats)
        database.save_objects([dob])
    finally:
        database.close()
    return project_path, dob.name


def write_horizon(dob, survey, path, kind, progress=None):
    """Write the horizon `dob` on `survey` to `path` as a grid file of `kind`; all or nothing.

    `progress(done, total)` hears of every slab of rows; what it raises ends the
    work with nothing written. A file that cannot be written raises OutputError.
    """
    try:
        surface = surface_of_horizon(dob, survey)
    except ValueError as error:
        raise OutputError(path, str(error), "export") from None
    if kind == "zmap":
        # A turned survey is resampled first: its slabs report (and cancel) as well.
        surface = surface.unrotated(progress)
    try:
        with OutputFile(path) as out:
            if kind == "zmap":
                zmap.write_surface(out, surface, progress)
            elif kind == "irap-ascii":
                irap.write_ascii(out, surface, progress)
            else:
                irap.write_binary(out, surface, progress)
            out.commit()
    except OSError as error:
        raise OutputError(path, _write_reason(error)) from None
    return surface


def _write_reason(error):
    if error.errno == errno.ENOSPC:
        return "the disk is full; nothing was written"
    return f"{error.strerror or error}; nothing was written"


def _load(project_path, name, path):
    """(object, survey) of `name` in the project, opened for reading."""
    database = ProjectDatabase.open(project_path)
    try:
        survey, _sgmt = database.load_survey()
        try:
            dob = database.load_object(name)
        except KeyError:
            raise OutputError(
                path, f"the project has no object named {name!r}", "export"
            ) from None
    finally:
        database.close()
    return dob, survey


def import_command(args, formats=tuple(READERS)):
    """The import-horizon (and import-zmap) command: returns the exit status."""
    from gemlo.io import cli

    progress = cli.tenths(args.file, "inlines")

    def work():
        path, name = import_to_project(args.file, args.project, progress, formats)
        print(f"Added {name} to {path}")

    return cli.run(work, f"Import of {args.file} interrupted; nothing was added")


def export_command(args):
    """The export-horizon command: returns the exit status."""
    from gemlo.io import cli

    # ZMAP+ runs column by column.
    progress = cli.tenths(args.out, "columns" if args.format == "zmap" else "rows")

    def work():
        dob, survey = _load(args.project, args.object, args.out)
        surface = write_horizon(dob, survey, args.out, args.format, progress)
        rows, columns = surface.shape
        print(f"Wrote {dob.name} to {args.out}: {TITLES[args.format]}, {columns} by {rows} nodes")

    return cli.run(work, f"Export to {args.out} interrupted; nothing was written")
