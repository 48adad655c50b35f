"""Statistics and processing as dask graphs, on this machine or on a dask.distributed cluster.

`Scheduler(address)` runs the tasks: on this machine's threads when no address is given
(the kernels let go of the GIL, so threads share the chunks without copying them between
processes), else on the dask.distributed scheduler at `address`.

Trace-wise processing runs a block at a time on blocks of whole traces: a block of bricks
(part of a trace) would give a silently wrong Hilbert transform or filter, so such arrays
are rechunked first. Results either come back to this process, which writes them in
order of completion (a project's data file), or are written by the workers themselves
(a zarr array of the same store), block by block, never more than a few in flight.
"""

import itertools
import os
import threading
from concurrent.futures import FIRST_COMPLETED, CancelledError, ThreadPoolExecutor, wait
from contextlib import contextmanager

import dask
import numpy as np
from numpy.lib import format as npy_format

from gemlo.processing import exact
from gemlo.processing.runner import FileWriter, ProcessingCancelled, blocks
from gemlo.storage.chunks import PROCESS_BLOCK_BYTES

# The project setting that names the scheduler of a project's statistics and processing.
SCHEDULER_SETTING = "scheduler"
CONNECT_SECONDS = 10
DRAIN_SECONDS = 120
LOCAL_THREADS = 2
# Input bytes of a block that one task processes on a cluster: large enough that the
# cost of a task (scheduling, a round trip, sending the result here) stays small beside
# its work; with 4 MB blocks the cluster spent a quarter more CPU than the local engine,
# with 16 MB about as much. The kernel itself runs on pieces (see _apply).
CLUSTER_CHUNK_BYTES = 16 << 20
# Statistics columns: the Statistics dock's points.
POINTS = (0, 10, 50, 90, 100)


class SchedulerError(ConnectionError):
    """The dask scheduler cannot be reached."""


class Scheduler:
    """Where graphs run: this machine's threads (`address` None or empty) or a
    dask.distributed scheduler ("tcp://host:8786"). A context manager; closing drops the
    connection, never the cluster."""

    def __init__(self, address=None):
        self.address = address or None
        self.client = None
        if self.address is not None:
            from distributed import Client

            try:
                self.client = Client(self.address, timeout=CONNECT_SECONDS, set_as_default=False)
            except (OSError, TimeoutError) as error:
                raise SchedulerError(
                    f"cannot reach the dask scheduler at {self.address}: {error}"
                ) from error

    @property
    def workers(self):
        """How many tasks run at once."""
        if self.client is None:
            return LOCAL_THREADS
        info = self.client.scheduler_info(n_workers=-1)["workers"].values()
        return max(1, sum(w.get("nthreads", 1) for w in info))

    def compute(self, *tasks):
        """The results of dask collections or delayed tasks, in order."""
        if self.client is None:
            return dask.compute(*tasks, scheduler="threads", num_workers=LOCAL_THREADS)
        with self._cluster_errors():
            return tuple(self.client.gather(self.client.compute(list(tasks))))

    @contextmanager
    def _cluster_errors(self):
        # A worker lost for good, the scheduler gone: the cluster's failure, said as one,
        # rather than an exception type no caller knows. A task's own error (a file a
        # worker cannot read, bad values) passes as it is.
        from distributed import KilledWorker
        from distributed.comm import CommClosedError

        try:
            yield
        except (KilledWorker, CommClosedError, CancelledError, TimeoutError) as error:
            raise SchedulerError(
                f"the dask cluster at {self.address} failed: {type(error).__name__}: {error}"
            ) from error

    def stream(self, tasks, cancel=None, in_flight=None, drain=False):
        """(position, result) of each delayed task as it completes, with at most
        `in_flight` running or waiting to be collected; ProcessingCancelled once `cancel`
        (a threading.Event) is set, after the running ones are dropped. With `drain`
        (tasks that write), an early end waits for the running ones instead (within
        DRAIN_SECONDS): a write arriving after the caller cleaned up would land in
        whatever now holds that name."""
        in_flight = in_flight or 2 * self.workers
        todo = iter(enumerate(tasks))
        cancel = cancel or threading.Event()
        if self.client is None:
            yield from self._stream_local(todo, cancel, in_flight)
            return
        from distributed import as_completed

        running = as_completed(loop=self.client.loop, with_results=False)
        where = {}

        def submit():
            for i, task in itertools.islice(todo, 1):
                future = self.client.compute(task)
                where[future.key] = i
                running.add(future)
                return True
            return False

        for _ in range(in_flight):
            if not submit():
                break
        try:
            for future in running:
                if cancel.is_set():
                    raise ProcessingCancelled("cancelled")
                with self._cluster_errors():
                    result = future.result()
                yield where.pop(future.key), result
                future.release()
                submit()
        finally:
            # An error, a cancel, or the caller gone: nothing left running for us.
            left = list(running.futures)
            if drain and left:
                from distributed import wait as wait_futures

                try:
                    wait_futures(left, timeout=DRAIN_SECONDS)
                except (TimeoutError, OSError):
                    pass
            self.client.cancel(left)
            running.clear()

    @staticmethod
    def _stream_local(todo, cancel, in_flight):
        with ThreadPoolExecutor(LOCAL_THREADS) as pool:
            running = {}

            def submit():
                for i, task in itertools.islice(todo, 1):
                    running[pool.submit(task.compute, scheduler="sync")] = i
                    return True
                return False

            for _ in range(in_flight):
                if not submit():
                    break
            # Leaving the pool waits for the running tasks: drained whatever `drain` says.
            try:
                while running:
                    done, _ = wait(running, return_when=FIRST_COMPLETED)
                    for future in done:
                        if cancel.is_set():
                            raise ProcessingCancelled("cancelled")
                        yield running.pop(future), future.result()
                        submit()
            finally:
                for future in running:
                    future.cancel()

    def close(self):
        if self.client is not None:
            self.client.close()
            self.client = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class NpyFile:
    """The values of a .npy file as a source of blocks: it pickles as its path, and whoever
    indexes it (a worker) maps the file and copies the block out."""

    def __init__(self, path):
        self.path = os.fspath(path)
        with open(self.path, "rb") as fp:
            version = npy_format.read_magic(fp)
            read_header = (
                npy_format.read_array_header_1_0
                if version == (1, 0)
                else npy_format.read_array_header_2_0
            )
            shape, fortran, dtype = read_header(fp)
            self.offset = fp.tell()
        if fortran:
            raise ValueError(f"{self.path} holds values in Fortran order")
        self.shape, self.dtype, self.ndim = tuple(shape), np.dtype(dtype), len(shape)
        if os.path.getsize(self.path) < self.offset + self.dtype.itemsize * np.prod(shape):
            raise ValueError(f"{self.path} is shorter than its header says")

    def map(self):
        """A read-only memory map of the values (dropped with its last reference)."""
        return np.memmap(self.path, self.dtype, "r", self.offset, self.shape)

    def __getitem__(self, index):
        return np.array(self.map()[index])


class FileAt:
    """A runner.FileWriter's file, for workers of this machine to write blocks into: it
    pickles as a path to this process's open descriptor, opened for each block. Blocks
    are disjoint byte ranges, so workers write side by side."""

    def __init__(self, path, offset, shape, dtype=np.float32):
        self.path, self.offset, self.shape, self.dtype = path, offset, tuple(shape), dtype

    @classmethod
    def reachable(cls, writer, scheduler):
        """A FileAt of `writer`'s file if every worker can write it (they run on this
        machine as this user and see the very same file), else None: the results then
        come back here, which spends this process's time receiving them."""
        path = f"/proc/{os.getpid()}/fd/{writer.fd}"
        st = os.fstat(writer.fd)
        try:
            seen = scheduler.client.run(_identity, path)
        except OSError:
            return None
        if not seen or any(v != (st.st_dev, st.st_ino) for v in seen.values()):
            return None
        return cls(path, writer.offset, writer.shape, writer.dtype)

    def __setitem__(self, index, values):
        fd = os.open(self.path, os.O_WRONLY)
        try:
            FileWriter(fd, self.offset, self.shape, self.dtype)[index] = values
        finally:
            os.close(fd)


def _identity(path):
    """(device, inode) of the file at `path` if this process may write it, else None."""
    try:
        st = os.stat(path)
    except OSError:
        return None
    return (st.st_dev, st.st_ino) if os.access(path, os.W_OK) else None


def _npy_of(values):
    """The NpyFile of which `values` is the whole memory map, else `values`."""
    if isinstance(values, np.memmap) and values.filename and values.flags.c_contiguous:
        try:
            npy = NpyFile(values.filename)
        except (OSError, ValueError):
            return values
        if (npy.shape, npy.dtype, npy.offset) == (values.shape, values.dtype, values.offset):
            return npy
    return values


def _read_apply(source, index, kernel):
    # The kernel reads its pieces straight from the map: no copy of the block, and the
    # pages leave this process with the map.
    return _apply(source.map()[index], kernel)


def _apply(values, kernel):
    # A task's block is large, to keep the cluster's per-task cost small; the kernel runs
    # on pieces of the local engine's size, whose temporaries (complex spectra, ~11 times
    # the input) stay in the cache: on whole blocks of 4 MB it is 1.5 times slower per byte.
    values = np.asarray(values)
    out = np.empty(values.shape, np.float32)
    if values.size == 0:
        return out
    traces, done = values.reshape(-1, values.shape[-1]), out.reshape(-1, values.shape[-1])
    step = max(1, PROCESS_BLOCK_BYTES // max(1, traces[0].nbytes))
    for i in range(0, len(traces), step):
        done[i : i + step] = kernel(traces[i : i + step])
    return out


def _write(values, target, index):
    target[index] = values


def whole_traces(array):
    """The dask array `array` with every block holding whole traces (the last axis)."""
    if len(array.chunks[-1]) == 1:
        return array
    return array.rechunk({array.ndim - 1: -1})


def apply(kernel, array):
    """kernel of every block of whole traces of the dask array `array`, as a lazy float32
    dask array (map_blocks on the array rechunked to whole traces)."""
    return whole_traces(array).map_blocks(_apply, kernel, dtype=np.float32)


def processed_blocks(kernel, source, chunk_bytes=CLUSTER_CHUNK_BYTES):
    """[(index, number of traces, delayed kernel of the block)] over whole traces of a cube:
    `source` is a dask array, a NpyFile, or an array (a memory map of a project's file
    becomes a NpyFile, which the workers read themselves)."""
    import dask.array as da
    from dask.array.core import slices_from_chunks

    if hasattr(source, "as_dask"):  # a store's cube: the workers read its shards
        source = source.as_dask()
    if isinstance(source, da.Array):
        result = apply(kernel, source)
        indexes = slices_from_chunks(result.chunks)
        return [
            (index, int(np.prod([s.stop - s.start for s in index[:-1]])), block)
            for index, block in zip(indexes, result.to_delayed().ravel(), strict=True)
        ]
    source = _npy_of(source)
    # Not pure: a file may change between runs, and a cluster must not reuse old results.
    read_apply = dask.delayed(_read_apply, pure=False)
    out = []
    for index, traces in blocks(source.shape, source.dtype.itemsize, chunk_bytes):
        if isinstance(source, NpyFile):
            block = read_apply(source, index, kernel)
        else:  # values of this process: the block travels with its task
            block = dask.delayed(_apply, pure=False)(np.array(source[index]), kernel)
        out.append((index, traces, block))
    return out


def process(
    kernel,
    source,
    target,
    scheduler,
    *,
    on_workers=None,
    chunk_bytes=CLUSTER_CHUNK_BYTES,
    progress=None,
    cancel=None,
):
    """target[index] = kernel(source[index]) for every block of whole traces, as tasks of
    `scheduler`. `on_workers` makes the workers write the blocks themselves, else they
    come back here to be written (an array, a memory map or a runner.FileWriter); by
    default they do for a zarr array, and for a FileWriter whose file they all reach (on
    this machine). `progress(done, total)` counts traces."""
    if tuple(target.shape) != tuple(source.shape):
        raise ValueError(f"output shape {target.shape} differs from {source.shape}")
    if on_workers is None:
        on_workers = type(target).__module__.startswith("zarr")
        if isinstance(target, FileWriter) and scheduler.client is not None:
            shared = FileAt.reachable(target, scheduler)
            target, on_workers = (shared, True) if shared is not None else (target, False)
    if on_workers and hasattr(target, "chunks"):
        # Each block must fill whole chunks (shards) of the target: two workers writing
        # parts of one chunk would each rewrite it whole, and one of them would be lost.
        grid = getattr(target, "shards", None) or target.chunks
        source = as_dask(source, chunk_bytes).rechunk((*grid[:-1], -1))
    parts = processed_blocks(kernel, source, chunk_bytes)
    write = dask.delayed(_write)
    tasks = [write(block, target, index) if on_workers else block for index, _, block in parts]
    total = int(np.prod(source.shape[:-1]))
    done = 0
    for position, result in scheduler.stream(tasks, cancel, drain=on_workers):
        index, traces, _ = parts[position]
        if not on_workers:
            target[index] = result
        del result
        done += traces
        if progress is not None:
            progress(done, total)
    return target


def process_cube(kernel, cube, location, scheduler, *, name, progress=None, cancel=None):
    """A new cube at `location` (beside `cube`, in its store) holding kernel(cube) as
    float32 values named `name`, in the layout of `cube`; the workers write its shards.
    It takes its name once complete: a failed or cancelled run leaves nothing."""
    from gemlo.storage.cubestore import create_cube

    with create_cube(
        location, cube.shape, np.float32, cube.chunks, cube.attrs, cube.profile,
        shards=cube.shards, name=name, coords=cube.coords(),
    ) as writer:  # fmt: skip
        process(kernel, cube.as_dask(), writer.array, scheduler, progress=progress,
                cancel=cancel)  # fmt: skip
        return writer.commit()


def statistics(array, scheduler, points=POINTS):
    """([the percentiles `points` of the values present], number of NaN) of a dask array,
    exact (numpy.percentile of the values that are not NaN)."""
    return exact.percentiles_and_nulls(array, points, scheduler.compute)


def as_dask(values, chunk_bytes=CLUSTER_CHUNK_BYTES):
    """A property's values as a dask array of blocks of about `chunk_bytes`: a dask array
    as it is, a store's cube as its own blocks, a memory map of a .npy file read by the
    workers themselves, anything else as blocks of this process's values."""
    import dask.array as da

    if isinstance(values, da.Array):
        return values
    if hasattr(values, "as_dask"):
        return values.as_dask()
    values = values if isinstance(values, np.memmap) else np.asarray(values)
    source = _npy_of(values)
    rows = max(1, chunk_bytes // max(1, values[0].nbytes)) if values.ndim else None
    chunks = (rows, *values.shape[1:]) if values.ndim else ()
    return da.from_array(source, chunks=chunks, asarray=False, fancy=False)
