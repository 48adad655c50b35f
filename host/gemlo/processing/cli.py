"""The `process` command: one operation on a cube of a project, without a window."""

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
    return parser


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
            if args.object not in database.object_names():
                raise ValueError(f"{args.project} holds no data object named {args.object!r}")
            dob = database.load_object(args.object)
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
            try:
                job.compute(job.make_output(database))
                job.store(database=database)
            except BaseException:
                job.discard()
                raise
        finally:
            database.close()
        print(f"Stored {args.object}.{args.output} in {args.project}")

    # A terminal closed or a kill asked for: stop as Ctrl+C does, leaving nothing.
    return cli.run(
        work, f"{args.operation} interrupted; the project is unchanged", "Cannot process: {}"
    )
