"""Applying an operation to a cube chunk by chunk, in bounded memory.

A chunk is a run of whole inlines (or, when one inline alone is larger than the chunk
size, a run of whole traces of one inline): a trace is never split, and every operation
works along the traces only, so the chunked result is that of the whole cube. Each
chunk is copied out of the input, its input and output pages are dropped from the
process once done with (they stay in the page cache, or are written back), so the
process holds a chunk or two whatever the cube's size. Two chunks are worked on at
once, one per core: numpy, scipy's FFT and its filters let go of the GIL.
"""

import mmap
import os
import threading

import numpy as np

from gemlo.errors import Cancelled
from gemlo.jobs import Job
from gemlo.model.naming import free_name
from gemlo.processing.operations import OPERATIONS
from gemlo.storage import mapped
from gemlo.storage.chunks import PROCESS_BLOCK_BYTES, needs_data_file

WORKERS = 2
MARGIN = 2 << 20


ProcessingCancelled = Cancelled


def blocks(shape, itemsize, chunk_bytes=PROCESS_BLOCK_BYTES):
    """(index, number of traces) of each chunk of a cube of `shape`, in order."""
    n_il, n_xl, ns = shape
    if 0 in shape:
        return []
    traces = max(1, chunk_bytes // (ns * itemsize))
    if traces >= n_xl:
        step = traces // n_xl
        return [
            ((slice(i, min(n_il, i + step)),), (min(n_il, i + step) - i) * n_xl)
            for i in range(0, n_il, step)
        ]
    return [
        ((i, slice(j, min(n_xl, j + traces))), min(n_xl, j + traces) - j)
        for i in range(n_il)
        for j in range(0, n_xl, traces)
    ]


class PageDropper:
    """Lets the pages of parts of a memory-mapped array leave the process.

    Only for shared maps (modes r, r+, w+), whose pages the file keeps; dropping those
    of a copy-on-write map would lose its changes. Any other array: does nothing.
    """

    def __init__(self, array):
        self.array = array
        self.map = None
        mapped = getattr(array, "_mmap", None)
        if isinstance(array, np.memmap) and array.mode in ("r", "r+", "w+") and mapped:
            self.map = mapped
            # Where the map begins: the array need not start at its first byte.
            self.base = np.frombuffer(mapped, np.uint8, count=1).ctypes.data

    def __call__(self, index):
        if self.map is None:
            return
        part = self.array[index]
        if not part.flags.c_contiguous or part.nbytes == 0:
            return
        start = part.ctypes.data - self.base
        # A read fault maps the pages around it too ("fault-around", up to a page table's
        # 2 MiB): those of a neighbour dropped already would stay. So the neighbours'
        # edges go as well; a neighbour still at work merely reads them again.
        start = max(0, start - MARGIN)
        start -= start % mmap.PAGESIZE
        end = min(len(self.map), part.ctypes.data - self.base + part.nbytes + MARGIN)
        self.map.madvise(mmap.MADV_DONTNEED, start, end - start)


class FileWriter:
    """`writer[index] = values` writes a chunk of a C-order float32 cube of `shape` into
    the file `fd` at `offset` (the .npy header's length) with pwrite: no page of the
    output is mapped into the process, and none is faulted in page by page."""

    def __init__(self, fd, offset, shape, dtype=np.float32):
        self.fd, self.offset, self.shape, self.dtype = fd, offset, tuple(shape), np.dtype(dtype)

    def __setitem__(self, index, values):
        n_il, n_xl, ns = self.shape
        values = np.ascontiguousarray(values, self.dtype)
        first = index[0]
        if isinstance(first, slice) and len(index) > 1 and index[1].indices(n_xl)[:2] != (0, n_xl):
            # A box of whole traces (a store's shard): a run of traces per inline.
            for i, row in zip(range(*first.indices(n_il)[:2]), values, strict=True):
                self._write(i * n_xl + index[1].indices(n_xl)[0], row)
            return
        # A chunk of `blocks`: whole inlines, or a run of traces of one inline.
        trace = first.start * n_xl if isinstance(first, slice) else first * n_xl + index[1].start
        self._write(trace, values)

    def _write(self, trace, values):
        n_il, n_xl, ns = self.shape
        data = memoryview(values).cast("B")
        position = self.offset + trace * ns * self.dtype.itemsize
        while data:
            written = os.pwrite(self.fd, data, position)
            data, position = data[written:], position + written


def run_chunked(
    kernel,
    source,
    out,
    chunk_bytes=PROCESS_BLOCK_BYTES,
    workers=WORKERS,
    progress=None,
    cancel=None,
):
    """out[index] = kernel(source[index]) for each chunk; `kernel` acts along the last axis.
    `out` is an array or a FileWriter.

    `progress(done, total)` (in traces) is called after each chunk, from the thread that
    did it. `cancel` (a threading.Event) stops the work between chunks with
    ProcessingCancelled; an error in any chunk stops the others and is raised here.
    """
    if tuple(out.shape) != tuple(source.shape):
        raise ValueError(f"output shape {out.shape} differs from {source.shape}")
    todo = iter(blocks(source.shape, source.dtype.itemsize, chunk_bytes))
    total = int(np.prod(source.shape[:2]))
    cancel = cancel or threading.Event()
    stop = threading.Event()  # set by a failing worker, or when the caller is interrupted
    lock = threading.Lock()
    drop_in, drop_out = PageDropper(source), PageDropper(out)
    done, errors = [0], []

    def work():
        try:
            while True:
                with lock:
                    if stop.is_set() or cancel.is_set():
                        return
                    chunk = next(todo, None)
                if chunk is None:
                    return
                index, traces = chunk
                # Read through the file: one cut short meanwhile is an error, not SIGBUS.
                data = mapped.read(source, index)
                drop_in(index)  # a map read directly, when not of a project's file
                result = kernel(data)
                del data
                out[index] = result
                del result
                drop_out(index)
                with lock:
                    done[0] += traces
                    if progress is not None:
                        progress(done[0], total)
        except BaseException as error:  # noqa: BLE001 - raised by the calling thread
            errors.append(error)
            stop.set()

    helpers = [threading.Thread(target=work, daemon=True) for _ in range(workers - 1)]
    for thread in helpers:
        thread.start()
    try:
        work()
    finally:
        stop.set()
        for thread in helpers:
            thread.join()
    if errors:
        raise errors[0]
    if cancel.is_set() and done[0] < total:
        raise ProcessingCancelled("cancelled")
    return out


def default_output(dob, prop_name, key):
    return free_name(f"{prop_name}_{key}", dob.prop)


class ProcessJob(Job):
    """One operation on a property of a cube, making a new property of it.

    Made on the thread that owns the project: checks everything (ValueError with the
    text a user reads) before anything is written. `run()` computes on any thread into
    `out` (given, or a new array in memory); `store` adds the result to the project.
    """

    def __init__(
        self,
        dob,
        prop_name,
        key,
        output,
        params=None,
        chunk_bytes=PROCESS_BLOCK_BYTES,
        workers=WORKERS,
        progress=None,
    ):
        if key not in OPERATIONS:
            raise ValueError(f"unknown operation {key!r}; one of {', '.join(OPERATIONS)}")
        self.operation = OPERATIONS[key]
        if prop_name not in dob.prop:
            raise ValueError(f"{dob.name!r} has no property named {prop_name!r}")
        source = dob.array(prop_name)
        if dob.prop_array_key != "array3d" or np.ndim(source) != 3:
            raise ValueError(f"{dob.name!r} is not a cube: only 3-D properties can be processed")
        if not (
            np.issubdtype(source.dtype, np.floating) or np.issubdtype(source.dtype, np.integer)
        ):
            raise ValueError(f"cannot process values of type {source.dtype}")
        if not isinstance(output, str) or not output.strip():
            raise ValueError("give the new property a name")
        if output in dob.prop:
            raise ValueError(f"{dob.name!r} already has a property named {output!r}")
        self.kernel = self.operation.kernel(dob.meta, source.shape, **(params or {}))
        self.dob, self.prop_name, self.output = dob, prop_name, output
        self.params = dict(params or {})
        self.source = source
        self.shape = source.shape
        self.chunk_bytes, self.workers, self.progress = chunk_bytes, workers, progress
        self.total = int(np.prod(self.shape[:2])) or 1
        self.done = 0
        self.out = self.data_file = None
        Job.__init__(self)

    @property
    def attributes(self):
        """The new property's attributes: its unit and how it was made."""
        unit = self.operation.unit
        if unit is None:
            unit = self.dob.prop[self.prop_name].get("unit", "")
        made = ", ".join(f"{k}={v:g}" for k, v in self.params.items())
        return {
            "unit": unit,
            "description": f"{self.operation.title} of {self.prop_name}"
            + (f" ({made})" if made else ""),
        }

    def make_output(self, database=None):
        """Where the result goes (the database's thread): a new data file of the project's
        when the result needs one (gemlo.storage.chunks), else an array in memory. A full disk
        fails here, with OSError."""
        if database is not None and needs_data_file(4 * np.prod(self.shape)):
            data_file = self.data_file = database.new_data_file(
                self.dob.name, self.output, np.float32, self.shape
            )
            return FileWriter(data_file.fileno(), data_file.offset, self.shape)
        return np.empty(self.shape, np.float32)

    def work(self, out=None):
        self.compute(out)

    def compute(self, out=None, scheduler=None):
        """Fill `out` (default: a new float32 array; or a FileWriter) with the result;
        returns it. With a graphs.Scheduler, the chunks are tasks of its dask graph."""
        if out is None:
            out = np.empty(self.shape, np.float32)
        if scheduler is not None:
            from gemlo.processing import graphs

            self.out = graphs.process(
                self.kernel,
                self.source,
                out,
                scheduler,
                progress=self._chunk_done,
                cancel=self._cancel,
            )
            return self.out
        self.out = run_chunked(
            self.kernel,
            self.source,
            out,
            self.chunk_bytes,
            self.workers,
            self._chunk_done,
            self._cancel,
        )
        return self.out

    def store(self, tree=None, database=None):
        """Make the computed result the new property (the database's thread), through the
        data tree `tree` or else straight into `database`; returns its entry. Whatever
        fails, the project stays as it was and the result is discarded."""
        dob, name, attributes = self.dob, self.output, self.attributes
        try:
            if self.out is None:
                raise RuntimeError("nothing to store: the computation did not complete")
            if name in dob.prop:  # made meanwhile: never replaced
                raise ValueError(f"{dob.name!r} already has a property named {name!r}")
            if tree is not None:
                if self.data_file is not None:
                    return tree.store_data_file(
                        dob.name, name, self.data_file, new=True, **attributes
                    )
                return tree.create_property(dob.name, name, self.out, **attributes)
            # Checked again as it is stored: a run storing that name meanwhile wins.
            value = self.out if self.data_file is None else self.data_file
            return database.store_properties(
                dob, {name: value}, {name: attributes}, fresh=(name,)
            )[name]
        except BaseException:
            # The tree's create_property puts the entry in before the project stores it.
            if name in dob.prop and dob.prop[name].get(dob.prop_array_key) is self.out:
                del dob.prop[name]
            self.discard()
            raise
        finally:
            self.out = None

    def discard(self):
        """Drop the result: a data file made for it is removed."""
        self.out = None
        if self.data_file is not None:
            self.data_file.discard()
