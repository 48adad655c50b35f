"""
SEG-Y trace headers and samples, read and decoded in C++ without the GIL.
"""
from __future__ import annotations
import collections.abc
import numpy
import numpy.typing
import typing
__all__: list[str] = ['copy_traces', 'export_traces', 'read_headers', 'sample_bytes', 'write_traces']
def copy_traces(in_fd: typing.SupportsInt | typing.SupportsIndex, first: typing.SupportsInt | typing.SupportsIndex, trace_bytes: typing.SupportsInt | typing.SupportsIndex, samples: typing.SupportsInt | typing.SupportsIndex, format: typing.SupportsInt | typing.SupportsIndex, big_endian: bool, out_fd: typing.SupportsInt | typing.SupportsIndex, out_offset: typing.SupportsInt | typing.SupportsIndex, rows: typing.Annotated[numpy.typing.ArrayLike, numpy.int64], iline_field: tuple[typing.SupportsInt | typing.SupportsIndex, typing.SupportsInt | typing.SupportsIndex], xline_field: tuple[typing.SupportsInt | typing.SupportsIndex, typing.SupportsInt | typing.SupportsIndex], ilines: typing.Annotated[numpy.typing.ArrayLike, numpy.int32], xlines: typing.Annotated[numpy.typing.ArrayLike, numpy.int32], chunk_traces: typing.SupportsInt | typing.SupportsIndex, progress: collections.abc.Callable[[int], bool] = None, header_fd: typing.SupportsInt | typing.SupportsIndex = -1, header_offset: typing.SupportsInt | typing.SupportsIndex = 0) -> bool:
    """
    Decode every trace into row rows[t] of the array at `out_offset` in `out_fd`, checking that it still holds ilines[t], xlines[t]; one thread reads ahead while this one decodes and writes. progress(done) runs after each chunk; when it returns False the copy stops and returns False. OSError on an I/O error, RuntimeError when the file no longer holds what the scan found. With `header_fd`, each trace's 240 header bytes go to row rows[t] of the byte array at `header_offset` in that file.
    """
def export_traces(out_fd: typing.SupportsInt | typing.SupportsIndex, head: bytes, format: typing.SupportsInt | typing.SupportsIndex, big_endian: bool, samples: typing.SupportsInt | typing.SupportsIndex, rows: typing.Annotated[numpy.typing.ArrayLike, numpy.int64], headers: tuple[typing.SupportsInt | typing.SupportsIndex, typing.SupportsInt | typing.SupportsIndex], values: tuple[typing.SupportsInt | typing.SupportsIndex, typing.SupportsInt | typing.SupportsIndex], chunk_traces: typing.SupportsInt | typing.SupportsIndex, progress: collections.abc.Callable[[int], bool] = None) -> bool:
    """
    Write the whole file from its start: `head` (the file's headers), then a trace per entry of `rows`: that row of the 240-byte rows at headers = (fd, offset), then that row of the samples at values = (fd, offset) (the type decoding gives for `format`) encoded; read, encoded and written without the GIL, one thread writing while the next chunk is read, past the page cache where the file system allows. progress(done) runs after each chunk; when it returns False the export stops and returns False. ValueError for the 3-byte formats, OSError on an I/O error, RuntimeError when a source file ends early.
    """
def read_headers(fd: typing.SupportsInt | typing.SupportsIndex, first: typing.SupportsInt | typing.SupportsIndex, trace_bytes: typing.SupportsInt | typing.SupportsIndex, count: typing.SupportsInt | typing.SupportsIndex, big_endian: bool, fields: collections.abc.Sequence[tuple[typing.SupportsInt | typing.SupportsIndex, typing.SupportsInt | typing.SupportsIndex]]) -> list[numpy.typing.NDArray[numpy.int32]]:
    """
    The header words `fields` ((0-based offset, width 2 or 4), ...) of every trace, one int32 array per field, read in large blocks from the descriptor `fd`.
    """
def sample_bytes(format: typing.SupportsInt | typing.SupportsIndex) -> int:
    """
    Bytes one sample of `format` takes in the file; 0 when it holds no plain numbers.
    """
def write_traces(fd: typing.SupportsInt | typing.SupportsIndex, offset: typing.SupportsInt | typing.SupportsIndex, format: typing.SupportsInt | typing.SupportsIndex, big_endian: bool, headers: numpy.ndarray, values: numpy.ndarray) -> None:
    """
    Write traces at `offset` in `fd`: row t of `headers` ((traces, 240) bytes) then row t of `values` ((traces, samples), the type decoding gives for `format`) encoded in `format` and byte order, encoded and written without the GIL. OSError on a write error.
    """
