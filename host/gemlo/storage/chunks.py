"""How much of a large array is held at a time, and where large arrays live.

Each pass over a data file works a chunk of its first axis at a time, so that memory
stays bounded whatever the array's size; the chunk size depends on the pass.
"""

import mmap

import numpy as np

# A property array of at least this many bytes lives in a data file of its own beside
# the project (memory-mapped), never in the database.
MAPPED_BYTES = 32 << 20
# Copying an array, or computing a property from others, a chunk at a time.
COPY_CHUNK_BYTES = 32 << 20
# Traces an import reads and converts at a time: large, to read the file sequentially.
IMPORT_CHUNK_BYTES = 64 << 20
# Input bytes of the block one processing worker filters: an operation's temporaries take
# up to ~11 times as much (complex128 spectra), so two blocks in flight stay near 10 MB.
# Large enough that the per-block overhead vanishes (128 traces of 1000 samples).
PROCESS_BLOCK_BYTES = 512 << 10


def needs_data_file(nbytes):
    """Whether an array of `nbytes` bytes is stored in a data file rather than the database."""
    return int(nbytes) >= MAPPED_BYTES


def rows_per_chunk(shape, itemsize, chunk_bytes=COPY_CHUNK_BYTES):
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
