"""IRAP classic grids, ASCII and binary: the map grids interpreters exchange horizons in.

ASCII: "-996 ny xinc yinc", "xmin xmax ymin ymax", "nx rotation xori yori", seven
zeros, then the values row by row (x fastest) from the origin's row, any number
to a line. Binary: the same header as Fortran sequential records, big-endian, of
32 bytes (-996, ny, xori, xmax, yori, ymax, xinc, yinc), 16 bytes (nx, rotation,
xori, yori) and 28 bytes (seven words), then records of float32 values in the
same order. A node holding 9999900 or more is null; nulls are written as 9999900
in ASCII and as 1e30 in binary, as xtgeo and the programs it follows expect them.
The rotation turns the grid about its origin, in degrees anticlockwise.
"""

import itertools
import os
from pathlib import Path

import numpy as np

from gemlo.errors import InputError
from gemlo.io.surface import Surface

MAGIC = -996
NULL = 9999900.0  # and every value above it
BINARY_NULL = 1e30
HEADER_RECORDS = (32, 16, 28)  # bytes
ASCII_PER_LINE = 6
ROWS_AT_ONCE = 4096  # rows written at once


IrapError = InputError


def _nulled(values):
    values[~(values < NULL * (1 - 1e-7))] = np.nan  # NaN and infinities too
    return values


def _check(path, ny, nx, xinc, yinc, rotation, origin, size, per_value):
    for what, count in (("column count (nx)", nx), ("row count (ny)", ny)):
        if count < 2:
            raise IrapError(path, f"the header's {what} is {count}, less than 2")
    numbers = {"x increment": xinc, "y increment": yinc, "rotation": rotation}
    numbers.update({"x origin": origin[0], "y origin": origin[1]})
    for what, value in numbers.items():
        if not np.isfinite(value):
            raise IrapError(path, f"the header's {what} is {value}")
    if xinc <= 0 or yinc == 0:
        raise IrapError(
            path, f"the header's increments ({xinc:g}, {yinc:g}) make no grid: x must be above 0"
        )
    # Every value takes this many bytes at least: a header claiming more than the
    # file can hold is refused before anything is allocated for it.
    if nx * ny * per_value > size:
        raise IrapError(
            path,
            f"the header's {nx} by {ny} nodes make {nx * ny} values, more than the "
            f"file's {size} bytes can hold",
        )


# ASCII


def _numbers(line, number, path):
    try:
        return [float(t) for t in line.split()]
    except ValueError:
        bad = next(t for t in line.split() if not _is_number(t))
        raise IrapError(path, f"line {number}: {bad!r} is not a number") from None


def _is_number(text):
    try:
        float(text)
    except ValueError:
        return False
    return True


def _header(lines, path):
    """The 19 numbers of the header, those that follow them on its last line, its number."""
    header = []
    for number, line in lines:
        header += _numbers(line, number, path)
        if len(header) >= 19:
            return header[:19], header[19:], number
    raise IrapError(path, "truncated: the file ends within the header")


def _whole(value, what, path):
    if not np.isfinite(value) or value != int(value):
        raise IrapError(path, f"the header's {what} is {value:g}, not a whole number")
    return int(value)


def read_ascii(path):
    """Read the IRAP classic ASCII grid `path` into a Surface."""
    path = Path(path)
    try:
        with open(path, encoding="ascii", errors="strict") as fp:
            return _read_ascii(fp, path, os.fstat(fp.fileno()).st_size)
    except UnicodeDecodeError:
        raise IrapError(path, "not an IRAP ASCII grid (not an ASCII text file)") from None
    except OSError as error:
        raise IrapError(path, error.strerror or str(error)) from None


def _read_ascii(fp, path, size):
    lines = enumerate(fp, 1)
    header, first, last = _header(lines, path)
    if header[0] != MAGIC:
        raise IrapError(path, f"not an IRAP ASCII grid (it starts with {header[0]:g}, not -996)")
    ny = _whole(header[1], "row count (ny)", path)
    nx = _whole(header[8], "column count (nx)", path)
    xinc, yinc, rotation, xori, yori = header[2], header[3], header[9], header[10], header[11]
    _check(path, ny, nx, xinc, yinc, rotation, (xori, yori), size, 2)
    values = np.empty(nx * ny, dtype=np.float64)
    count = 0
    data = ((number, _numbers(line, number, path)) for number, line in lines)
    for number, numbers in itertools.chain([(last, first)], data):
        if count + len(numbers) > values.size:
            raise IrapError(
                path,
                f"line {number}: more values than the header's {nx} by {ny} nodes: "
                "the header disagrees with the data",
            )
        values[count : count + len(numbers)] = numbers
        count += len(numbers)
    if count < values.size:
        raise IrapError(
            path, f"truncated: {count} values where the header's {nx} by {ny} nodes make {nx * ny}"
        )
    values = _nulled(values.reshape(ny, nx))
    return Surface(path.stem, values, (xori, yori), (xinc, yinc), rotation % 360.0, NULL)


def _header_numbers(surface):
    ny, nx = surface.shape
    xori, yori = surface.origin
    xmax = xori + (nx - 1) * surface.xinc
    ymax = yori + (ny - 1) * surface.yinc
    return ny, nx, xori, yori, xmax, ymax


def write_ascii(out, surface, progress=None):
    """Write `surface` as an IRAP classic ASCII grid to `out` (which takes bytes)."""
    ny, nx, xori, yori, xmax, ymax = _header_numbers(surface)
    out.write(
        (
            f"{MAGIC} {ny} {surface.xinc!r} {surface.yinc!r}\n"
            f"{xori!r} {xmax!r} {yori!r} {ymax!r}\n"
            f"{nx} {surface.rotation!r} {xori!r} {yori!r}\n"
            "0  0  0  0  0  0  0\n"
        ).encode("ascii")
    )
    flat = surface.values.reshape(-1)
    step = ROWS_AT_ONCE * nx // ASCII_PER_LINE * ASCII_PER_LINE
    for start in range(0, flat.size, step):
        chunk = np.where(np.isfinite(flat[start : start + step]), flat[start : start + step], NULL)
        texts = [f"{v:f}" for v in chunk.tolist()]
        lines = (
            " ".join(texts[i : i + ASCII_PER_LINE]) for i in range(0, len(texts), ASCII_PER_LINE)
        )
        out.write(("\n".join(lines) + "\n").encode("ascii"))
        if progress is not None:
            progress(min(start + step, flat.size) // nx, ny)


# Binary


class _Records:
    """The Fortran sequential records of a file, read one at a time."""

    def __init__(self, fp, path, order):
        self.fp, self.path, self.order = fp, path, order
        self.marker = np.dtype(f"{order}i4")

    def next(self, what):
        """The bytes of the next record; None at the end of the file."""
        head = self.fp.read(4)
        if not head:
            return None
        if len(head) < 4:
            raise IrapError(self.path, f"truncated: the file ends within the {what}")
        length = int(np.frombuffer(head, self.marker)[0])
        data = self.fp.read(length) if length >= 0 else b""
        tail = self.fp.read(4)
        if length < 0 or len(data) < length or len(tail) < 4:
            raise IrapError(self.path, f"truncated: the file ends within the {what}")
        if int(np.frombuffer(tail, self.marker)[0]) != length:
            raise IrapError(
                self.path, f"the {what} is damaged: its record ends with a different length"
            )
        return data


def binary_order(start):
    """The byte order (">", "<") of an IRAP binary grid starting with `start`; None if none."""
    for order in (">", "<"):
        if len(start) >= 8 and tuple(np.frombuffer(start[:8], f"{order}i4")) == (32, MAGIC):
            return order
    return None


def read_binary(path):
    """Read the IRAP binary grid `path` into a Surface."""
    path = Path(path)
    try:
        with open(path, "rb") as fp:
            return _read_binary(fp, path, os.fstat(fp.fileno()).st_size)
    except OSError as error:
        raise IrapError(path, error.strerror or str(error)) from None


def _read_binary(fp, path, size):
    order = binary_order(fp.read(8))
    if order is None:
        raise IrapError(path, "not an IRAP binary grid (no -996 header record)")
    fp.seek(0)
    records = _Records(fp, path, order)
    header = []
    for number, length in enumerate(HEADER_RECORDS, 1):
        data = records.next(f"header record {number}")
        if data is None:
            raise IrapError(path, f"truncated: the file ends before header record {number}")
        if len(data) != length:
            raise IrapError(
                path, f"header record {number} holds {len(data)} bytes where {length} belong"
            )
        header.append(data)
    ny = int(np.frombuffer(header[0][4:8], f"{order}i4")[0])
    _xori, _xmax, _yori, _ymax, xinc, yinc = np.frombuffer(header[0][8:], f"{order}f4").tolist()
    nx = int(np.frombuffer(header[1][:4], f"{order}i4")[0])
    rotation, xori, yori = np.frombuffer(header[1][4:], f"{order}f4").tolist()
    _check(path, ny, nx, xinc, yinc, rotation, (xori, yori), size, 4)
    values = np.empty(nx * ny, dtype=np.float64)
    count = 0
    while count < values.size:
        data = records.next("values")
        if data is None:
            break
        if len(data) % 4 or count + len(data) // 4 > values.size:
            raise IrapError(
                path,
                f"a record of {len(data)} bytes after {count} values does not fit the "
                f"header's {nx} by {ny} nodes of 4 bytes",
            )
        values[count : count + len(data) // 4] = np.frombuffer(data, f"{order}f4")
        count += len(data) // 4
    if count < values.size:
        raise IrapError(
            path, f"truncated: {count} values where the header's {nx} by {ny} nodes make {nx * ny}"
        )
    if fp.read(1):
        raise IrapError(path, f"more data after the header's {nx} by {ny} nodes")
    values = _nulled(values.reshape(ny, nx))
    # The header's coordinates are 4-byte floats: as far off as their last bit.
    precision = float(np.spacing(np.float32(max(abs(xori), abs(yori)))))
    return Surface(
        path.stem, values, (xori, yori), (xinc, yinc), rotation % 360.0, NULL, precision
    )


def _record(data):
    marker = np.array([len(data)], ">i4").tobytes()
    return marker + data + marker


def write_binary(out, surface, progress=None):
    """Write `surface` as a big-endian IRAP binary grid to `out` (which takes bytes).

    The header's coordinates are 4-byte floats, as the format has them.
    """
    ny, nx, xori, yori, xmax, ymax = _header_numbers(surface)
    floats = np.array([xori, xmax, yori, ymax, surface.xinc, surface.yinc], ">f4")
    out.write(_record(np.array([MAGIC, ny], ">i4").tobytes() + floats.tobytes()))
    out.write(
        _record(
            np.array([nx], ">i4").tobytes()
            + np.array([surface.rotation, xori, yori], ">f4").tobytes()
        )
    )
    out.write(_record(np.zeros(7, ">i4").tobytes()))
    for start in range(0, ny, ROWS_AT_ONCE):
        rows = surface.values[start : start + ROWS_AT_ONCE]
        rows = np.where(np.isfinite(rows), rows, BINARY_NULL).astype(">f4")
        out.write(b"".join(_record(row.tobytes()) for row in rows))
        if progress is not None:
            progress(start + len(rows), ny)
