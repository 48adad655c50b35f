"""What the commands share: exit statuses, one-line reasons, interruption."""

import os
import signal
import sys
import threading
from contextlib import contextmanager

from gemlo.errors import InputError
from gemlo.storage import interrupts
from gemlo.storage.errors import DatabaseError

# Exit statuses: done; failed (bad input, a file or project that cannot be used);
# the window could not start on its project; interrupted (as a shell reports SIGINT).
OK, FAILED, NOT_STARTED, INTERRUPTED = 0, 1, 2, 130
# What a command reports as a failure in one line, rather than a traceback.
FAILURES = (InputError, OSError, ValueError, DatabaseError)


def say(text, file=None):
    """Print `text`; file names that are not UTF-8 show with a replacement character."""
    print(os.fsencode(str(text)).decode("utf-8", "replace"), file=file, flush=True)


def reason(error):
    """One line for the user: an OSError's own words and file, without "[Errno N]"."""
    if isinstance(error, OSError) and error.strerror:
        return f"{error.strerror}: {error.filename}" if error.filename else error.strerror
    return " ".join(str(error).split()) or repr(error)


def _interrupt(signum, _frame):
    raise KeyboardInterrupt(signal.Signals(signum).name)


@contextmanager
def interruptible():
    """SIGTERM and SIGHUP end the block as Ctrl+C does, so that it can clean up."""
    if threading.current_thread() is not threading.main_thread():
        yield  # only the main thread receives signals
        return
    wanted = [s for s in (signal.SIGTERM, getattr(signal, "SIGHUP", None)) if s is not None]
    previous = {s: signal.signal(s, _interrupt) for s in wanted}
    try:
        yield
    finally:
        for s, handler in previous.items():
            signal.signal(s, handler)


def run(work, interrupted, failed="{}"):
    """Run `work()` (which says its own success); returns the command's exit status.

    A failure (FAILURES) says `failed` with its reason in one line on stderr and gives
    FAILED; an interruption (Ctrl+C, SIGTERM, SIGHUP) says `interrupted` and gives
    INTERRUPTED. One that comes once the project has committed the change waits until
    `work` has said what it stored, and the command ends as done.
    """
    finished = False
    try:
        with interruptible(), interrupts.scope():
            work()
            finished = True
    except FAILURES as error:
        say(failed.format(reason(error)), sys.stderr)
        return FAILED
    except KeyboardInterrupt:
        if finished:
            return OK
        say(interrupted, sys.stderr)
        return INTERRUPTED
    return OK


def tenths(label, unit, say=None):
    """A progress(done, total) callback that prints "<label>: d of t <unit> (p%)" once a tenth."""
    shown = [-1]

    def progress(done, total):
        percent = 100 * done // total
        if percent // 10 > shown[0]:
            shown[0] = percent // 10
            line = f"{label}: {done} of {total} {unit} ({percent}%)"
            if say is None:
                print(line, flush=True)
            else:
                say(line)

    return progress
