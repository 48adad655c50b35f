"""New .npy data files that nothing refers to until the project records them.

A data file is made without a name (O_TMPFILE): a process killed while it is
written leaves nothing on disk. The project gives it its name only when it
stores it (`ProjectDatabase.store_data_file`). On a file system without unnamed
files it is a hidden named file that the project records first, so that the next
open removes it if its writer died.
"""

import errno
import mmap
import os
import re
import secrets

import numpy as np
from numpy.lib import format as npy_format

# The name of a data file made where unnamed files are not supported.
HIDDEN_PREFIX = ".gemlo-data-"
HIDDEN = re.compile(re.escape(HIDDEN_PREFIX) + r"[0-9a-f]{12}\.npy\.part")
# Values copied or computed at a time, so that memory stays bounded.
CHUNK_BYTES = 32 << 20


def _reserve(fd, size):
    """Claim the disk space now: a full disk fails here with ENOSPC instead of killing
    the process (SIGBUS) when a mapped page cannot be written back."""
    if not hasattr(os, "posix_fallocate"):
        return
    try:
        os.posix_fallocate(fd, 0, size)
    except OSError as error:
        if error.errno not in (errno.EOPNOTSUPP, errno.EINVAL, errno.ENOSYS):
            raise


def fsync_folder(folder):
    fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def rows_per_chunk(shape, itemsize, chunk_bytes=CHUNK_BYTES):
    """How many entries of the first axis make about `chunk_bytes`."""
    row = int(np.prod(shape[1:], dtype=np.int64)) * itemsize
    return max(1, chunk_bytes // max(row, 1))


def drop_pages(array):
    """Let the pages of a memory map leave this process (written ones stay in the page
    cache, to be written back): a long pass over a map keeps its memory bounded."""
    pages = getattr(array, "_mmap", None)
    if isinstance(pages, mmap.mmap) and hasattr(mmap, "MADV_DONTNEED"):
        pages.madvise(mmap.MADV_DONTNEED)


def copy_chunked(source, target):
    """target[...] = source, a chunk of the first axis at a time."""
    rows = rows_per_chunk(source.shape, source.dtype.itemsize)
    for a in range(0, source.shape[0], rows):
        target[a : a + rows] = source[a : a + rows]
        drop_pages(source)
        drop_pages(target)


class DataFile:
    """A new .npy file in `folder` holding an array of `dtype` and `shape`.

    `array` is a writable memory map of its values (C order), `fileno()` a read-write
    descriptor for writers that write at `offset + position`. It may be filled on any
    thread. `discard()` removes it; as a context manager it is discarded on an
    exception. `path` is None while the file has no name.
    """

    def __init__(self, folder, dtype, shape, claim=None):
        self.path = self.hidden = self._fp = self._array = None
        self.stored = False
        self.folder = os.path.abspath(folder)
        self.dtype = np.dtype(dtype)
        self.shape = tuple(int(n) for n in shape)
        if self.dtype.hasobject:
            raise TypeError("a data file cannot hold Python objects")
        if any(n < 0 for n in self.shape) or not np.prod(self.shape, dtype=np.int64):
            raise ValueError(f"a data file needs at least one value, not shape {self.shape}")
        try:
            if not hasattr(os, "O_TMPFILE"):  # not Linux
                raise OSError(errno.EOPNOTSUPP, "no unnamed files")
            fd = os.open(self.folder, os.O_TMPFILE | os.O_RDWR, 0o666)
        except OSError as error:
            if error.errno not in (errno.EOPNOTSUPP, errno.EISDIR, errno.EINVAL):
                raise
            fd = self._named(claim)
        self._fp = os.fdopen(fd, "r+b", buffering=0)
        try:
            header = {
                "descr": npy_format.dtype_to_descr(self.dtype),
                "fortran_order": False,
                "shape": self.shape,
            }
            try:
                npy_format.write_array_header_1_0(self._fp, header)
            except ValueError:  # a header too long for format 1.0
                self._fp.seek(0)
                npy_format.write_array_header_2_0(self._fp, header)
            self.offset = self._fp.tell()
            size = self.offset + self.nbytes
            os.ftruncate(fd, size)
            _reserve(fd, size)
        except BaseException:
            self.discard()
            raise

    def _named(self, claim):
        # No unnamed files here: a hidden name, told to the project before it exists.
        while True:
            path = os.path.join(self.folder, f"{HIDDEN_PREFIX}{secrets.token_hex(6)}.npy.part")
            if claim is not None:
                claim(path)
            try:
                fd = os.open(path, os.O_CREAT | os.O_EXCL | os.O_RDWR, 0o666)
            except FileExistsError:
                continue
            self.path = self.hidden = path
            return fd

    @property
    def nbytes(self):
        return int(np.prod(self.shape, dtype=np.int64)) * self.dtype.itemsize

    def fileno(self):
        if self._fp is None:
            raise ValueError("the data file was discarded or stored")
        return self._fp.fileno()

    @property
    def array(self):
        if self._array is None:
            self._array = np.memmap(
                self._fp, self.dtype, "r+", offset=self.offset, shape=self.shape, order="C"
            )
        return self._array

    def identity(self):
        """(device, inode): the file keeps them when it is given its name."""
        st = os.fstat(self.fileno())
        return st.st_dev, st.st_ino

    def sync(self):
        """Write the values to disk."""
        if self._array is not None:
            self._array.flush()
        os.fsync(self.fileno())

    def link(self, path):
        """Give the file the name `path`; FileExistsError if the name is taken."""
        if self.hidden is not None:
            os.link(self.hidden, path)
            return
        # os.link follows the /proc link (linkat with AT_SYMLINK_FOLLOW) only when
        # given a directory descriptor.
        folder = os.open(os.path.dirname(path), os.O_RDONLY | os.O_DIRECTORY)
        try:
            os.link(
                f"/proc/self/fd/{self.fileno()}",
                os.path.basename(path),
                dst_dir_fd=folder,
                follow_symlinks=True,
            )
        finally:
            os.close(folder)

    def stored_as(self, path):
        """The project now refers to the file as `path`: it is no longer ours to remove."""
        self.stored = True
        self.path = path
        self._close()
        if self.hidden is not None:
            try:
                os.unlink(self.hidden)
            except OSError:
                pass  # recorded: the project's next open removes it
            self.hidden = None

    def _close(self):
        self._array = None  # the map stays valid for whoever holds it
        if self._fp is not None:
            self._fp.close()
            self._fp = None

    def discard(self):
        """Remove the file (unless it was stored); calling it again does nothing."""
        self._close()
        if self.hidden is not None and not self.stored:
            try:
                os.unlink(self.hidden)
            except FileNotFoundError:
                pass
            self.hidden = None
            self.path = None

    def __enter__(self):
        return self

    def __exit__(self, etype, value, tb):
        if etype is not None:
            self.discard()
        return False

    def __del__(self):
        if not self.stored:
            self.discard()

    def __repr__(self):
        where = self.path or f"unnamed in {self.folder}"
        return f"DataFile({where}, {self.dtype}, {self.shape})"


def pid_alive(pid):
    """Whether the process `pid` still runs (its debris is then still in use)."""
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True
