"""ZMAP+ ASCII grids.

The format: comment lines ("!", or "+" as some writers put them anywhere; text
after "!" on a line too), then a header between a line starting with "@"
(grid name, "GRID", values per line) and a line holding only "@":
field width, null value, null text, decimals, start column; rows, columns,
x min, x max, y min, y max; three transform values. The values follow column by
column, west to east, each column from north to south and starting on a new line.
Header lines may end with a comma; values may touch, split by the field width.
"""

import os
from pathlib import Path

import numpy as np

from gemlo.errors import InputError
from gemlo.io.surface import Surface

HEADER_FIELDS = 14  # after the "@name, GRID, n" line
# A value within this share of the null value's size counts as null: writers round it.
NULL_TOLERANCE = 1e-6
# The longest line read: a grid's lines hold a few values each.
MAX_LINE = 64 << 10
# Whole lines that carry no data: comments, and "+" lines some writers put anywhere.
COMMENTS = ("!", "+")
COLUMNS_AT_ONCE = 1 << 18  # values formatted at once


ZmapError = InputError


def line_content(line):
    """The line without its comment and trailing comma, leading spaces kept (fixed-width
    values count from the line's start); None for a comment line."""
    text = line.rstrip()
    if text.lstrip().startswith(COMMENTS):
        return None
    if "!" in text:
        text = text.split("!", 1)[0].rstrip()
    # Some writers end every header line with a comma: no field follows it.
    return text[:-1].rstrip() if text.endswith(",") else text


def _fields(lines):
    return [f.strip() for line in lines for f in line.split(",")]


def _float(text, what, path):
    try:
        return float(text)
    except ValueError:
        raise ZmapError(path, f"the header's {what} is {text!r}, not a number") from None


def _int(text, what, path, least):
    try:
        value = int(text)
    except ValueError:
        raise ZmapError(path, f"the header's {what} is {text!r}, not a whole number") from None
    if value < least:
        raise ZmapError(path, f"the header's {what} is {value}, less than {least}")
    return value


def _numbers(texts):
    try:
        return [float(t) for t in texts]
    except ValueError:
        return None


def _values(text, width, start, number, path):
    """The numbers of one data line.

    Numbers that run together (a token wider than the header's field width, or one
    that is no number) are split by the field width, from the header's start column.
    """
    tokens = text.split()
    numbers = _numbers(tokens)
    if numbers is not None and (width == 0 or not tokens or max(map(len, tokens)) <= width):
        return numbers
    if width > 0:
        line = text[start - 1 :] if start > 1 else text
        fixed = _numbers(
            line[i : i + width] for i in range(0, len(line), width) if line[i : i + width].strip()
        )
        if fixed is not None:
            return fixed
    if numbers is not None:
        return numbers
    bad = next(t for t in tokens if _numbers([t]) is None)
    raise ZmapError(path, f"line {number}: {bad!r} is not a number")


def _header(lines, path):
    """(name, header fields, the number of the header's last line) from the file's lines."""
    first = None
    fields = []
    for number, line in lines:
        text = line_content(line)
        if not text:
            continue
        text = text.strip()
        if first is None:
            if not text.startswith("@"):
                raise ZmapError(path, "not a ZMAP+ grid (no header line starting with @)")
            first = _fields([text[1:]])
            kind = first[1].upper() if len(first) > 1 else ""
            if "POINT" in kind or kind.startswith("FREE"):
                raise ZmapError(
                    path,
                    f"a ZMAP+ file of points or polygons ({' '.join(first[1:2])}), "
                    "not a grid: only a grid makes a horizon",
                )
            if len(first) < 3 or kind != "GRID":
                raise ZmapError(path, "not a ZMAP+ grid (its first header line does not say GRID)")
            _int(first[2], "values per line", path, 1)
        elif text == "@":
            return first[0], fields, number
        else:
            fields.extend(_fields([text]))
            if len(fields) > 4 * HEADER_FIELDS:
                break  # no "@" in sight: not a header
    if first is None:
        raise ZmapError(path, "not a ZMAP+ grid (no header line starting with @)")
    raise ZmapError(path, "truncated: the header does not end with a line holding @")


def read_grid(path):
    """The Surface of the ZMAP+ file `path`; ZmapError says why when it cannot be read."""
    path = Path(path)
    if not path.is_file():
        raise ZmapError(path, "no such file")
    try:
        with open(path, encoding="ascii", errors="strict", newline=None) as fp:
            return _read(fp, path, os.fstat(fp.fileno()).st_size)
    except UnicodeDecodeError:
        raise ZmapError(path, "not a ZMAP+ grid (not an ASCII text file)") from None
    except OSError as error:
        raise ZmapError(path, error.strerror or str(error)) from None


def _lines(fp, path):
    """The file's lines, numbered; one longer than MAX_LINE is refused before it is split
    into values (a grid's lines hold a few values; a long one costs many times its size)."""
    number = 0
    while line := fp.readline(MAX_LINE + 1):
        number += 1
        if len(line) > MAX_LINE:
            raise ZmapError(path, f"line {number} is longer than {MAX_LINE} characters")
        yield number, line


def _read(fp, path, size):
    lines = _lines(fp, path)
    name, fields, _end = _header(lines, path)
    if len(fields) != HEADER_FIELDS:
        raise ZmapError(
            path, f"the header holds {len(fields)} fields where {HEADER_FIELDS} belong"
        )
    width = _int(fields[0] or "0", "field width", path, 0)
    null_text = fields[1] or fields[2]
    if not null_text:
        raise ZmapError(path, "the header gives no null value")
    null = _float(null_text, "null value", path)
    start = _int(fields[4] or "1", "start column", path, 1)
    rows = _int(fields[5], "row count", path, 2)
    columns = _int(fields[6], "column count", path, 2)
    x_min, x_max, y_min, y_max = (
        _float(fields[i], what, path)
        for i, what in zip(range(7, 11), ("x min", "x max", "y min", "y max"), strict=True)
    )
    if not (x_min < x_max and y_min < y_max):
        raise ZmapError(
            path,
            f"the header's extent x {x_min:g} to {x_max:g}, y {y_min:g} to {y_max:g} is empty",
        )
    expected = rows * columns
    # Every value takes a byte at least: a header claiming more than the file can hold
    # is refused before anything is allocated for it.
    if expected > size:
        raise ZmapError(
            path,
            f"the header's {rows} rows by {columns} columns make {expected} values, "
            f"more than the file's {size} bytes can hold",
        )
    values = np.empty(expected, dtype=np.float64)
    count = 0
    for number, line in lines:
        text = line_content(line)
        if not text:
            continue
        numbers = _values(text, width, start, number, path)
        if count + len(numbers) > expected:
            raise ZmapError(
                path,
                f"line {number}: more values than the header's {rows} rows by {columns} "
                f"columns make ({expected}): the header disagrees with the data",
            )
        values[count : count + len(numbers)] = numbers
        count += len(numbers)
    if count < expected:
        raise ZmapError(
            path,
            f"truncated: {count} values where the header's {rows} rows by "
            f"{columns} columns make {expected}",
        )
    # Column by column from the north: rows of the surface run from the south.
    z = values.reshape(columns, rows).T[::-1]
    z[np.abs(z - null) <= NULL_TOLERANCE * max(abs(null), 1.0)] = np.nan
    increments = ((x_max - x_min) / (columns - 1), (y_max - y_min) / (rows - 1))
    return Surface(name, np.ascontiguousarray(z), (x_min, y_min), increments, 0.0, null)


def _grid_text(z, x_range, y_range, name, null, per_line, progress=None):
    """The text of a ZMAP+ grid in parts: the header, then a batch of columns at a time."""
    z = np.asarray(z, dtype=float)
    rows, columns = z.shape
    finite = z[np.isfinite(z)]
    biggest = max(abs(null), float(np.abs(finite).max()) if finite.size else 0.0)
    # Room for the largest value and a space before it: numbers never touch.
    width = max(15, len(f"{-biggest:.4f}") + 1)
    yield (
        f"! written by gemlo\n@{name}, GRID, {per_line}\n"
        f"{width}, {null:g}, , 4, 1\n{rows}, {columns}, "
        f"{x_range[0]:.4f}, {x_range[1]:.4f}, {y_range[0]:.4f}, {y_range[1]:.4f}\n"
        "0.0, 0.0, 0.0\n@\n"
    )
    batch = max(1, COLUMNS_AT_ONCE // rows)
    for first in range(0, columns, batch):
        lines = []
        for column in z[:, first : first + batch].T.tolist():
            texts = [f"{v:{width}.4f}" if v == v else f"{null:{width}g}" for v in column]
            lines += ["".join(texts[i : i + per_line]) for i in range(0, rows, per_line)]
        yield "\n".join(lines) + "\n"
        if progress is not None:
            progress(min(first + batch, columns), columns)


def write_grid(fp, z, x_range, y_range, name="GRID", null=1e30, per_line=5):
    """Write `z` (row 0 north, column 0 west; NaN for nulls) as a ZMAP+ grid to the text `fp`."""
    for part in _grid_text(z, x_range, y_range, name, null, per_line):
        fp.write(part)


def write_surface(out, surface, progress=None, null=-99999.0, per_line=5):
    """Write the unrotated `surface` as a ZMAP+ grid to `out` (which takes bytes)."""
    rows, columns = surface.shape
    x0, y0 = surface.origin
    x_range = (x0, x0 + (columns - 1) * surface.xinc)
    y_range = (y0, y0 + (rows - 1) * surface.yinc)
    z = surface.values[::-1]  # the file runs from the north
    for part in _grid_text(z, x_range, y_range, surface.name, null, per_line, progress):
        out.write(part.encode("ascii"))


def command(args):
    """The import-zmap command: returns the exit status."""
    from gemlo.io import horizons

    return horizons.import_command(args, formats=("zmap",))
