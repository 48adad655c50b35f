"""Start the application: python -m gemlo.app [--project PATH] [--no-sample] [--screenshot DIR].

Or import data without a window:
python -m gemlo.app import-segy FILE PROJECT [--iline B] [--xline B] [--cdpx B] [--cdpy B]
    [--store npy|zarr|zarr:FOLDER|s3://bucket/prefix --profile NAME]
python -m gemlo.app move-cube PROJECT OBJECT --store STORE [--profile NAME]
python -m gemlo.app scan-segy FILE [--iline B ...]   (what import-segy would do)
python -m gemlo.app import-las FILE... PROJECT
python -m gemlo.app import-zmap FILE PROJECT
python -m gemlo.app import-horizon FILE PROJECT   (ZMAP+, IRAP ASCII or binary)
python -m gemlo.app export-las PROJECT WELL OUT.las
python -m gemlo.app export-horizon PROJECT OBJECT OUT --format zmap|irap-ascii|irap-binary
python -m gemlo.app export-segy PROJECT OBJECT OUT.sgy [--property NAME] [--format CODE]
python -m gemlo.app process PROJECT OBJECT OPERATION --output NAME [options] [--scheduler ADDRESS]
python -m gemlo.app stats PROJECT OBJECT [--property NAME] [--scheduler ADDRESS]
python -m gemlo.app scheduler PROJECT [ADDRESS | --clear]
"""

import argparse
import datetime
import os
import sys
import tempfile
from pathlib import Path

from gemlo.io import cli
from gemlo.storage import paths


def default_project_path(folder=None):
    """A new time-stamped project path in `folder` (default ~/gemlo-projects)."""
    folder = Path(folder) if folder else Path.home() / "gemlo-projects"
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    path, n = folder / f"project-{stamp}.lmd", 2
    while path.exists():
        path, n = folder / f"project-{stamp}-{n}.lmd", n + 1
    return path


def parse_args(argv=None):
    from gemlo.io import storecli
    from gemlo.io.segy import add_header_options

    parser = argparse.ArgumentParser(prog="gemlo", description=__doc__)
    parser.add_argument(
        "--project",
        help="new project file to create (default: a time-stamped one in "
        "--workdir or ~/gemlo-projects)",
    )
    parser.add_argument("--workdir", help="working directory of the session")
    parser.add_argument(
        "--no-sample",
        action="store_true",
        help="start on an empty project, without the sample data",
    )
    parser.add_argument(
        "--screenshot",
        metavar="DIR",
        help="walk the tour (which adds the sample data), saving a screenshot "
        "of each step into DIR, then quit",
    )
    parser.add_argument("--debug", action="store_true", help="log debug messages")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    segy = commands.add_parser(
        "import-segy",
        help="import a post-stack 3-D SEG-Y cube into a new project file",
        description="Create the project file PROJECT (never replacing one) holding the cube "
        "of the SEG-Y file FILE and its survey, the samples in a .npy file beside it.",
    )
    segy.add_argument("file", metavar="FILE", help="the SEG-Y file")
    segy.add_argument("project", metavar="PROJECT", help="the new project file")
    add_header_options(segy)
    storecli.add_store_options(segy)
    scan = commands.add_parser(
        "scan-segy",
        help="show what import-segy would do with a SEG-Y file, or why it would refuse it",
        description="Print the headers, sample format, geometry and coordinates that "
        "import-segy would take from FILE, or the reason it would refuse the file.",
    )
    scan.add_argument("file", metavar="FILE", help="the SEG-Y file")
    add_header_options(scan)
    las = commands.add_parser(
        "import-las",
        help="add the wells of LAS files to a project (made if it does not exist)",
        description="Add one well per LAS file to the project file PROJECT, creating it if "
        "it does not exist. Every file is checked first: one bad file and nothing is added.",
    )
    las.add_argument("files", metavar="FILE", nargs="+", help="LAS 1.2 or 2.0 files")
    las.add_argument("project", metavar="PROJECT", help="the project file")
    zmap = commands.add_parser(
        "import-zmap",
        help="add a horizon from a ZMAP+ grid to a project with a survey",
        description="Add the ZMAP+ grid FILE to the project file PROJECT as a horizon: "
        "the grid's value at every inline and crossline of the project's survey.",
    )
    zmap.add_argument("file", metavar="FILE", help="the ZMAP+ grid file")
    zmap.add_argument("project", metavar="PROJECT", help="the project file")
    grid = commands.add_parser(
        "import-horizon",
        help="add a horizon from a ZMAP+ or IRAP (ASCII or binary) grid to a project",
        description="Add the grid FILE (ZMAP+, IRAP classic ASCII or IRAP binary, told by "
        "its content) to the project file PROJECT as a horizon: the grid's value at every "
        "inline and crossline of the project's survey.",
    )
    grid.add_argument("file", metavar="FILE", help="the grid file")
    grid.add_argument("project", metavar="PROJECT", help="the project file")
    las_out = commands.add_parser(
        "export-las",
        help="write a well of a project to a LAS 2.0 file",
        description="Write the well WELL of the project file PROJECT, every curve with its "
        "unit and the header items it came in with, to the LAS file OUT (replaced whole, "
        "or left as it was if the write fails).",
    )
    las_out.add_argument("project", metavar="PROJECT", help="the project file")
    las_out.add_argument("well", metavar="WELL", help="the well's name in the project")
    las_out.add_argument("out", metavar="OUT", help="the LAS file to write")
    grid_out = commands.add_parser(
        "export-horizon",
        help="write a horizon of a project to a ZMAP+ or IRAP grid file",
        description="Write the horizon OBJECT of the project file PROJECT to the grid file "
        "OUT, one node per inline and crossline of the survey (replaced whole, or left as "
        "it was if the write fails). IRAP keeps the survey's rotation; ZMAP+ has none, so "
        "a rotated survey's horizon goes out on the unrotated grid bounding it, at the "
        "survey's finer line spacing, with nulls outside the survey.",
    )
    grid_out.add_argument("project", metavar="PROJECT", help="the project file")
    grid_out.add_argument("object", metavar="OBJECT", help="the horizon's name in the project")
    grid_out.add_argument("out", metavar="OUT", help="the grid file to write")
    grid_out.add_argument(
        "--format",
        choices=("zmap", "irap-ascii", "irap-binary"),
        required=True,
        help="the grid file's format",
    )
    from gemlo.io import segyexport
    from gemlo.processing import cli as processing_cli

    segyexport.add_parser(commands)
    processing_cli.add_parser(commands)
    processing_cli.add_stats_parser(commands)
    processing_cli.add_scheduler_parser(commands)
    storecli.add_parser(commands)
    return parser.parse_args(argv)


def import_segy(args):
    """The import-segy command: returns the exit status."""
    from gemlo.io.segy import header_of, import_to_new_project
    from gemlo.io.storecli import store_of

    progress = cli.tenths(args.file, "traces", cli.say)

    def work():
        path = import_to_new_project(
            args.file,
            args.project,
            progress=progress,
            header=header_of(args),
            notice=cli.say,
            store=store_of(args),
        )
        cli.say(f"Created {path}")

    return cli.run(work, f"Import of {args.file} interrupted; nothing was written")


def _check_paths(args):
    """The paths of a command's arguments made absolute and checked (see
    gemlo.storage.paths); raises PathError."""
    if args.command in ("import-segy", "scan-segy"):
        args.file = paths.input_file(args.file, "SEG-Y file")
    elif args.command == "import-las":
        args.files = [paths.input_file(f, "LAS file") for f in args.files]
    elif args.command == "import-zmap":
        args.file = paths.input_file(args.file, "ZMAP+ grid file")
    elif args.command == "import-horizon":
        args.file = paths.input_file(args.file, "grid file")
    elif args.command in ("export-las", "export-horizon", "move-cube", "export-segy"):
        args.project = paths.input_file(args.project, "project file")
    if args.command == "import-segy":
        # An existing project is refused by the import, once it has cleaned up after
        # an import killed in the folder before.
        args.project = paths.new_project(args.project, exists_ok=True)
    elif args.command in ("import-las", "import-zmap", "import-horizon"):
        args.project = paths.project(args.project)


def main(argv=None):
    args = parse_args(argv)
    if args.command is not None and args.command != "process":
        try:
            _check_paths(args)
        except paths.PathError as error:
            cli.say(error, sys.stderr)
            return cli.FAILED
    if args.command == "import-segy":
        return import_segy(args)
    if args.command == "move-cube":
        from gemlo.io.storecli import move_command

        return move_command(args)
    if args.command == "scan-segy":
        from gemlo.io.segy import scan_command

        return scan_command(args)
    if args.command == "export-segy":
        from gemlo.io.segyexport import export_command

        return export_command(args)
    if args.command == "import-las":
        from gemlo.io import las

        return las.command(args)
    if args.command == "import-zmap":
        from gemlo.io import zmap

        return zmap.command(args)
    if args.command in ("import-horizon", "export-horizon"):
        from gemlo.io import horizons

        if args.command == "import-horizon":
            return horizons.import_command(args)
        return horizons.export_command(args)
    if args.command == "export-las":
        from gemlo.io import las

        return las.export_command(args)
    if args.command == "process":
        from gemlo.processing.cli import process

        return process(args)
    if args.command == "stats":
        from gemlo.processing.cli import stats

        return stats(args)
    if args.command == "scheduler":
        from gemlo.processing.cli import scheduler_setting

        return scheduler_setting(args)
    if args.project is not None:
        try:
            args.project = paths.new_project(args.project)
        except paths.PathError as error:
            cli.say(error, sys.stderr)
            return cli.NOT_STARTED
    if args.screenshot and not (os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY")):
        # Nothing to show on, but a screenshot can still be rendered.
        os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")

    # Qt is imported only now, so that the platform chosen above applies.
    from qtpy.QtCore import QTimer
    from qtpy.QtWidgets import QApplication

    from gemlo.app.mainwindow import MainWindow

    app = QApplication.instance() or QApplication(sys.argv[:1])
    options = argparse.Namespace(
        plugins_paths="", working_directory=args.workdir, debug=args.debug
    )
    window = MainWindow(options)
    window.setup()
    window.show()
    window.post_visible_setup()
    scratch = None
    if args.screenshot and not (args.project or args.workdir):
        # The tour's projects (an imported cube among them) are only there to be
        # looked at: they go with the run instead of piling up in the home folder.
        scratch = tempfile.TemporaryDirectory(prefix="gemlo-tour-")
        args.workdir = scratch.name
    try:
        window.create_new_project(args.project or default_project_path(args.workdir))
    except cli.FAILURES as error:
        cli.say(cli.reason(error), sys.stderr)
        return cli.NOT_STARTED
    if not (args.no_sample or args.screenshot):
        window.add_sample_data()

    if args.screenshot:
        from gemlo.app import tour

        def shoot():
            try:
                for path in tour.run(window, args.screenshot):
                    print(path, flush=True)
            except Exception as error:  # a failed step must still end the run
                print(f"screenshot tour failed: {error!r}", file=sys.stderr)
                app.exit(1)
            else:
                app.exit(0)

        # Start once the event loop runs and the window is shown.
        QTimer.singleShot(0, shoot)
        code = app.exec()
        window.database.close()
        if scratch is not None:
            scratch.cleanup()
        return code
    return app.exec()


if __name__ == "__main__":
    sys.exit(main())
