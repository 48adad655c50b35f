"""Start the application: python -m gemlo.app [--project PATH] [--no-sample] [--screenshot DIR].

Or import data without a window:
python -m gemlo.app import-segy FILE PROJECT [--iline B] [--xline B] [--cdpx B] [--cdpy B]
python -m gemlo.app scan-segy FILE [--iline B ...]   (what import-segy would do)
python -m gemlo.app import-las FILE... PROJECT
python -m gemlo.app import-zmap FILE PROJECT
python -m gemlo.app process PROJECT OBJECT OPERATION --output NAME [options] [--scheduler ADDRESS]
python -m gemlo.app stats PROJECT OBJECT [--property NAME] [--scheduler ADDRESS]
python -m gemlo.app scheduler PROJECT [ADDRESS | --clear]
"""

import argparse
import datetime
import os
import sqlite3
import sys
import tempfile
from pathlib import Path


def default_project_path(folder=None):
    """A new time-stamped project path in `folder` (default ~/gemlo-projects)."""
    folder = Path(folder) if folder else Path.home() / "gemlo-projects"
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    path, n = folder / f"project-{stamp}.lmd", 2
    while path.exists():
        path, n = folder / f"project-{stamp}-{n}.lmd", n + 1
    return path


def parse_args(argv=None):
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
    from gemlo.processing import cli as processing_cli

    processing_cli.add_parser(commands)
    processing_cli.add_stats_parser(commands)
    processing_cli.add_scheduler_parser(commands)
    return parser.parse_args(argv)


def _say(text, file=None):
    """Print `text`; file names that are not UTF-8 show with a replacement character."""
    print(os.fsencode(str(text)).decode("utf-8", "replace"), file=file, flush=True)


def _reason(error):
    """One line for the user: an OSError's own words and file, without "[Errno N]"."""
    if isinstance(error, OSError) and error.strerror:
        return f"{error.strerror}: {error.filename}" if error.filename else error.strerror
    return str(error) or repr(error)


def import_segy(args):
    """The import-segy command: returns the exit status."""
    from gemlo.app import paths
    from gemlo.io.cli import interruptible, tenths
    from gemlo.io.segy import SegyError, header_of, import_to_new_project

    try:
        args.file = paths.input_file(args.file, "SEG-Y file")
        # An existing project is refused by the import, once it has cleaned up after
        # an import killed in the folder before.
        args.project = paths.new_project(args.project, exists_ok=True)
    except paths.PathError as error:
        _say(error, sys.stderr)
        return 1
    progress = tenths(args.file, "traces", _say)

    try:
        with interruptible():
            path = import_to_new_project(
                args.file, args.project, progress=progress, header=header_of(args), notice=_say
            )
    except (SegyError, OSError, ValueError, sqlite3.Error) as error:
        _say(_reason(error), sys.stderr)
        return 1
    except KeyboardInterrupt:
        _say(f"Import of {args.file} interrupted; nothing was written", sys.stderr)
        return 130
    _say(f"Created {path}")
    return 0


def main(argv=None):
    args = parse_args(argv)
    if args.command == "import-segy":
        return import_segy(args)
    if args.command == "process":
        from gemlo.processing.cli import process

        return process(args)
    if args.command == "stats":
        from gemlo.processing.cli import stats

        return stats(args)
    if args.command == "scheduler":
        from gemlo.processing.cli import scheduler_setting

        return scheduler_setting(args)
    if args.command in ("import-las", "import-zmap"):
        from gemlo.app import paths

        try:
            if args.command == "import-las":
                args.files = [paths.input_file(f, "LAS file") for f in args.files]
            else:
                args.file = paths.input_file(args.file, "ZMAP+ grid file")
            args.project = paths.project(args.project)
        except paths.PathError as error:
            _say(error, sys.stderr)
            return 1
    if args.command == "scan-segy":
        from gemlo.app import paths
        from gemlo.io.segy import scan_command

        try:
            args.file = paths.input_file(args.file, "SEG-Y file")
        except paths.PathError as error:
            _say(error, sys.stderr)
            return 1
        return scan_command(args)
    if args.command == "import-las":
        from gemlo.io import las

        return las.command(args)
    if args.command == "import-zmap":
        from gemlo.io import zmap

        return zmap.command(args)
    if args.project is not None:
        from gemlo.app import paths

        try:
            args.project = paths.new_project(args.project)
        except paths.PathError as error:
            _say(error, sys.stderr)
            return 2
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
    except (OSError, ValueError, sqlite3.Error) as error:
        _say(_reason(error), sys.stderr)
        return 2
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
