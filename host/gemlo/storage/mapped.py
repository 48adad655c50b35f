"""Reading a memory-mapped data file in long passes without SIGBUS.

A file truncated behind its map turns a read of the lost pages into SIGBUS, which ends
the program, whenever the truncation happens during the pass. Long passes therefore
read through the file instead (pread on a descriptor kept with the map, so always the
file that was checked and mapped): a file cut short meanwhile gives a short read,
which is an OSError naming it.
"""

import mmap
import os
import weakref

import numpy as np

# mmap.mmap -> a read-only descriptor of the file it maps (closed with the map).
_FILES = weakref.WeakKeyDictionary()


def keep_file(array, fd):
    """Keep a descriptor of the file that the memmap `array` maps, opened as `fd`."""
    pages = getattr(array, "_mmap", None)
    if isinstance(pages, mmap.mmap) and pages not in _FILES:
        kept = os.dup(fd)
        _FILES[pages] = kept
        weakref.finalize(pages, os.close, kept)


def source(array):
    """(descriptor, position in the file of the array's first byte) of a shared map of
    a kept file, else None. The descriptor stays the map's: do not close it."""
    base, mapped = array, None
    while base is not None and not isinstance(base, mmap.mmap):
        if mapped is None and isinstance(base, np.memmap):
            mapped = base
        base = getattr(base, "base", None)
    if base is None or mapped is None or mapped.mode not in ("r", "r+", "w+"):
        return None  # a copy-on-write map holds changes that are not in the file
    fd = _FILES.get(base)
    if fd is None or base.closed:
        return None
    start = np.frombuffer(base, np.uint8, count=1).ctypes.data
    offset = mapped.offset - mapped.offset % mmap.ALLOCATIONGRANULARITY
    return fd, offset + array.ctypes.data - start


def read(array, index=Ellipsis):
    """A copy of `array[index]`, read through the file when `array` maps a kept one;
    OSError when the file was cut short meanwhile."""
    part = array[index]
    found = source(part) if part.flags.c_contiguous and part.nbytes else None
    if found is None:
        return np.array(part)
    fd, position = found
    out = np.empty(part.shape, part.dtype)
    name = getattr(array, "filename", None) or "its data file"
    read_full(
        fd,
        memoryview(out).cast("B"),
        position,
        lambda: OSError(f"{name} was truncated while in use"),
    )
    return out


def read_full(fd, view, position, ended):
    """Fill the bytes of `view` from the file `fd` at `position`; raises `ended()` (an
    OSError) when the file ends first."""
    done = 0
    while done < len(view):
        got = os.preadv(fd, [view[done:]], position + done)
        if got == 0:
            raise ended()
        done += got
