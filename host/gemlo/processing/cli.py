"""The `process` command: one operation on a cube of a project, without a window."""

import sys
from pathlib import Path

# The operations' keys, known here without importing scipy (the window starts faster).
KEYS = ("envelope", "phase", "frequency", "rms", "bandpass", "agc")
# Options that each operation requires or accepts, beyond --output and --property.
OPTIONS = {
    "window": ("rms", "agc"),
    "low": ("bandpass",),
    "high": ("bandpass",),
    "order": ("bandpass",),
}
OPTIONAL = {"order"}


def add_parser(commands):
    parser = commands.add_parser(
        "process",
        help="compute an attribute or a filter of a cube into a new property",
        description="Apply OPERATION to a property of the cube OBJECT of the project file "
        "PROJECT, trace by trace, chunk by chunk, storing the result as the new property "
        "NAME. Operations: envelope, phase (radians), frequency (Hz), rms --window MS, "
        "bandpass --low HZ --high HZ [--order N] (zero-phase Butterworth), agc --window MS.",
    )
    parser.add_argument("project", metavar="PROJECT", type=Path, help="the project file")
    parser.add_argument("object", metavar="OBJECT", help="the cube (a data object)")
    parser.add_argument("operation", metavar="OPERATION", choices=KEYS)
    parser.add_argument("--output", metavar="NAME", required=True, help="the new property")
    parser.add_argument(
        "--property", metavar="NAME", help="the input property (needed if there are several)"
    )
    parser.add_argument("--window", type=float, metavar="MS", help="window length (rms, agc)")
    parser.add_argument("--low", type=float, metavar="HZ", help="low corner (bandpass)")
    parser.add_argument("--high", type=float, metavar="HZ", help="high corner (bandpass)")
    parser.add_argument("--order", type=int, metavar="N", help="order (bandpass; default 4)")
    add_scheduler_option(parser)
    return parser


def add_scheduler_option(parser):
    parser.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="run on the dask.distributed scheduler at ADDRESS (tcp://host:8786), whose "
        "workers can read the project's files; default: the project's scheduler setting, "
        "else this machine",
    )


def add_stats_parser(commands):
    parser = commands.add_parser(
        "stats",
        help="print the percentiles and null count of an object's properties",
        description="Print, for each property of the data object OBJECT of the project file "
        "PROJECT (or only --property NAME), its minimum, 10th, 50th and 90th percentile and "
        "maximum of the values present, exactly as numpy.percentile gives them, and its "
        "number of nulls (NaN), computed chunk by chunk.",
    )
    parser.add_argument("project", metavar="PROJECT", type=Path, help="the project file")
    parser.add_argument("object", metavar="OBJECT", help="the data object")
    parser.add_argument("--property", metavar="NAME", help="only this property")
    add_scheduler_option(parser)
    return parser


def add_scheduler_parser(commands):
    parser = commands.add_parser(
        "scheduler",
        help="show or set the dask scheduler that runs a project's statistics and processing",
        description="Print the project's scheduler setting, or store ADDRESS as it; --clear "
        "goes back to this machine.",
    )
    parser.add_argument("project", metavar="PROJECT", type=Path, help="the project file")
    parser.add_argument("address", metavar="ADDRESS", nargs="?", help="tcp://host:8786")
    parser.add_argument("--clear", action="store_true", help="run on this machine")
    return parser


def _object(database, args):
    if args.object not in database.object_names():
        raise ValueError(f"{args.project} holds no data object named {args.object!r}")
    return database.load_object(args.object)


def _scheduler(args, database):
    from gemlo.processing.graphs import SCHEDULER_SETTING, Scheduler

    address = args.scheduler or database.setting(SCHEDULER_SETTING)
    return Scheduler(address) if address else None


def parameters(args):
    """The operation's parameters from the options; ValueError for a wrong combination."""
    params = {}
    for name, operations in OPTIONS.items():
        value = getattr(args, name)
        if value is None:
            if args.operation in operations and name not in OPTIONAL:
                raise ValueError(f"{args.operation} needs --{name}")
        elif args.operation not in operations:
            raise ValueError(f"{args.operation} takes no --{name}")
        else:
            params[name] = value
    return params


def process(args):
    """The process command: returns the exit status."""
    from gemlo.io import cli
    from gemlo.processing.runner import ProcessJob
    from gemlo.storage.database import ProjectDatabase

    progress = cli.tenths(args.operation, "traces")

    def work():
        params = parameters(args)
        database = ProjectDatabase.open(args.project)
        try:
            dob = _object(database, args)
            prop_name = args.property
            if prop_name is None:
                if len(dob.prop) != 1:
                    raise ValueError(
                        f"{args.object!r} has {len(dob.prop)} properties "
                        f"({', '.join(dob.prop)}): choose one with --property"
                    )
                prop_name = next(iter(dob.prop))
            job = ProcessJob(
                dob, prop_name, args.operation, args.output, params, progress=progress
            )
            scheduler = _scheduler(args, database)
            try:
                job.compute(job.make_output(database), scheduler)
                job.store(database=database)
            except BaseException:
                job.discard()
                raise
            finally:
                if scheduler is not None:
                    scheduler.close()
        finally:
            database.close()
        print(f"Stored {args.object}.{args.output} in {args.project}", flush=True)

    # A terminal closed or a kill asked for: stop as Ctrl+C does, leaving nothing.
    return cli.run(
        work, f"{args.operation} interrupted; the project is unchanged", "Cannot process: {}"
    )


def stats(args):
    """The stats command: returns the exit status."""
    from gemlo.io import cli
    from gemlo.processing import graphs
    from gemlo.storage.database import ProjectDatabase

    def work():
        database = ProjectDatabase.open(args.project)
        scheduler = None
        rows = []
        try:
            dob = _object(database, args)
            names = list(dob.prop)
            if args.property is not None:
                if args.property not in dob.prop:
                    raise ValueError(f"{args.object!r} has no property named {args.property!r}")
                names = [args.property]
            scheduler = _scheduler(args, database) or graphs.Scheduler()
            for name in names:
                values = graphs.as_dask(dob.array(name))
                # Progress on stderr, the table alone on stdout.
                cli.say(f"{name}: {values.size} values in {values.npartitions} chunks", sys.stderr)
                try:
                    points, nulls = graphs.statistics(values, scheduler)
                except ValueError as error:
                    raise ValueError(f"{name}: {error}") from error
                rows.append([name, *(str(v) for v in points), str(nulls)])
        finally:
            if scheduler is not None:
                scheduler.close()
            database.close()
        header = ["Name", "Min", "P10", "P50", "P90", "Max", "Nulls"]
        widths = [max(len(r[i]) for r in [header, *rows]) for i in range(len(header))]
        for row in [header, *rows]:
            cells = [c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in
                     enumerate(zip(row, widths, strict=True))]  # fmt: skip
            print("  ".join(cells).rstrip())

    return cli.run(work, "stats interrupted", "Cannot compute the statistics: {}")


def scheduler_setting(args):
    """The scheduler command: returns the exit status."""
    from gemlo.io import cli
    from gemlo.processing.graphs import SCHEDULER_SETTING
    from gemlo.storage.database import ProjectDatabase

    def work():
        database = ProjectDatabase.open(args.project)
        try:
            if args.clear or args.address:
                database.save_setting(SCHEDULER_SETTING, None if args.clear else args.address)
            print(database.setting(SCHEDULER_SETTING) or "this machine")
        finally:
            database.close()

    return cli.run(work, "interrupted", "Cannot set the scheduler: {}")
