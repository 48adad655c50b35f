"""Long work that runs on a worker thread while the thread that started it watches."""

import threading


class Job:
    """Cancellable from any thread. `run(*args)` does `work(*args)` (each job names its
    own), keeping what went wrong in `error` instead of raising it: the thread that
    started the job reports it."""

    progress = None  # progress(done, total), called on the working thread
    done = total = 0

    def __init__(self):
        self.error = None
        self._cancel = threading.Event()

    def cancel(self):
        self._cancel.set()

    @property
    def cancelled(self):
        return self._cancel.is_set()

    def run(self, *args):
        try:
            self.work(*args)
        except BaseException as error:  # noqa: BLE001 - reported by the thread that started it
            self.error = error

    def _chunk_done(self, done, total=None):
        """After each chunk (on the working thread, which may be interrupted here): keeps
        `done` of `total` (the job's own by default), tells `progress`, and returns
        whether to go on."""
        self.done = done
        if self.progress is not None:
            self.progress(done, self.total if total is None else total)
        return not self.cancelled
