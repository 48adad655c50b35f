"""A property of a cube out as a SEG-Y file, all or nothing.

A cube imported from SEG-Y goes out with the headers it came with (see
`SegyImport.kept`): its own samples in their own format give back the very file it
came from; another property of it (an attribute, a filter's or the calculator's
result) goes out with the same headers and its own samples, and positions that had no
trace stay without one. A cube from elsewhere gets headers made from its geometry:
inline and crossline numbers at bytes 189 and 193, CDP X and Y at 181 and 185 with
their scalar at 71, the sample count and interval in the binary and trace headers.

The file is written under no name and takes its name only when whole (OutputFile): a
failure, a cancel or a killed process leaves nothing, and an existing file as it was.
"""

import base64
import datetime
import errno
import os

import numpy as np

from gemlo.errors import Cancelled, InputError
from gemlo.io import cli, segycodec
from gemlo.io.outfile import OutputFile
from gemlo.io.segy import FORMATS, REFUSED_FORMATS, TRACE_HEADERS, TRACE_ORDER
from gemlo.jobs import Job
from gemlo.storage import mapped
from gemlo.storage.chunks import COPY_CHUNK_BYTES, drop_pages
from gemlo.storage.datafile import mapped_file
from gemlo.storage.errors import UnreadableObject
from gemlo.utils.convert_grid import ln2xy

CHUNK_BYTES = COPY_CHUNK_BYTES
# The format a property goes out in, by its values' type, when it is not its source's.
FORMAT_OF = {
    np.dtype(np.float32): 5,
    np.dtype(np.float64): 6,
    np.dtype(np.int32): 2,
    np.dtype(np.int16): 3,
    np.dtype(np.int8): 8,
    np.dtype(np.int64): 9,
    np.dtype(np.uint32): 10,
    np.dtype(np.uint16): 11,
    np.dtype(np.uint64): 12,
    np.dtype(np.uint8): 16,
}
# The range of the 3-byte formats, narrower than the int32 that holds them.
THREE_BYTES = {7: (-(2**23), 2**23 - 1), 15: (0, 2**24 - 1)}


class ExportError(InputError):
    """An export that cannot be done; the message names the file and the reason."""

    def __init__(self, path, reason):
        Exception.__init__(self, f"Cannot export {path}: {reason}")
        self.path, self.reason = str(path), reason


class ExportCancelled(Cancelled):
    """The user cancelled the export: no file was written."""


def _put(block, byte, values, kind):
    """Write `values` (one per row) as big-endian `kind` at 1-based `byte` of each row."""
    values = np.asarray(values).astype(">" + kind)
    block[:, byte - 1 : byte - 1 + values.itemsize] = values.view(np.uint8).reshape(len(block), -1)


def _scalar_for(values, limit, factors):
    """(scalar, integers): the first SEG-Y scalar of `factors` whose integers hold
    `values` exactly (to a millionth) within +-limit, else the last that fits."""
    values = np.asarray(values, dtype=np.float64)
    best = None
    for factor in factors:
        scaled = values * factor
        if np.abs(scaled).max(initial=0) >= limit:
            break
        best = (-factor if factor > 1 else 1), np.rint(scaled)
        if np.allclose(scaled, best[1], rtol=0, atol=1e-6):
            break
    return best


class _Rows:
    """Rows of `array` (as rows of `width` values) by their numbers. A memory map of a
    file is read from the file with one large read per run of consecutive rows: faulting
    its pages in through the map costs more than the copy, and a file cut short behind
    the map is then a short read, not SIGBUS. A cube in a cube store is read a box of
    inlines by crosslines at a time."""

    def __init__(self, array, width):
        self.cube = None if isinstance(array, np.ndarray) else array
        self.rows = None if self.cube is not None else array.reshape(-1, width)
        self.row_bytes = width * array.dtype.itemsize
        self.fd, self._own = None, False
        if self.cube is not None or not array.flags.c_contiguous:
            return
        # The descriptor kept with the map (read-only maps have no file name), else
        # the mapped file opened again.
        found = mapped.source(array)
        if found is not None:
            self.fd, self.offset = found
        elif mapped_file(array) is not None:
            try:
                self.fd, self.offset = os.open(array.filename, os.O_RDONLY), array.offset
            except OSError:
                return  # read through the map
            self._own = True
        else:
            return
        os.posix_fadvise(self.fd, 0, 0, os.POSIX_FADV_SEQUENTIAL)

    def read(self, numbers):
        if self.cube is not None:
            i, j = np.divmod(numbers, self.cube.shape[1])
            i0, j0 = int(i.min()), int(j.min())
            box = self.cube.read((slice(i0, int(i.max()) + 1), slice(j0, int(j.max()) + 1)))
            return np.ascontiguousarray(box[i - i0, j - j0])
        if numbers[-1] - numbers[0] == len(numbers) - 1 and np.all(np.diff(numbers) == 1):
            numbers = slice(int(numbers[0]), int(numbers[-1]) + 1)
        if self.fd is None:
            return np.ascontiguousarray(self.rows[numbers])
        if isinstance(numbers, slice):
            starts, ends, first = [0], [numbers.stop - numbers.start], [numbers.start]
        else:
            breaks = np.flatnonzero(np.diff(numbers) != 1) + 1
            starts, ends = np.r_[0, breaks], np.r_[breaks, len(numbers)]
            first = numbers[starts]
        out = np.empty((ends[-1], self.rows.shape[1]), self.rows.dtype)
        view = memoryview(out).cast("B")
        for a, b, row in zip(starts, ends, first, strict=True):
            mapped.read_full(
                self.fd,
                view[int(a) * self.row_bytes : int(b) * self.row_bytes],
                self.offset + int(row) * self.row_bytes,
                lambda: OSError(errno.EIO, "a data file of the project ended early"),
            )
        return out

    def close(self):
        if self._own:
            os.close(self.fd)
        self.fd, self._own = None, False


def _text_header(lines):
    """40 card images of 80 characters, "C 1 " to "C40 ", in EBCDIC."""
    cards = [f"C{n:2d} {text}"[:80].ljust(80) for n, text in enumerate(lines[:40], 1)]
    cards += [f"C{n:2d}".ljust(80) for n in range(len(cards) + 1, 41)]
    return "".join(cards).encode("cp037", "replace")


class SegyExport(Job):
    """The export of the property `prop` of the cube `dob`, stored in `database`, to
    `path`; `fmt` is the sample format code (default: the source's for its own type of
    values, else the one that holds the property's type exactly).

    Refused (ExportError) here, before anything is written. `done` and `total` count
    traces; `write()` may run on any thread, which may call `cancel()`.
    """

    def __init__(
        self, database, dob, prop, path, fmt=None, chunk_bytes=CHUNK_BYTES, progress=None
    ):
        self.path = os.path.abspath(os.fspath(path))
        self.chunk_bytes, self.progress = chunk_bytes, progress
        self.done = 0
        Job.__init__(self)
        if dob.prop_array_key != "array3d":
            self._refuse(f"{dob.name!r} is not a cube")
        if prop not in dob.prop:
            self._refuse(
                f"{dob.name!r} has no property {prop!r} (it has {', '.join(map(repr, dob.prop))})"
            )
        self.dob, self.prop = dob, prop
        self.values = dob.array(prop)
        if self.values.ndim != 3 or 0 in self.values.shape:
            self._refuse(f"the property {prop!r} of {dob.name!r} is not a cube of samples")
        n_il, n_xl, self.samples = self.values.shape
        self.kept = dob.meta.get("segy")
        if not isinstance(self.kept, dict):
            self.kept = None
        if self.kept and TRACE_HEADERS not in database.attached_names(dob.name):
            self.kept = None  # saved over by an object without them: made ones will do
        if self.kept:
            self._keep(database)
        else:
            self._make(database)
        self.format = int(fmt or self._default_format())
        if self.format not in FORMATS:
            known = ", ".join(str(f) for f in FORMATS)
            what = REFUSED_FORMATS.get(self.format, "not a sample format")
            self._refuse(f"sample format {self.format} ({what}); formats {known} are written")
        self.dtype = np.dtype(FORMATS[self.format][1])
        self.trace_bytes = 240 + self.samples * segycodec.sample_bytes(self.format)
        self.total = len(self.rows)
        self.size = 3600 + len(self._extended) + self.total * self.trace_bytes

    def _refuse(self, reason):
        raise ExportError(self.path, reason)

    def _default_format(self):
        if self.kept and FORMATS[self.kept["format"]][1] == self.values.dtype:
            return self.kept["format"]
        if self.values.dtype not in FORMAT_OF:
            self._refuse(f"its values are {self.values.dtype}, which no SEG-Y format holds")
        return FORMAT_OF[self.values.dtype]

    # Headers kept from the import

    def _keep(self, database):
        kept, (n_il, n_xl, _ns) = self.kept, self.values.shape
        try:
            self.headers = database.load_attached(self.dob.name, TRACE_HEADERS)
            order = database.load_attached(self.dob.name, TRACE_ORDER)
        except (KeyError, UnreadableObject) as error:
            self._refuse(f"the SEG-Y headers kept with {self.dob.name!r}: {error}")
        if self.headers.shape != (n_il, n_xl, 240) or order.shape != (n_il, n_xl):
            self._refuse(
                f"the trace headers kept with {self.dob.name!r} are shaped {self.headers.shape} "
                f"and {order.shape}, not for the {n_il} by {n_xl} traces of {self.prop!r}"
            )
        try:
            self._head = bytearray(
                base64.b64decode(kept["textual"], validate=True)
                + base64.b64decode(kept["binary"], validate=True)
            )
            self._extended = base64.b64decode(kept["extended"], validate=True)
            self.big_endian = kept["big_endian"]
            if (
                kept["format"] not in FORMATS
                or not isinstance(self.big_endian, bool)
                or len(self._head) != 3600
                or len(self._extended) % 3200
            ):
                raise ValueError
        except (KeyError, TypeError, ValueError):
            self._refuse(f"the record of the SEG-Y headers kept with {self.dob.name!r} is damaged")
        flat = np.asarray(order).reshape(-1)
        present = np.flatnonzero(flat >= 0)
        # Positions in the order their traces had in the file.
        self.rows = present[np.argsort(flat[present], kind="stable")]

    # Headers made from the geometry

    def _make(self, database):
        meta, (n_il, n_xl, ns) = self.dob.meta, self.values.shape
        self.big_endian = True
        self.headers = None
        self.rows = np.arange(n_il * n_xl)
        try:
            self.il0, self.xl0 = int(meta.get("il0", 1)), int(meta.get("xl0", 1))
            self.il_step, self.xl_step = int(meta.get("il_step", 1)), int(meta.get("xl_step", 1))
            dz, z0 = float(meta.get("dz", 1.0)), float(meta.get("z0", 0.0))
            if not (np.isfinite(z0) and np.isfinite(dz)):
                raise ValueError
        except (TypeError, ValueError, OverflowError):
            self._refuse(f"the geometry recorded with {self.dob.name!r} is damaged")
        self.n_xl = n_xl
        unit = meta.get("z_unit", "ms")
        interval = round(dz * 1000)
        if not 0 < interval <= 65535 or abs(interval - dz * 1000) > 1e-6 * interval:
            self._refuse(
                f"its sample interval of {dz:g} {unit} is not a whole number of thousandths "
                "from 1 to 65535, as SEG-Y stores it"
            )
        if ns > 65535:
            self._refuse(f"its {ns} samples per trace are more than SEG-Y's 65535")
        self.interval = interval
        self.time_scalar, delay = _scalar_for([z0], 2**15, (1, 10, 100, 1000))
        self.delay = int(delay[0])
        self.survey = database.load_survey()[0]
        corners = self._lines(np.array([0, n_xl - 1, (n_il - 1) * n_xl, n_il * n_xl - 1]))
        xy = ln2xy(corners.astype(np.float64), survey=self.survey) if self.survey else corners
        found = _scalar_for(xy, 2**31 - 1, (1, 10, 100))
        if found is None:
            self._refuse("its coordinates are too large for SEG-Y's 4-byte integers")
        self.coordinate_scalar = found[0]
        il1, xl1 = self.il0, self.xl0
        il2, xl2 = il1 + (n_il - 1) * self.il_step, xl1 + (n_xl - 1) * self.xl_step
        now = datetime.datetime.now().isoformat(timespec="seconds")
        self._text = [
            f"gemlo SEG-Y export of the property {self.prop} of the cube {self.dob.name}",
            f"project {database.path}"[:76],
            f"written {now}",
            f"inlines {il1} to {il2} step {self.il_step} ({n_il})",
            f"crosslines {xl1} to {xl2} step {self.xl_step} ({n_xl})",
            f"{ns} samples, interval {dz:g} {unit}, first at {z0:g} {unit}",
            "sample format {format}, big-endian",
            "inline number bytes 189-192, crossline number bytes 193-196",
            "CDP X bytes 181-184, CDP Y bytes 185-188, their scalar bytes 71-72",
            (
                f"coordinates of the survey {self.survey.name}"
                if self.survey
                else "no survey: X and Y are the line numbers"
            ),
            *[""] * 28,
            "SEG Y REV1",
            "END TEXTUAL HEADER",
        ]
        binary = bytearray(400)
        for offset, value in ((12, 1), (16, interval), (20, ns), (26, 1), (28, 4)):
            binary[offset : offset + 2] = int(value).to_bytes(2, "big")
        binary[300:304] = b"\x01\x00\x00\x01"  # revision 1.0, fixed-length traces
        self._head = bytearray(3200) + binary
        self._extended = b""

    def _lines(self, rows):
        """(inline, crossline) numbers of positions (row-major indices)."""
        i, j = np.divmod(rows, self.n_xl)
        return np.column_stack([self.il0 + i * self.il_step, self.xl0 + j * self.xl_step])

    def _made_headers(self, rows):
        lines = self._lines(rows)
        block = np.zeros((len(rows), 240), np.uint8)
        number = rows + 1
        for byte in (1, 5, 21):
            _put(block, byte, number, "i4")
        _put(block, 29, np.ones(len(rows)), "i2")
        _put(block, 71, np.full(len(rows), self.coordinate_scalar), "i2")
        _put(block, 109, np.full(len(rows), self.delay), "i2")
        _put(block, 115, np.full(len(rows), self.samples), "u2")
        _put(block, 117, np.full(len(rows), self.interval), "u2")
        _put(block, 215, np.full(len(rows), self.time_scalar), "i2")
        if self.survey is not None:
            xy = ln2xy(lines.astype(np.float64), survey=self.survey)
            factor = 1 / -self.coordinate_scalar if self.coordinate_scalar < 0 else 1
            xy = np.rint(xy / factor)
            _put(block, 181, xy[:, 0], "i4")
            _put(block, 185, xy[:, 1], "i4")
        _put(block, 189, lines[:, 0], "i4")
        _put(block, 193, lines[:, 1], "i4")
        return block

    # Writing (any thread)

    def _convert(self, values):
        """The samples as the format's own type: rounded and clipped to its range when
        they are floats going into integers (NaN becomes 0)."""
        lo_hi = THREE_BYTES.get(self.format)
        if values.dtype == self.dtype and lo_hi is None:
            return values
        if self.dtype.kind in "iu":
            info = np.iinfo(self.dtype)
            lo, hi = lo_hi or (info.min, info.max)
            if values.dtype.kind == "f":
                values = np.nan_to_num(np.rint(values), nan=0.0)
                # Bounds as floats that the type holds: clipping at 2**63 would overflow.
                lo, hi = np.nextafter(float(lo), 0.0), np.nextafter(float(hi), 0.0)
            values = np.clip(values, lo, hi)
        return np.ascontiguousarray(values, dtype=self.dtype)

    def work(self):
        self.write()

    def write(self):
        """Write the file; raises ExportError (the reason), ExportCancelled."""
        head = self._head
        if not self.kept:
            name = FORMATS[self.format][0]
            lines = [line.replace("{format}", f"{self.format} ({name})") for line in self._text]
            head[:3200] = _text_header(lines)
        head[3224:3226] = self.format.to_bytes(2, "big" if self.big_endian else "little")
        head = bytes(head) + self._extended
        values = _Rows(self.values, self.samples)
        headers = None if self.headers is None else _Rows(self.headers, 240)
        # Rows of the files themselves, read into place and encoded there, when no
        # conversion is needed; else a block at a time through numpy.
        direct = (
            headers is not None
            and headers.fd is not None
            and values.fd is not None
            and self.values.dtype == self.dtype
            and self.format not in THREE_BYTES
        )
        try:
            with OutputFile(self.path) as out:
                out.reserve(self.size)
                if direct:
                    whole = segycodec.export_traces(
                        out.fileno(),
                        head,
                        self.format,
                        self.big_endian,
                        self.samples,
                        self.rows,
                        (headers.fd, headers.offset),
                        (values.fd, values.offset),
                        max(1, self.chunk_bytes // (4 * self.trace_bytes)),  # 4 in memory
                        self._chunk_done,
                    )
                else:
                    out.write(head)
                    whole = self._blocks(out.fileno(), len(head), values, headers)
                if not whole:
                    raise ExportCancelled(f"Export of {self.path} cancelled")
                out.commit()
        except OSError as error:
            where = error.filename or os.path.dirname(self.path)
            reason = error.strerror or str(error)
            self._refuse(f"writing it failed: {reason} ({where})" if error.filename else reason)
        except RuntimeError as error:
            self._refuse(f"reading {self.prop!r} of {self.dob.name!r} failed: {error}")
        finally:
            values.close()
            if headers is not None:
                headers.close()

    def _blocks(self, fd, offset, values, headers):
        """Write the traces a block at a time, converted and made as needed; whether all."""
        rows_per = max(
            1,
            self.chunk_bytes
            // (self.samples * (self.values.dtype.itemsize + self.dtype.itemsize) + 480),
        )
        for a in range(0, self.total, rows_per):
            rows = self.rows[a : a + rows_per]
            segycodec.write_traces(
                fd,
                offset,
                self.format,
                self.big_endian,
                self._made_headers(rows) if headers is None else headers.read(rows),
                self._convert(values.read(rows)),
            )
            offset += len(rows) * self.trace_bytes
            for array in (self.values, self.headers):
                drop_pages(array)  # read through the map when not from its file
            if not self._chunk_done(a + len(rows)):
                return False
        return True


def default_property(dob):
    """The property an export takes when none is named: the object's first."""
    return next(iter(dob.prop))


def export_command(args):
    """The export-segy command: returns the exit status."""
    from gemlo.storage.database import ProjectDatabase

    def work():
        database = ProjectDatabase.open(args.project)
        try:
            try:
                dob = database.load_object(args.object)
            except KeyError:
                names = ", ".join(map(repr, database.object_names())) or "none"
                raise ExportError(
                    args.out, f"{args.project} holds no object {args.object!r} (it holds {names})"
                ) from None
            prop = args.property or default_property(dob)
            job = SegyExport(database, dob, prop, args.out, args.format)
            job.progress = cli.tenths(job.path, "traces", cli.say)
            job.write()
        finally:
            database.close()
        cli.say(f"Wrote {job.path}")

    out = os.path.abspath(args.out)
    return cli.run(work, f"Export to {out} interrupted; nothing was written")


def add_parser(commands):
    """The export-segy command's arguments."""
    parser = commands.add_parser(
        "export-segy",
        help="write a cube's property as a SEG-Y file",
        description="Write the property of the cube OBJECT of PROJECT as the SEG-Y file OUT: "
        "with the headers it was imported with, or with headers made from its geometry.",
    )
    parser.add_argument("project", metavar="PROJECT", help="the project file")
    parser.add_argument("object", metavar="OBJECT", help="the cube's name")
    parser.add_argument("out", metavar="OUT", help="the SEG-Y file to write")
    parser.add_argument(
        "--property", metavar="NAME", help="the property to write (default: the cube's first)"
    )
    parser.add_argument(
        "--format",
        type=int,
        metavar="CODE",
        help="sample format code: 1 IBM float, 2 int32, 3 int16, 5 IEEE float, 8 int8, ... "
        "(default: the source's, or the one that holds the values exactly)",
    )
    return parser
