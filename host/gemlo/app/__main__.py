"""Start the application: python -m gemlo.app [--project PATH] [--no-sample] [--screenshot DIR].

Or import a SEG-Y cube into a new project, without a window:
python -m gemlo.app import-segy FILE PROJECT
or compute an attribute or a filter of a cube into a new property:
python -m gemlo.app process PROJECT OBJECT OPERATION --output NAME [options]
"""

import argparse
import contextlib
import datetime
import os
import signal
import sys
import tempfile
import threading
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
    parser = argparse.ArgumentParser(prog="gemlo", description=__doc__)
    parser.add_argument(
        "--project",
        type=Path,
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
    segy.add_argument("file", metavar="FILE", type=Path, help="the SEG-Y file")
    segy.add_argument("project", metavar="PROJECT", type=Path, help="the new project file")
    from gemlo.processing import cli as processing_cli

    processing_cli.add_parser(commands)
    return parser.parse_args(argv)


def import_segy(args):
    """The import-segy command: returns the exit status."""
    from gemlo.io.segy import SegyError, import_to_new_project

    shown = [-1]

    def progress(done, total):
        percent = 100 * done // total
        if percent // 10 > shown[0]:
            shown[0] = percent // 10
            print(f"{args.file}: {done} of {total} traces ({percent}%)", flush=True)

    try:
        with interrupted_by_signals():
            path = import_to_new_project(args.file, args.project, progress=progress)
    except (SegyError, OSError, ValueError) as error:
        print(error, file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"Import of {args.file} interrupted; nothing was written", file=sys.stderr)
        return 130
    print(f"Created {path}")
    return 0


@contextlib.contextmanager
def interrupted_by_signals(signals=(signal.SIGTERM, signal.SIGHUP)):
    """Let `signals` interrupt the work as Ctrl+C does (KeyboardInterrupt), so that it
    cleans up after itself instead of dying on the spot."""

    def interrupt(signum, frame):
        raise KeyboardInterrupt(signal.Signals(signum).name)

    if threading.current_thread() is not threading.main_thread():
        yield  # only the main thread receives signals
        return
    previous = {s: signal.signal(s, interrupt) for s in signals}
    try:
        yield
    finally:
        for s, handler in previous.items():
            signal.signal(s, handler)


def main(argv=None):
    args = parse_args(argv)
    if args.command == "import-segy":
        return import_segy(args)
    if args.command == "process":
        from gemlo.processing.cli import process

        return process(args)
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
    except FileExistsError as error:
        print(error, file=sys.stderr)
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
