"""What the import commands share: exit statuses, one-line reasons, interruption."""

import signal
import sys
import threading
from contextlib import contextmanager

INTERRUPTED = 130


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


def run(work, errors, what, undone="nothing was added"):
    """Run `work()` (which prints its own success); returns the command's exit status.

    An exception of the classes `errors` prints its message as one line on stderr
    and gives 1; an interruption gives 130 after saying what was `undone`.
    """
    try:
        with interruptible():
            work()
    except errors as error:
        print(" ".join(str(error).split()), file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{what} interrupted; {undone}", file=sys.stderr)
        return INTERRUPTED
    return 0


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
