"""Pieces shared by the benches and by the child processes they start (`run_child`
puts this folder on the child's path)."""

import os
from pathlib import Path


def status(key):
    """A line of /proc/self/status in bytes (VmRSS, VmHWM, RssAnon), 0 when absent."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    return 0


def write_synced(path, size, block):
    """The disk's reference: `size` bytes written in order from `block` over and over,
    then synced."""
    with open(path, "wb") as f:
        left = size
        while left > 0:
            left -= f.write(block[: min(left, len(block))])
        f.flush()
        os.fsync(f.fileno())


def drop_cache(path):
    """Drop the file `path`, or the files under it, from the page cache (written back
    first)."""
    files = [path] if Path(path).is_file() else [f for f in Path(path).rglob("*") if f.is_file()]
    for f in files:
        fd = os.open(f, os.O_RDONLY)
        try:
            os.fdatasync(fd)
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        finally:
            os.close(fd)
