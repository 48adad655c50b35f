"""The errors every layer shares: a file that cannot be read in or written out, and work
the user stopped."""


class InputError(Exception):
    """A file that cannot be imported; the message names the file and the reason."""

    def __init__(self, path, reason):
        super().__init__(f"Cannot import {path}: {reason}")
        self.path, self.reason = str(path), reason


class OutputError(InputError):
    """A file that cannot be written out (`verb` "write" or "export"); reported as an
    input error is, in one line naming the file and the reason."""

    def __init__(self, path, reason, verb="write"):
        Exception.__init__(self, f"Cannot {verb} {path}: {reason}")
        self.path, self.reason = str(path), reason


class Cancelled(Exception):
    """The user cancelled the work: nothing was added or changed."""
