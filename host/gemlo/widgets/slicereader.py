"""Slices of stored cubes read on a worker thread, so that a viewer never waits on a store.

A viewer asks `SliceReader.request(key, cube, slices)`; the slice arrives by the `ready`
signal on the window's thread. Only the latest request counts: one asked for meanwhile
replaces one not yet started, and a slice read for a request that has since been
replaced is dropped. Decoded bricks are kept within a byte budget
(`gemlo.storage.cubestore.BrickCache`), so going back to a slice costs no read.
"""

import threading

from qtpy.QtCore import QObject, Signal

from gemlo.storage.cubestore import BrickCache
from gemlo.utils.logger import logger

CACHE_BYTES = 256 << 20


def is_stored_cube(array):
    """Whether `array` is a cube read from a store (rather than an array in memory or a map)."""
    return hasattr(array, "as_dask") and hasattr(array, "url")


class SliceReader(QObject):
    """One worker thread reading the latest slice asked for (see the module)."""

    ready = Signal(object, object)  # key, numpy values
    failed = Signal(object, str)  # key, reason

    def __init__(self, parent=None, cache_bytes=CACHE_BYTES):
        super().__init__(parent)
        self.cache_bytes = cache_bytes
        self._caches = {}
        self._wanted = None  # (key, cube, slices) not yet started
        self._latest = None  # the key of the last request
        self._wake = threading.Condition()
        self._closed = False
        self._thread = threading.Thread(target=self._run, name="gemlo-slice-reader", daemon=True)
        self._thread.start()

    def request(self, key, cube, slices):
        with self._wake:
            self._wanted = (key, cube, slices)
            self._latest = key
            self._wake.notify()

    @property
    def latest(self):
        return self._latest

    def _cache(self, cube):
        cache = self._caches.get(cube.url)
        if cache is None or cache.cube is not cube:
            # One cube's bricks at a time: a viewer shows one property.
            self._caches = {cube.url: BrickCache(cube, self.cache_bytes)}
            cache = self._caches[cube.url]
        return cache

    def _read(self, cube, slices):
        if any(isinstance(s, slice) and s.step not in (None, 1) for s in slices):
            return cube.read(slices)  # a strided overview: every brick, none kept
        return self._cache(cube).read(slices)

    def _run(self):
        while True:
            with self._wake:
                while self._wanted is None and not self._closed:
                    self._wake.wait()
                if self._closed:
                    return
                key, cube, slices = self._wanted
                self._wanted = None
            try:
                values = self._read(cube, slices)
            except Exception as error:  # noqa: BLE001 - reported to the viewer, never fatal
                logger.error(f"Reading {cube.url} failed: {error}")
                self._emit(self.failed, key, str(error))
                continue
            if key == self._latest:
                self._emit(self.ready, key, values)

    def _emit(self, signal, key, value):
        try:
            signal.emit(key, value)
        except RuntimeError:  # the viewer was deleted meanwhile
            pass

    def close(self):
        """Stop the thread (a read under way finishes first, unseen)."""
        with self._wake:
            self._closed = True
            self._wake.notify()
