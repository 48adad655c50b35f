"""The tables of a project file, its version number, and the steps that bring a file
written by an older gemlo up to date."""

import datetime

FORMAT = "gemlo-project"
# Version 1 made the tables of data files when a project was opened, and those of the
# viewers and the external modules when first saved; version 2 has them all from the start;
# version 3 records the device and inode of the data files a project owns (removed only
# as the files they were), and properties kept in cube stores.
VERSION = 3

_TABLES = [
    "CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)",
    """CREATE TABLE survey (
        id INTEGER PRIMARY KEY CHECK (id = 1),
        name TEXT NOT NULL,
        sgmt TEXT NOT NULL
    )""",
    """CREATE TABLE objects (
        name TEXT PRIMARY KEY,
        prop_array_key TEXT NOT NULL,
        viewable_in_plot INTEGER NOT NULL,
        meta TEXT NOT NULL
    )""",
    """CREATE TABLE properties (
        object TEXT NOT NULL REFERENCES objects (name) ON DELETE CASCADE ON UPDATE CASCADE,
        name TEXT NOT NULL,
        position INTEGER NOT NULL,
        dtype TEXT NOT NULL,
        shape TEXT NOT NULL,
        data BLOB NOT NULL,
        extra TEXT NOT NULL,
        PRIMARY KEY (object, name)
    )""",
]

# Added in version 2 (IF NOT EXISTS: a version 1 file may have some of them).
_VERSION_2 = [
    # Properties whose values live in a data file beside the project, memory-mapped
    # rather than loaded (imported cubes can be larger than memory). Their row in
    # `properties` keeps dtype and shape, with an empty blob.
    """CREATE TABLE IF NOT EXISTS property_files (
        object TEXT NOT NULL,
        name TEXT NOT NULL,
        file TEXT NOT NULL,
        PRIMARY KEY (object, name),
        FOREIGN KEY (object, name) REFERENCES properties (object, name)
            ON DELETE CASCADE ON UPDATE CASCADE
    )""",
    # `pending_files` names a data file before it gets that name (with the file's device
    # and inode, and the process making it): if that process dies before the property
    # refers to the file, the next open removes it. `owned_files` lists the files the
    # project made; one that no property refers to any more is removed.
    """CREATE TABLE IF NOT EXISTS pending_files (
        file TEXT PRIMARY KEY,
        device INTEGER,
        inode INTEGER,
        pid INTEGER NOT NULL
    )""",
    "CREATE TABLE IF NOT EXISTS owned_files (file TEXT PRIMARY KEY)",
    """CREATE TABLE IF NOT EXISTS viewers (
        position INTEGER PRIMARY KEY,
        name TEXT NOT NULL UNIQUE,
        state TEXT NOT NULL,
        shown TEXT NOT NULL
    )""",
    "CREATE TABLE IF NOT EXISTS extmodules (key TEXT PRIMARY KEY, value TEXT NOT NULL)",
]

# Added in version 3: properties whose values are cubes in a cube store (Zarr, in a folder
# or under a bucket's prefix). Their row in `properties` keeps dtype and shape, with an
# empty blob; this one says where the cube is (a location relative to the project's
# folder when beside it) and the name of the store profile that reaches a bucket.
_VERSION_3 = [
    """CREATE TABLE IF NOT EXISTS property_stores (
        object TEXT NOT NULL,
        name TEXT NOT NULL,
        kind TEXT NOT NULL,
        location TEXT NOT NULL,
        profile TEXT,
        PRIMARY KEY (object, name),
        FOREIGN KEY (object, name) REFERENCES properties (object, name)
            ON DELETE CASCADE ON UPDATE CASCADE
    )""",
]


def _owned_identity(conn):
    columns = [r[1] for r in conn.execute("PRAGMA table_info(owned_files)")]
    for column in ("device", "inode"):
        if column not in columns:
            conn.execute(f"ALTER TABLE owned_files ADD COLUMN {column} INTEGER")


# The steps (statements, or functions of the connection) that bring a file of version n
# to n + 1.
MIGRATIONS = {1: _VERSION_2, 2: [_owned_identity, *_VERSION_3]}


def _run(conn, step):
    if callable(step):
        step(conn)
    else:
        conn.execute(step)


def create(conn):
    """Make the tables of a new project in the empty database `conn`."""
    with conn:
        for statement in _TABLES + _VERSION_2 + _VERSION_3:
            conn.execute(statement)
        _owned_identity(conn)
        conn.executemany(
            "INSERT INTO meta VALUES (?, ?)",
            [
                ("format", FORMAT),
                ("version", str(VERSION)),
                ("created", datetime.datetime.now().isoformat(timespec="seconds")),
            ],
        )


def stored_version(conn):
    """The version a project file says it has; ValueError when it says none that is a number."""
    row = conn.execute("SELECT value FROM meta WHERE key = 'version'").fetchone()
    try:
        return int(row[0])
    except (TypeError, ValueError):
        raise ValueError(f"its version {row and row[0]!r} is not a number") from None


def migrate(conn):
    """Bring the project's tables up to VERSION in one transaction: all steps or none.
    The tables of the current version that a file lacks (dropped by hand, say) are made
    again, so that saving never meets a missing table."""
    version = stored_version(conn)
    conn.execute("BEGIN IMMEDIATE")
    try:
        for step in range(version, VERSION):
            for statement in MIGRATIONS[step]:
                _run(conn, statement)
        for statement in _VERSION_2 + _VERSION_3:
            conn.execute(statement)
        _owned_identity(conn)
        if version < VERSION:
            conn.execute("UPDATE meta SET value = ? WHERE key = 'version'", (str(VERSION),))
        conn.commit()
    except BaseException:
        conn.rollback()
        raise


def has_table(conn, name):
    """Whether the table exists: a read-only file of an older version may lack it."""
    found = conn.execute(
        "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?", (name,)
    ).fetchone()
    return found is not None
