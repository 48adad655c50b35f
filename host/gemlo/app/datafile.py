"""Data files, as code written before gemlo.storage imports them."""

from gemlo.storage.chunks import COPY_CHUNK_BYTES as CHUNK_BYTES
from gemlo.storage.chunks import copy_chunked, drop_pages, rows_per_chunk
from gemlo.storage.datafile import HIDDEN, HIDDEN_PREFIX, DataFile, fsync_folder, pid_alive

__all__ = [
    "CHUNK_BYTES",
    "HIDDEN",
    "HIDDEN_PREFIX",
    "DataFile",
    "copy_chunked",
    "drop_pages",
    "fsync_folder",
    "pid_alive",
    "rows_per_chunk",
]
