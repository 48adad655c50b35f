"""The commands' cube store options, and the move-cube command."""

import sys

STORE_HELP = (
    "where the samples go: npy (a memory-mapped file beside the project, the default), "
    "zarr (a Zarr store beside it), zarr:FOLDER, or s3://bucket/prefix (with --profile)"
)


def add_store_options(parser, default="npy"):
    parser.add_argument("--store", default=default, metavar="STORE", help=STORE_HELP)
    parser.add_argument(
        "--profile",
        metavar="NAME",
        help="the store profile (endpoint_url, key, secret, region) that reaches the bucket, "
        "a section of ~/.config/gemlo/stores.ini (or of the file $GEMLO_STORES names)",
    )


def store_of(args):
    """The StoreLocation the options name (StoreError when they name none)."""
    from gemlo.storage.cubestore import Profile, StoreError, StoreLocation

    store = StoreLocation.parse(args.store, args.profile)
    if store.kind == "s3":
        if not args.profile:
            raise StoreError(f"{args.store} needs --profile NAME: the endpoint and keys")
        Profile.load(args.profile)  # a profile that is missing or lacks keys is named now
    return store


def add_parser(commands):
    move = commands.add_parser(
        "move-cube",
        help="move the cubes of a project's object to another store",
        description="Copy every cube property of OBJECT in the project file PROJECT into the "
        "store STORE, switch the project to the copies in one step, then remove the old "
        "ones. An interrupted move leaves the project as it was.",
    )
    move.add_argument("project", metavar="PROJECT", help="the project file")
    move.add_argument("object", metavar="OBJECT", help="the data object")
    add_store_options(move, default=None)
    return move


def move_command(args):
    """The move-cube command: returns the exit status."""
    from gemlo.io import cli
    from gemlo.storage.cubes import move_object
    from gemlo.storage.database import ProjectDatabase

    if args.store is None:
        cli.say("move-cube needs --store", sys.stderr)
        return cli.NOT_STARTED
    shown = {}

    def progress(prop_name, done, total):
        if prop_name not in shown:
            shown[prop_name] = cli.tenths(f"{args.object} {prop_name}", "inlines", cli.say)
        shown[prop_name](done, total)

    def work():
        store = store_of(args)
        database = ProjectDatabase.open(args.project)
        try:
            database.check_writable()
            if args.object not in database.object_names():
                raise ValueError(f"The project {args.project} has no object {args.object!r}")
            moved = move_object(database, args.object, store, progress)
        finally:
            database.close()
        if moved:
            cli.say(f"Moved {', '.join(moved)} of {args.object} to {store}")
        else:
            cli.say(f"{args.object} has no cube outside {store}: nothing to move")

    return cli.run(work, f"Move of {args.object} interrupted; the project is as it was")
