"""What goes wrong with a project file or its data files, as the callers catch it."""

import sqlite3


class DamagedProject(ValueError):
    """The project file cannot be read as a whole; the message names it and says why."""


class NewerProject(DamagedProject):
    """The project file was written by a newer gemlo, whose tables this one cannot keep."""


class UnreadableObject(ValueError):
    """One data object cannot be read (a data file missing or damaged, a damaged record)."""


class ReadOnlyProject(PermissionError):
    """A change asked of a project that is open read-only."""


# What SQLite raises: callers that report failures catch it without importing sqlite3.
DatabaseError = sqlite3.Error
