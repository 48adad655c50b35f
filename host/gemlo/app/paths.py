"""Checks of the paths a user gives on the command line, with the true reason when one
cannot be used: before anything is read or created."""

import os
import stat
from pathlib import Path

from gemlo.app.project import EXTENSION, check_new_file_name


class PathError(ValueError):
    """A path that cannot be used; the message says which and why."""


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
    if path.suffix != EXTENSION:
        path = path.with_name(path.name + EXTENSION)
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
        path = Path(text).expanduser().absolute()
        if path.suffix != EXTENSION:
            path = path.with_name(path.name + EXTENSION)
        if os.path.lexists(path):
            return input_file(str(path), "project file")
    return new_project(text)
