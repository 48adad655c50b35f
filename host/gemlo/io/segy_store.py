"""SEG-Y cubes straight into a chunked cube store (Zarr, in a folder or a bucket).

The traces are decoded in C++ (`gemlo.io.segycodec`) into a slab of whole shards in
memory (a row of shards along the file's sorting, so that the traces of a slab follow
each other in the file), and each slab is written to the store while the next one is
decoded. The cube is written under a hidden name and takes its own only when whole
(`gemlo.storage.cubestore.CubeWriter`).
"""

import mmap
import os
from concurrent.futures import ThreadPoolExecutor

import numpy as np

from gemlo.io import segycodec
from gemlo.io.segy import ImportCancelled, SegyError, SegyImport
from gemlo.model.dataobject import DataObject
from gemlo.storage.cubestore import StoreError, create_cube, delete_cube


def _buffer(nbytes):
    """A zeroed anonymous file of `nbytes` and a writable map of it: (fd, map)."""
    fd = os.memfd_create("gemlo-slab", os.MFD_CLOEXEC)
    try:
        os.ftruncate(fd, nbytes)
        return fd, mmap.mmap(fd, nbytes)
    except BaseException:
        os.close(fd)
        raise


def cube_coords(job):
    """The cube's coordinates: line numbers and sample times."""
    return {
        "inline": np.asarray(job.ilines, dtype=np.int64),
        "xline": np.asarray(job.xlines, dtype=np.int64),
        "time": job.z0 + job.dz * np.arange(job.samples, dtype=np.float64),
    }


def copy_to_cube(job, writer):
    """Decode every trace of the scanned SEG-Y `job` (a SegyImport) into the cube `writer`
    (a CubeWriter of the job's shape and dtype). Positions without a trace hold zeros.
    Calls job's progress; ImportCancelled when the job is cancelled."""
    axis = 0 if job.inline_sorted else 1
    n_il, n_xl, ns = job.shape
    step = writer.shards[axis]
    rows = np.asarray(job._rows, dtype=np.int64)
    along = rows // n_xl if axis == 0 else rows % n_xl
    slab_of = along // step
    order = np.argsort(slab_of, kind="stable")
    bounds = np.searchsorted(slab_of[order], np.arange(-(-job.shape[axis] // step) + 1))
    h = job.header
    full = list(job.shape)
    full[axis] = step
    nbytes = int(np.prod(full)) * job.dtype.itemsize
    buffers = [_buffer(nbytes), _buffer(nbytes)]
    done = 0

    def progress(count):
        return job._chunk_done(done + count)

    def decode(s, fd, values):
        """Decode the traces of slab s into `values` (its array over the buffer `fd`)."""
        nonlocal done
        a = s * step
        width = values.shape[axis]
        traces = np.sort(order[bounds[s] : bounds[s + 1]])
        if job.missing:
            values[...] = 0
        if axis == 0:
            local = rows[traces] - a * n_xl
        else:
            local = (rows[traces] // n_xl) * width + (rows[traces] % n_xl - a)
        # Runs of consecutive traces: one in a file sorted along the slabs' axis.
        cuts = np.flatnonzero(np.diff(traces) != 1) + 1
        chunk = max(1, job.chunk_bytes // (2 * job.trace_bytes + ns * job.dtype.itemsize))
        with open(job.path, "rb") as source:
            for run in np.split(np.arange(len(traces)), cuts):
                if not len(run):
                    continue
                t = traces[run]
                whole = segycodec.copy_traces(
                    source.fileno(),
                    job.first + int(t[0]) * job.trace_bytes,
                    job.trace_bytes,
                    ns,
                    job.format,
                    job.big_endian,
                    fd,
                    0,
                    local[run],
                    (h.iline - 1, 4),
                    (h.xline - 1, 4),
                    np.ascontiguousarray(job._il[t]),
                    np.ascontiguousarray(job._xl[t]),
                    chunk,
                    progress,
                )
                done += len(t)
                if not whole:
                    raise ImportCancelled(f"Import of {job.path} cancelled")

    try:
        with ThreadPoolExecutor(1, thread_name_prefix="gemlo-cube-write") as pool:
            pending = None
            for s in range(len(bounds) - 1):
                fd, pages = buffers[s % 2]
                shape = list(job.shape)
                shape[axis] = min(step, job.shape[axis] - s * step)
                values = np.frombuffer(pages, job.dtype, int(np.prod(shape))).reshape(shape)
                decode(s, fd, values)
                region = [slice(None)] * 3
                region[axis] = slice(s * step, s * step + shape[axis])
                if pending is not None:
                    pending.result()  # so this slab's buffer is free again next time
                pending = pool.submit(writer.write, tuple(region), values)
            if pending is not None:
                pending.result()
    finally:
        for fd, pages in buffers:
            try:
                pages.close()
            except BufferError:  # a view is still held by an error's traceback
                pass
            os.close(fd)


class StoreImport(SegyImport):
    """A SegyImport whose samples go into a new cube at `location` in a cube store
    instead of a data file beside the project: `copy()` writes it under a hidden name,
    `commit_cube()` gives it its own."""

    def __init__(self, path, location, name, survey=None, *, profile=None, **options):
        folder = options.pop("folder", os.path.dirname(os.fspath(location)))
        super().__init__(path, folder, name, survey, **options)
        self.location = os.fspath(location)
        self.profile = profile
        self.writer = None
        self.cube = None

    def prepare(self, database):
        """Nothing to make in the project's folder: the cube is made by copy()."""

    def copy(self):
        try:
            self.writer = create_cube(
                self.location,
                self.shape,
                self.dtype,
                attrs={"meta": self.meta},
                profile=self.profile,
                coords=cube_coords(self),
            )
            copy_to_cube(self, self.writer)
        except (RuntimeError, OSError, StoreError) as error:
            self.discard()
            reason = error.strerror if isinstance(error, OSError) and error.strerror else error
            raise SegyError(self.path, f"writing the cube failed: {reason}") from error
        except BaseException:
            self.discard()
            raise

    def commit_cube(self):
        """Give the written cube its name; returns it (a CubeStore)."""
        if self.writer is None:
            raise RuntimeError("nothing to commit: copy() did not complete")
        try:
            self.cube = self.writer.commit()
        except StoreError as error:
            raise SegyError(self.path, str(error)) from error
        finally:
            self.writer = None
        return self.cube

    def commit(self, database, add_object=None):
        """Give the cube its name, then store the object with it as its property (and the
        survey if the project has none) in one transaction; returns the object. The cube is
        removed again when the project cannot take it."""
        if self.name in database.object_names():
            self.discard()
            raise ValueError(f"The project already holds an object named {self.name!r}")
        cube = self.commit_cube()
        dob = DataObject(self.name, {}, "array3d", self.meta)
        survey = (self.survey, self.sgmt) if database.load_survey()[0] is None else None
        try:
            database.store_properties(
                dob, {"amplitude": cube}, {"amplitude": {"unit": ""}}, survey=survey
            )
        except BaseException:
            delete_cube(cube.url, cube.profile)
            raise
        if add_object is not None:
            add_object(dob)
        return dob

    def discard(self):
        if self.writer is not None:
            self.writer.discard()
            self.writer = None


def import_to_store(segy_path, location, profile=None, progress=None, header=None):
    """Write the cube of `segy_path` to `location` (no project); returns the CubeStore."""
    job = StoreImport(
        segy_path, location, "amplitude", profile=profile, progress=progress, header=header
    )
    job.copy()
    return job.commit_cube()
