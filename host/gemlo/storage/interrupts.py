"""Interrupts held back while a committed change finishes.

Once a project has committed a change, undoing part of it would leave the project
naming files that are gone: an interrupt (Ctrl+C, SIGTERM, SIGHUP) that arrives then
waits until the change is complete. A caller that must say what was stored opens a
`scope` around the store and the line that reports it: the interrupt then waits until
the scope ends.
"""

import signal
import threading
from contextlib import contextmanager

SIGNALS = tuple(
    s for s in (signal.SIGINT, signal.SIGTERM, getattr(signal, "SIGHUP", None)) if s is not None
)
_state = {"scopes": 0, "deferring": 0, "previous": None, "caught": []}


def _main_thread():
    return threading.current_thread() is threading.main_thread()


def _hold():
    if _state["previous"] is not None:
        return
    previous = {}
    for signum in SIGNALS:
        handler = signal.getsignal(signum)
        if handler is None:  # installed outside Python: left alone
            continue
        previous[signum] = handler
        signal.signal(signum, lambda n, _frame: _state["caught"].append(n))
    _state["previous"] = previous


def _release():
    previous, caught = _state["previous"], _state["caught"]
    if previous is None:
        return
    _state["previous"], _state["caught"] = None, []
    for signum, handler in previous.items():
        signal.signal(signum, handler)
    # Handled now as it would have been when it came (KeyboardInterrupt, or the end).
    for signum in dict.fromkeys(caught):
        signal.raise_signal(signum)


@contextmanager
def deferred():
    """Interrupts wait until the block is done (and the enclosing scope, if any)."""
    if not _main_thread():  # only the main thread receives signals
        yield
        return
    _hold()
    _state["deferring"] += 1
    try:
        yield
    finally:
        _state["deferring"] -= 1
        if not _state["deferring"] and not _state["scopes"]:
            _release()


@contextmanager
def scope():
    """An interrupt held back inside the block is handled when it ends."""
    if not _main_thread():
        yield
        return
    _state["scopes"] += 1
    try:
        yield
    finally:
        _state["scopes"] -= 1
        if not _state["scopes"] and not _state["deferring"]:
            _release()
