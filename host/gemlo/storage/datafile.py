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

from gemlo.storage import mapped

# The name of a data file made where unnamed files are not supported.
HIDDEN_PREFIX = ".gemlo-data-"
HIDDEN = re.compile(re.escape(HIDDEN_PREFIX) + r"[0-9a-f]{12}\.npy\.part")


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


def mapped_file(array):
    """The .npy file of which `array` is the whole memory map, or None.

    A copy-on-write map ("c") does not count: its changes are not in the file.
    """
    if not (
        isinstance(array, np.memmap)
        and isinstance(array.base, mmap.mmap)
        and array.filename
        and array.mode in ("r", "r+", "w+")
    ):
        return None
    try:
        with open(array.filename, "rb") as fp:
            read_header = (
                npy_format.read_array_header_1_0
                if npy_format.read_magic(fp) == (1, 0)
                else npy_format.read_array_header_2_0
            )
            shape, fortran, dtype = read_header(fp)
            offset = fp.tell()
    except (OSError, ValueError):
        return None
    if (
        (shape, dtype, offset) != (array.shape, array.dtype, array.offset)
        or fortran
        or not array.flags.c_contiguous
    ):
        return None
    return array.filename


def read_npy_header(fp):
    """(shape, fortran order, dtype) from the .npy header at the start of `fp`; ValueError if
    there is none."""
    try:
        version = npy_format.read_magic(fp)
    except (ValueError, EOFError) as error:
        raise ValueError("it is not a .npy data file (no .npy header)") from error
    if version not in ((1, 0), (2, 0)):
        raise ValueError(f"its .npy format version {version[0]}.{version[1]} is not read")
    read_header = (
        npy_format.read_array_header_1_0 if version == (1, 0) else npy_format.read_array_header_2_0
    )
    try:
        return read_header(fp)
    except (ValueError, EOFError, SyntaxError, TypeError) as error:
        raise ValueError(f"its .npy header is damaged ({error})") from error


def open_mapped(path, dtype, shape, writable=True):
    """A memory map of the .npy file `path` once it checked out against its own header and
    the project's record (dtype, shape): C order, and exactly as long as they say.

    Nothing is written to a file that did not check out (a read-write map of a short file
    would extend it with zeros). The map is read-only unless `writable` and the file can be
    written. Raises ValueError saying what is wrong, OSError when it cannot be read.
    """
    dtype, shape = np.dtype(dtype), tuple(shape)
    # Read-only until it checked out; never through a link (`path` is resolved).
    fp = os.fdopen(os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK), "rb")
    with fp:
        info = os.fstat(fp.fileno())
        if not os.path.stat.S_ISREG(info.st_mode):
            raise ValueError("it is not a regular file")
        found_shape, fortran, found_dtype = read_npy_header(fp)
        offset = fp.tell()
        if found_dtype.hasobject:
            raise ValueError("it holds Python objects, not numbers")
        if fortran:
            raise ValueError("its values are in Fortran order; the project maps C order only")
        if (found_dtype, tuple(found_shape)) != (dtype, shape):
            raise ValueError(
                f"it holds {found_dtype} values shaped {tuple(found_shape)} where the project "
                f"records {dtype} shaped {shape}"
            )
        size = offset + dtype.itemsize * int(np.prod(shape))
        # Checked on the open file, which the map is made from: no other file can slip in.
        if info.st_size != size:
            raise ValueError(
                f"it is {info.st_size} bytes long where its header and the project give "
                f"{size}: it was truncated or damaged"
            )
        if size == offset:
            writable = False  # numpy writes a byte into a file it maps for no values
        if writable and os.access(path, os.W_OK):
            try:
                rw = open(path, "r+b", opener=lambda p, f: os.open(p, f | os.O_NOFOLLOW))
            except OSError as error:
                if error.errno not in (errno.EACCES, errno.EPERM, errno.EROFS):
                    raise
            else:
                with rw:
                    again = os.fstat(rw.fileno())
                    if (again.st_dev, again.st_ino, again.st_size) != (
                        info.st_dev,
                        info.st_ino,
                        info.st_size,
                    ):
                        raise ValueError("it was replaced while it was checked")
                    array = np.memmap(rw, dtype, "r+", offset, shape, order="C")
                    mapped.keep_file(array, fp.fileno())
                    return array
        array = np.memmap(fp, dtype, "r", offset, shape, order="C")
        mapped.keep_file(array, fp.fileno())
        return array


def mapped_file_short(array):
    """Why reading the memory-mapped `array` would fault now, or None when it would not.

    A file truncated behind its map turns a read of the lost pages into SIGBUS, which
    kills the process: readers of mapped arrays ask first. (A truncation between the
    question and the read is not caught.)
    """
    base, offset, name = array, None, "its data file"
    while base is not None and not isinstance(base, mmap.mmap):
        if offset is None and isinstance(base, np.memmap):
            offset, name = base.offset, base.filename or name
        base = getattr(base, "base", None)
    if base is None or base.closed:
        return None
    # numpy maps from the allocation boundary below the data's offset.
    offset = offset or 0
    needed = offset - offset % mmap.ALLOCATIONGRANULARITY + len(base)
    try:
        size = base.size()
    except OSError:
        return None
    if size >= needed:
        return None
    return f"{name} was truncated while in use ({size} bytes left of {needed})"
