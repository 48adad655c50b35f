"""Names of project files and of their data files, and checks of the paths a user gives,
with the true reason when one cannot be used: before anything is read or created."""

import errno
import os
import re
import stat
from pathlib import Path

EXTENSION = ".lmd"
# SQLite writes its rollback journal beside the project under this longer name.
JOURNAL_SUFFIX = "-journal"
# A new project while it is built: hidden, named after the project, the process and a
# random token.
BUILDING = re.compile(r"\.(?P<name>.+)\.(?P<pid>\d+)-(?P<token>[0-9a-f]{12})\.part")
# Files in a project's folder that may refer to its data files: projects (copies among
# them) and projects being built.
PROJECT_FILES = re.compile(r".*\.lmd|" + BUILDING.pattern)


class PathError(ValueError):
    """A path that cannot be used; the message says which and why."""


def with_extension(path):
    """`path` as a Path, with ".lmd" added unless it ends so already."""
    path = Path(path)
    return path if path.suffix == EXTENSION else path.with_name(path.name + EXTENSION)


def file_stem(text):
    """A plain, not too long file name made of any object or property name."""
    return re.sub(r"[^\w.-]", "_", text)[:160]


def check_new_file_name(path, suffix=JOURNAL_SUFFIX, purpose="the project's journal"):
    """Raise OSError (ENAMETOOLONG) when the file system cannot hold the name of `path`
    with `suffix` added (SQLite's journal, at the least); EILSEQ when it is not UTF-8."""
    path = Path(path)
    try:
        path.name.encode()
    except UnicodeEncodeError:
        # Its data files are named after it, and their names are stored as text.
        raise OSError(
            errno.EILSEQ, f"The name {os.fsencode(path.name)!r} is not valid UTF-8: rename it"
        ) from None
    folder = path.parent
    while not folder.exists() and folder != folder.parent:
        folder = folder.parent
    try:
        limit = os.pathconf(folder, "PC_NAME_MAX")
    except (OSError, ValueError):
        limit = 255
    length = len(os.fsencode(path.name + suffix))
    if length > limit:
        raise OSError(
            errno.ENAMETOOLONG,
            f"The name {path.name!r} is too long: with {suffix!r} added for {purpose} "
            f"it has {length} bytes, and the file system allows {limit}",
        )


def remove_folders(folders):
    """Remove the folders (deepest first) made for a file that was not made after all."""
    for folder in folders:
        try:
            folder.rmdir()
        except OSError:
            pass


def input_file(text, what="file"):
    """The existing regular file named by `text`, as an absolute Path."""
    if not text:
        raise PathError(f"The {what} name is empty")
    path = Path(text).expanduser().absolute()
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        raise PathError(f"No such {what}: {path}") from None
    except OSError as error:
        raise PathError(f"Cannot read the {what} {path}: {error.strerror}") from None
    if stat.S_ISDIR(mode):
        raise PathError(f"{path} is a folder, not a {what}")
    if not stat.S_ISREG(mode):
        raise PathError(f"{path} is not a regular file (a device, pipe or socket)")
    if not os.access(path, os.R_OK):
        raise PathError(f"Cannot read the {what} {path}: permission denied")
    return path


def new_project(text, exists_ok=False):
    """The path of a new project file named by `text` (".lmd" added if missing).

    Refused: an empty name, a folder (existing, or named with a trailing slash: the
    project would land beside it), a name too long for the file system, an existing file
    (unless `exists_ok`: the command checks that itself).
    """
    if not text:
        raise PathError("The project name is empty")
    if text.endswith(("/", os.sep)) or os.path.basename(text) in (".", ".."):
        raise PathError(f"{text} names a folder: give the project file's name")
    path = Path(text).expanduser().absolute()
    if path.is_dir():
        raise PathError(f"{path} is a folder: give the project file's name")
    if os.path.exists(path) and not path.is_file():
        # A device or pipe: nothing is to be made beside it (in /dev, say).
        raise PathError(f"{path} is not a regular file (a device, pipe or socket)")
    path = with_extension(path)
    if os.path.lexists(path) and not exists_ok:
        raise PathError(f"Cannot create the project: {path} already exists")
    try:
        check_new_file_name(path)
    except OSError as error:
        raise PathError(error.strerror) from None
    for folder in path.parents:
        if folder.exists():
            if not folder.is_dir():
                raise PathError(f"Cannot create the project in {folder}: it is not a folder")
            break
    return path


def project(text):
    """An existing project file named by `text` (".lmd" added if missing), or else the
    path of a new one (see new_project)."""
    if text and not text.endswith(("/", os.sep)):
        path = with_extension(Path(text).expanduser().absolute())
        if os.path.lexists(path):
            return input_file(str(path), "project file")
    return new_project(text)
