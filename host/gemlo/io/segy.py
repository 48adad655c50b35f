"""Post-stack 3-D SEG-Y cubes into memory-mapped project data.

An import is three steps, so that the long one can run on a worker thread
while the project database stays on the thread that owns it:

1. `SegyImport(path, folder, name, survey)` reads the headers of every trace and
   checks the geometry (and, given the project's survey, that the cube lies on it);
2. `prepare(database)` makes the project's new data file (unnamed until stored), and
   `copy()` writes the samples into it, decoded in C++ (`gemlo.io.segycodec`) in
   chunks of bounded size; it can be cancelled;
3. `commit(database)` stores the object with that file as its property, and the
   survey if the project has none, in one transaction; the property array is a
   read-write memory map of the file.

A failure, a cancel or a killed process at any step leaves the project and its folder
as they were. `SegyScan` is the first step alone: what an import would do, or why it
would refuse.
"""

import base64
import os
import sys
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from gemlo.errors import Cancelled, InputError
from gemlo.io import cli, segycodec
from gemlo.jobs import Job
from gemlo.model.dataobject import DataObject
from gemlo.model.naming import free_name
from gemlo.storage import newproject
from gemlo.storage.chunks import IMPORT_CHUNK_BYTES
from gemlo.storage.datafile import DataFile
from gemlo.utils import surveycalc
from gemlo.utils.convert_grid import Survey, ln2xy

# Fixed trace header words (1-based byte, width), as the standard places them.
COORD_SCALAR, DELAY, TIME_SCALAR, TRACE_SAMPLES, TRACE_INTERVAL = 71, 109, 215, 115, 117

# Sample format code: (what it is, the numpy type that holds each of its values exactly).
FORMATS = {
    1: ("4-byte IBM float", np.float32),
    2: ("4-byte integer", np.int32),
    3: ("2-byte integer", np.int16),
    5: ("4-byte IEEE float", np.float32),
    6: ("8-byte IEEE float", np.float64),
    7: ("3-byte integer", np.int32),
    8: ("1-byte integer", np.int8),
    9: ("8-byte integer", np.int64),
    10: ("4-byte unsigned integer", np.uint32),
    11: ("2-byte unsigned integer", np.uint16),
    12: ("8-byte unsigned integer", np.uint64),
    15: ("3-byte unsigned integer", np.uint32),
    16: ("1-byte unsigned integer", np.uint8),
}
REFUSED_FORMATS = {4: "4-byte fixed point with gain"}

# How far (as a share of the smaller bin) a trace may lie from the grid, beyond what the
# rounding of its coordinates (the unit their scalar gives) moves it.
TOLERANCE = 0.1
# A corner trace within this share of the bin of the fit through all traces anchors the
# survey; one farther off (coordinates rounded to whole metres, say) does not.
ANCHOR = 0.001
# A grid of line numbers with more than this many positions per trace is not a survey's.
MAX_POSITIONS_PER_TRACE = 4
# Traces whose positions are checked first, before every trace header is read: a file
# of millions of traces that share positions (a sparse one of zeros, say) is refused
# at once, in little memory.
EARLY_TRACES = 1 << 20
END_STANZA = "((SEG: EndText))"
# The data files an imported cube keeps beside its samples (see SegyImport.kept).
TRACE_HEADERS, TRACE_ORDER = "segy-trace-headers", "segy-trace-order"


SegyError = InputError
ImportCancelled = Cancelled


@dataclass(frozen=True)
class HeaderBytes:
    """Where a trace header keeps its inline and crossline numbers and its X and Y
    (1-based byte positions of 4-byte integers, as the standard counts them)."""

    iline: int = 189
    xline: int = 193
    cdpx: int = 181
    cdpy: int = 185

    def check(self):
        for name, byte in vars(self).items():
            if not 1 <= byte <= 237:
                raise ValueError(
                    f"--{name} {byte}: a 4-byte header word starts at a byte from 1 to 237"
                )
        return self


def _scaled(value, scalar):
    """Apply a SEG-Y scalar: positive multiplies, negative divides, zero means one. Dividing
    keeps -100 exact where multiplying by 0.01 would not."""
    value = np.asarray(value, dtype=np.float64)
    scalar = np.asarray(scalar, dtype=np.float64)
    return np.where(scalar < 0, value / np.where(scalar < 0, -scalar, 1), value) * np.where(
        scalar > 0, scalar, 1
    )


def _text(block):
    """The textual header as text: EBCDIC (cp037) or ASCII, whichever reads as more text."""
    best = ""
    for encoding in ("cp037", "latin-1"):
        text = block.decode(encoding)
        if sum(c.isalnum() or c == " " for c in text) > sum(c.isalnum() or c == " " for c in best):
            best = text
    return "".join(c if c.isprintable() else " " for c in best)


def _lines(values):
    """Distinct line numbers, their step (the greatest common divisor of their gaps)."""
    lines = np.unique(values)
    step = int(np.gcd.reduce(np.diff(lines))) if len(lines) > 1 else 0
    return lines, step


def _words(byte, values):
    """'bytes 189-192 (inline numbers 1 to 9)' for the refusal messages."""
    return f"bytes {byte}-{byte + 3}, which hold {int(values.min())} to {int(values.max())}"


class SegyScan:
    """What the headers of a SEG-Y file say and how its traces lie, or why it cannot be
    imported (SegyError). `look()` keeps what was found before a refusal."""

    def __init__(self, path, header=None):
        self._start(path, header)
        self._scan()

    @classmethod
    def look(cls, path, header=None):
        """(scan, None), or (the part-done scan, SegyError) when the file is refused."""
        scan = cls.__new__(cls)
        try:
            scan._start(path, header)
            scan._scan()
        except SegyError as error:
            return scan, error
        return scan, None

    def _start(self, path, header):
        self.path = str(Path(path).absolute())
        try:
            self.header = (header or HeaderBytes()).check()
        except ValueError as error:
            self._refuse(str(error))
        self.survey = self.sgmt = None

    def _refuse(self, reason):
        raise SegyError(self.path, reason)

    # The binary and textual headers

    def _scan(self):
        if os.path.isdir(self.path):
            self._refuse("it is a folder, not a SEG-Y file")
        if not os.path.exists(self.path):
            self._refuse("no such file")
        if not os.path.isfile(self.path):
            self._refuse("not a regular file (a device, pipe or socket)")
        try:
            fd = os.open(self.path, os.O_RDONLY)
        except OSError as error:
            self._refuse(f"cannot read it: {error.strerror or error}")
        try:
            self._read_headers(fd)
            self._read_traces(fd)
        except OSError as error:
            self._refuse(f"reading it failed: {error.strerror or error}")
        finally:
            os.close(fd)
        self._geometry()

    def _read_headers(self, fd):
        self.size = os.fstat(fd).st_size
        if self.size < 3600:
            self._refuse(f"not a SEG-Y file (only {self.size} bytes)")
        head = self.head = os.pread(fd, 3600, 0)
        self.text = _text(head[:3200])
        binary = head[3200:]
        for order in (">", "<"):
            code = int(np.frombuffer(binary, order + "i2", 1, 24)[0])
            extended = int(np.frombuffer(binary, order + "i2", 1, 304)[0])
            if (code in FORMATS or code in REFUSED_FORMATS) and extended >= -1:
                break
        else:
            self._refuse("not a SEG-Y file (its binary header gives no valid sample format)")
        self.order, self.big_endian = order, order == ">"
        self.endian = "big" if self.big_endian else "little"

        def word(offset, kind="i2"):
            return int(np.frombuffer(binary, order + kind, 1, offset)[0])

        self.format = code
        if code in REFUSED_FORMATS:
            self._refuse(
                f"unsupported sample format {code} ({REFUSED_FORMATS[code]}, obsolete); "
                "formats 1-3, 5-12, 15 and 16 are imported"
            )
        self.sample_format, self.dtype = FORMATS[code][0], np.dtype(FORMATS[code][1])
        self.revision = binary[300] if self.big_endian else binary[301]
        self.first = 3600 + self._extended_headers(fd, extended)
        self.extended_text = os.pread(fd, self.first - 3600, 3600)
        if self.first + 240 > self.size:
            self._refuse("the file holds no traces")
        first_trace = os.pread(fd, 240, self.first)

        def trace_word(byte):
            return int(np.frombuffer(first_trace, order + "i2", 1, byte - 1)[0])

        samples = word(20, "u2") or max(word(68, "i4"), 0) or trace_word(TRACE_SAMPLES)
        if samples <= 0:
            self._refuse("not a SEG-Y file (its headers give no samples per trace)")
        self.samples = samples
        interval = word(16) or trace_word(TRACE_INTERVAL)
        if interval <= 0:
            self._refuse(f"the headers give no valid sample interval ({interval} microseconds)")
        self.dz = interval / 1000.0  # microseconds to milliseconds
        # The time scalar exists from revision 1 on; older files may hold anything there.
        scalar = trace_word(TIME_SCALAR) if self.revision >= 1 else 1
        self.z0 = float(_scaled(trace_word(DELAY), scalar))
        self.trace_bytes = 240 + segycodec.sample_bytes(code) * samples
        body = self.size - self.first
        if body % self.trace_bytes:
            self._refuse(
                f"the file is truncated or damaged: its {self.size} bytes are not a "
                f"whole number of traces of {samples} samples "
                f"({body // self.trace_bytes} traces and {body % self.trace_bytes} bytes)"
            )
        self.traces = body // self.trace_bytes

    def _extended_headers(self, fd, count):
        """The bytes of the extended textual headers; sets `extended` (their number)."""
        if count >= 0:
            self.extended = count
            return 3200 * count
        # -1: as many as there are, the last one holding the end stanza.
        marks = (END_STANZA.encode("ascii"), END_STANZA.encode("cp037"))
        n = 0
        while True:
            block = os.pread(fd, 3200, 3600 + 3200 * n)
            if len(block) < 3200:
                self._refuse(
                    "its binary header announces extended textual headers ended by "
                    f"{END_STANZA}, but the file holds no such end"
                )
            n += 1
            if any(mark in block for mark in marks):
                self.extended = n
                return 3200 * n

    # The trace headers

    def _read_traces(self, fd):
        h = self.header
        words = [(b - 1, 4) for b in (h.iline, h.xline, h.cdpx, h.cdpy)] + [(COORD_SCALAR - 1, 2)]
        if self.traces > EARLY_TRACES:
            il, xl = segycodec.read_headers(
                fd, self.first, self.trace_bytes, EARLY_TRACES, self.big_endian, words[:2]
            )
            self._shared_position(il, xl)
        il, xl, x, y, scalar = segycodec.read_headers(
            fd, self.first, self.trace_bytes, self.traces, self.big_endian, words
        )
        self._il, self._xl = il, xl
        self.has_coordinates = bool(x.any() or y.any())
        self._xy = np.column_stack([_scaled(x, scalar), _scaled(y, scalar)])
        # Rounded to that unit, X and Y each move up to half of it.
        unit = float(_scaled(1, scalar).max()) if len(scalar) else 1.0
        self.rounding = unit * np.sqrt(0.5)

    def _shared_position(self, il, xl):
        """Refuse the file if two of these traces share a position."""
        keys = (il.astype(np.int64) << 32) | (xl.astype(np.int64) & 0xFFFFFFFF)
        order = np.argsort(keys, kind="stable")
        same = np.flatnonzero(keys[order][1:] == keys[order][:-1])
        if same.size:
            first = int(np.argmin(order[same + 1]))
            a, b = sorted((int(order[same[first]]), int(order[same[first] + 1])))
            self._refuse(
                f"traces {a + 1} and {b + 1} both hold inline {il[a]}, crossline {xl[a]}: "
                "only post-stack cubes are imported"
            )

    def _geometry(self):
        h, il, xl = self.header, self._il, self._xl
        self.ilines, self.il_step = _lines(il)
        self.xlines, self.xl_step = _lines(xl)
        if len(self.ilines) < 2 or len(self.xlines) < 2:
            self._refuse(
                "a cube needs at least two inlines and two crosslines; the traces' "
                f"inline numbers ({_words(h.iline, il)}) and crossline numbers "
                f"({_words(h.xline, xl)}) give {len(self.ilines)} and {len(self.xlines)}"
            )
        n_il = (int(self.ilines[-1]) - int(self.ilines[0])) // self.il_step + 1
        n_xl = (int(self.xlines[-1]) - int(self.xlines[0])) // self.xl_step + 1
        positions = n_il * n_xl
        if positions > MAX_POSITIONS_PER_TRACE * self.traces:
            self._refuse(
                f"irregular geometry: the line numbers span {n_il} inlines by {n_xl} "
                f"crosslines, {positions} positions for {self.traces} traces "
                f"(inline {_words(h.iline, il)}; crossline {_words(h.xline, xl)})"
            )
        self.shape = (n_il, n_xl, self.samples)
        i = (il.astype(np.int64) - self.ilines[0]) // self.il_step
        j = (xl.astype(np.int64) - self.xlines[0]) // self.xl_step
        self._rows = i * n_xl + j
        counts = np.bincount(self._rows, minlength=positions)
        if counts.max() > 1:
            taken = counts[counts > 0]
            if np.all(taken == taken[0]):
                self._refuse(f"{taken[0]} traces per position: only post-stack cubes are imported")
            row = int(np.argmax(counts > 1))
            t = np.flatnonzero(self._rows == row)[:2] + 1
            self._refuse(
                f"irregular geometry: traces {t[0]} and {t[1]} both hold inline "
                f"{il[t[0] - 1]}, crossline {xl[t[0] - 1]}"
            )
        self.missing = positions - self.traces
        # Sorted by inline when the inline number changes less often along the file.
        self.inline_sorted = np.count_nonzero(np.diff(il)) <= np.count_nonzero(np.diff(xl))
        self.sorting = "inline" if self.inline_sorted else "crossline"
        il1, il3 = int(self.ilines[0]), int(self.ilines[-1])
        xl1, xl2 = int(self.xlines[0]), int(self.xlines[-1])
        self.vidx = {
            "IL_FRST": il1,
            "IL_LAST": il3,
            "IL_NCRT": self.il_step,
            "IL_AMNT": n_il,
            "XL_FRST": xl1,
            "XL_LAST": xl2,
            "XL_NCRT": self.xl_step,
            "XL_AMNT": n_xl,
            "DP_FRST": self.z0,
            "DP_LAST": self.z0 + self.dz * (self.samples - 1),
            "DP_NCRT": self.dz,
            "DP_AMNT": self.samples,
        }
        if self.has_coordinates:
            self._fit_survey(il1, il3, xl1, xl2)
        else:
            # Nothing to place the traces on a map: one unit per line number.
            self.survey = Survey((il1, xl1, il1, xl1), (1, 0), (0, 1), name=_stem_text(self.path))
            self.sgmt = self.survey.sgmt(il3, xl2)
        parm = surveycalc.get_parm_from_vidx(self.vidx, self.survey)
        self.bins = (float(parm["PANEL_INC"]), float(parm["TRACE_INC"]))
        self.tolerance = TOLERANCE * min(self.bins) + self.rounding
        if self.has_coordinates:
            miss = self._misplaced(self.survey, "the grid of its traces")
            if miss:
                self._refuse("irregular geometry: " + miss)

    def _fit_survey(self, il1, il3, xl1, xl2):
        """The survey through the traces: a least-squares fit of all of them, anchored to
        the corner traces (where there are such traces and they lie on the fit)."""
        lines = np.column_stack([self._il, self._xl]).astype(np.float64)
        design = np.column_stack([np.ones(len(lines)), lines - (il1, xl1)])
        coef, _res, rank, _sv = np.linalg.lstsq(design, self._xy, rcond=None)
        h = self.header
        reason = f"the traces' CDP coordinates (bytes {h.cdpx}, {h.cdpy}) do not span a grid"
        if rank < 3:
            self._refuse(reason)
        points = []
        for il, xl in ((il1, xl1), (il1, xl2), (il3, xl1)):
            fitted = coef[0] + coef[1] * (il - il1) + coef[2] * (xl - xl1)
            row = np.flatnonzero((self._il == il) & (self._xl == xl))
            xy = self._xy[row[0]] if row.size else fitted
            step = min(np.hypot(*coef[1]) * self.il_step, np.hypot(*coef[2]) * self.xl_step)
            if not np.hypot(*(xy - fitted)) <= ANCHOR * step:
                xy = fitted
            points.append((il, xl, round(float(xy[0]), 6), round(float(xy[1]), 6)))
        (il1, xl1, x1, y1), (_, xl2, x2, y2), (il3, _, x3, y3) = points
        self.sgmt = {
            "P1_ILNO": il1,
            "P1_XLNO": xl1,
            "P1_CRSX": x1,
            "P1_CRSY": y1,
            "P2_ILNO": il1,
            "P2_XLNO": xl2,
            "P2_CRSX": x2,
            "P2_CRSY": y2,
            "P3_ILNO": il3,
            "P3_XLNO": xl1,
            "P3_CRSX": x3,
            "P3_CRSY": y3,
        }
        try:
            self.survey = Survey.from_sgmt(self.sgmt, name=_stem_text(self.path))
        except ValueError:
            self._refuse(reason)

    def _misplaced(self, survey, where):
        """Describe the trace that lies farthest from where `survey` puts its lines, when
        that is more than the tolerance; else ''."""
        grid = ln2xy(np.column_stack([self._il, self._xl]), survey=survey)
        distance = np.hypot(*(grid - self._xy).T)
        worst = int(np.argmax(distance))
        if distance[worst] <= self.tolerance:
            return ""
        (x, y), (px, py) = self._xy[worst], grid[worst]
        return (
            f"trace {worst + 1} (inline {self._il[worst]}, crossline {self._xl[worst]}) "
            f"lies at ({x:.2f}, {y:.2f}) in the file (bytes {self.header.cdpx}, "
            f"{self.header.cdpy}) but at ({px:.2f}, {py:.2f}) on "
            f"{where}, {distance[worst]:.2f} apart (more than {self.tolerance:.2f}: a tenth "
            f"of the bin, plus {self.rounding:.2f} for the rounding of the coordinates)"
        )

    def check_survey(self, survey, sgmt=None):
        """Raise SegyError unless every trace lies where the project's `survey` puts its
        lines; a cube without coordinates needs its lines within the survey's (`sgmt`)."""
        if not self.has_coordinates:
            ranges = None
            if sgmt is not None:
                ranges = [
                    sorted((sgmt["P1_ILNO"], sgmt["P3_ILNO"])),
                    sorted((sgmt["P1_XLNO"], sgmt["P2_XLNO"])),
                ]
            inside = ranges is not None and all(
                lo <= lines[0] and lines[-1] <= hi
                for (lo, hi), lines in zip(ranges, (self.ilines, self.xlines), strict=True)
            )
            if not inside:
                survey_lines = (
                    "has no line range"
                    if ranges is None
                    else "spans inlines {:g} to {:g}, crosslines {:g} to {:g}".format(
                        *ranges[0], *ranges[1]
                    )
                )
                self._refuse(
                    "its traces have no coordinates and its lines (inlines "
                    f"{self.ilines[0]} to {self.ilines[-1]}, crosslines {self.xlines[0]} to "
                    f"{self.xlines[-1]}) do not lie within the project's survey, which "
                    f"{survey_lines}. Import it into a new, empty project instead "
                    "(File > New project)"
                )
            return
        miss = self._misplaced(survey, "the project's survey")
        if miss:
            self._refuse(
                "its grid does not match the project's survey: "
                + miss
                + ". Import it into a new, empty project instead (File > New project)"
            )

    @property
    def placement(self):
        """How the cube is placed on the map, for the log and the object's information."""
        if self.has_coordinates:
            return (
                f"CDP coordinates from bytes {self.header.cdpx}, {self.header.cdpy} "
                f"(scalar at byte {COORD_SCALAR})"
            )
        return (
            "no coordinates (every trace's X and Y are zero): placed on a grid in "
            "line-number units, one unit per line"
        )

    def notes(self):
        """What the user should know about an accepted cube, one sentence each."""
        out = []
        if self.missing:
            out.append(
                f"{self.path}: {self.missing} of {self.shape[0] * self.shape[1]} positions "
                "have no trace; they hold zeros"
            )
        if not self.has_coordinates:
            out.append(f"{self.path}: {self.placement}")
        return out

    def summary(self):
        """What an import would take from the file (as much as was read), as text."""
        out = [f"File: {self.path}"]
        text = getattr(self, "text", None)
        if text is not None:
            rows = [text[k : k + 80].rstrip() for k in range(0, 3200, 80)]
            while rows and not rows[-1]:
                rows.pop()
            out += ["Textual header:"] + ["  " + r for r in rows]
        if hasattr(self, "extended"):
            out.append(f"Extended textual headers: {self.extended}")
        if hasattr(self, "dtype"):
            out.append(
                f"Sample format: {self.format} ({self.sample_format}), {self.endian}-endian; "
                f"stored as {self.dtype.name}"
            )
        if hasattr(self, "traces"):
            out.append(
                f"Samples: {self.samples} per trace, interval {self.dz:g} ms, "
                f"first sample at {self.z0:g} ms"
            )
        if hasattr(self, "sorting"):
            h, (n_il, n_xl, _ns) = self.header, self.shape
            out += [
                f"Sorting: {self.sorting}",
                f"Inlines (byte {h.iline}): {self.ilines[0]} to {self.ilines[-1]}, "
                f"step {self.il_step}, {n_il} lines",
                f"Crosslines (byte {h.xline}): {self.xlines[0]} to {self.xlines[-1]}, "
                f"step {self.xl_step}, {n_xl} lines",
                f"Traces: {self.traces} at {n_il * n_xl} positions, {self.missing} missing"
                + (" (zeros in the cube)" if self.missing else ""),
            ]
        if getattr(self, "bins", None) is not None:
            corners = [(0, 0), (0, -1), (-1, 0), (-1, -1)]
            lines = np.array([(self.ilines[i], self.xlines[j]) for i, j in corners])
            xy = ln2xy(lines, survey=self.survey)
            out.append(f"Coordinates: {self.placement}")
            out += [
                f"  inline {il}, crossline {xl}: ({x:.2f}, {y:.2f})"
                for (il, xl), (x, y) in zip(lines, xy, strict=True)
            ]
            out.append(
                f"Bin size: {self.bins[0]:.2f} between inlines, "
                f"{self.bins[1]:.2f} between crosslines"
            )
        return "\n".join(out)


class SegyImport(SegyScan, Job):
    """The import of one SEG-Y cube into a project folder (see the module's documentation).

    `done` and `total` count traces; the copying thread updates `done` and any
    thread may read it or call `cancel()`.
    """

    def __init__(
        self,
        path,
        folder,
        name,
        survey=None,
        chunk_bytes=IMPORT_CHUNK_BYTES,
        progress=None,
        header=None,
        sgmt=None,
    ):
        super().__init__(path, header)
        self.folder = Path(folder)
        self.name = name
        self.chunk_bytes = chunk_bytes
        # Called as progress(done, total) on the copying thread after each chunk.
        self.progress = progress
        self.data_file = self.header_file = None
        self.done = 0
        Job.__init__(self)
        self.total = self.traces
        if survey is not None:
            self.check_survey(survey, sgmt)

    @property
    def meta(self):
        """The object's geometry, as the project stores it."""
        return {
            "il0": int(self.ilines[0]),
            "xl0": int(self.xlines[0]),
            "z0": self.z0,
            "dz": self.dz,
            "z_unit": "ms",
            "il_step": self.il_step,
            "xl_step": self.xl_step,
            "vidx": self.vidx,
            "sgmt": self.sgmt,
            "source": self.path,
            "sample_format": self.sample_format,
            "coordinates": "CDP" if self.has_coordinates else "line numbers",
            "segy": self.kept,
            "info": f"Imported from {self.path}; {self.placement}; {self.traces} traces, "
            f"{self.missing} positions without a trace (zeros)",
        }

    @property
    def kept(self):
        """What a SEG-Y export needs to write the file again: its textual, binary and
        extended textual headers, sample format and byte order; the trace headers are
        the object's attached data file TRACE_HEADERS, rows in the cube's order, and
        TRACE_ORDER gives each position's place in the file (-1: no trace)."""
        return {
            "format": self.format,
            "big_endian": self.big_endian,
            "textual": base64.b64encode(self.head[:3200]).decode("ascii"),
            "binary": base64.b64encode(self.head[3200:]).decode("ascii"),
            "extended": base64.b64encode(self.extended_text).decode("ascii"),
        }

    def trace_order(self):
        """Each position's trace number in the file (0-based), -1 where there is none."""
        order = np.full(self.shape[0] * self.shape[1], -1, np.int64)
        order[self._rows] = np.arange(self.traces)
        return order.reshape(self.shape[:2])

    # Copying the samples (any thread)

    def prepare(self, database):
        """Make the data file the samples go into, in `database`'s folder (its thread)."""
        try:
            self.data_file = database.new_data_file(self.name, "amplitude", self.dtype, self.shape)
            self.header_file = database.new_data_file(
                self.name, TRACE_HEADERS, np.uint8, (*self.shape[:2], 240)
            )
        except OSError as error:
            raise self._unwritable(error) from error

    def work(self):
        self.copy()

    def copy(self):
        """Write the samples into the data file (made here, unnamed, if `prepare` was not
        called); touches nothing else, so it may run on any thread."""
        try:
            if self.data_file is None:
                self.folder.mkdir(parents=True, exist_ok=True)
                self.data_file = DataFile(self.folder, self.dtype, self.shape)
                self.header_file = DataFile(self.folder, np.uint8, (*self.shape[:2], 240))
        except OSError as error:
            raise self._unwritable(error) from error
        try:
            # Written through the descriptor, not the map: memory stays that of a chunk.
            self._copy_into(self.data_file.fileno(), self.data_file.offset)
        except (RuntimeError, OSError) as error:
            self.discard()
            reason = error.strerror if isinstance(error, OSError) and error.strerror else error
            raise SegyError(self.path, f"copying the samples failed: {reason}") from error
        except BaseException:
            self.discard()
            raise

    def _copy_into(self, fd, offset):
        """Decode every trace into its row of the C-order array at `offset` in the open
        file `fd` (positions without a trace are left as they are: zeros)."""
        h = self.header
        row_bytes = self.samples * self.dtype.itemsize
        chunk_traces = max(1, self.chunk_bytes // (2 * self.trace_bytes + row_bytes))

        with open(self.path, "rb") as source:
            whole = segycodec.copy_traces(
                source.fileno(),
                self.first,
                self.trace_bytes,
                self.samples,
                self.format,
                self.big_endian,
                fd,
                offset,
                self._rows,
                (h.iline - 1, 4),
                (h.xline - 1, 4),
                self._il,
                self._xl,
                chunk_traces,
                self._chunk_done,
                self.header_file.fileno(),
                self.header_file.offset,
            )
        if not whole:
            raise ImportCancelled(f"Import of {self.path} cancelled")

    def _unwritable(self, error):
        """The refusal when a data file cannot be made; what was made is removed."""
        self.discard()
        return SegyError(
            self.path, f"cannot write the data file in {self.folder}: {error.strerror or error}"
        )

    def discard(self):
        """Remove the data files, unless they were stored."""
        for data_file in (self.data_file, self.header_file):
            if data_file is not None:
                data_file.discard()
        self.data_file = self.header_file = None

    # Storing the object (the database's thread)

    def commit(self, database, add_object=None):
        """Store the copied cube as a new object of `database`, and the cube's survey if
        the project has none, in one transaction; returns the object.

        `add_object(dob)` is then called with the stored object (to show it, say).
        """
        if self.data_file is None:
            raise RuntimeError("nothing to commit: copy() did not complete")
        if self.name in database.object_names():
            self.discard()
            raise ValueError(f"The project already holds an object named {self.name!r}")
        dob = DataObject(self.name, {}, "array3d", self.meta)
        survey = (self.survey, self.sgmt) if database.load_survey()[0] is None else None
        try:
            order = database.new_data_file(self.name, TRACE_ORDER, np.int64, self.shape[:2])
        except OSError as error:
            raise self._unwritable(error) from error
        try:
            order.array[...] = self.trace_order()
            database.store_properties(
                dob,
                {"amplitude": self.data_file},
                {"amplitude": {"unit": ""}},
                survey=survey,
                attached={TRACE_HEADERS: self.header_file, TRACE_ORDER: order},
            )
        finally:
            order.discard()
            self.discard()  # a stored file stays
        if add_object is not None:
            add_object(dob)
        return dob


def _stem_text(path):
    """The file name's stem as text the project can store: bytes that are not UTF-8 (kept
    in a str as surrogates) become U+FFFD."""
    return os.fsencode(Path(path).stem).decode("utf-8", "replace")


def object_name(path, taken=()):
    """A name for the cube of the SEG-Y file `path` that is not in `taken`."""
    return free_name(_stem_text(path) or "segy", taken)


def import_to_new_project(
    segy_path,
    project_path,
    chunk_bytes=IMPORT_CHUNK_BYTES,
    progress=None,
    header=None,
    notice=None,
    store=None,
):
    """Create the project file `project_path` holding the cube of `segy_path` and its survey.

    The project is built under a hidden name and takes its own name only when complete
    (see gemlo.storage.newproject). An existing project file is never touched.
    `notice(text)` receives what the user should know about the cube (missing traces,
    no coordinates) before the copy. `store` (a StoreLocation) puts the samples into a cube
    store instead of a data file beside the project. Returns the project's path.
    """
    project_path = newproject.prepare(project_path)
    name = object_name(segy_path)
    if store is not None and store.kind != "npy":
        from gemlo.io.segy_store import StoreImport

        where = store.cube_url(f"{project_path.stem}.{name}.amplitude", project_path.parent)
        job = StoreImport(segy_path, where, name, profile=store.profile,
                          folder=project_path.parent, chunk_bytes=chunk_bytes,
                          progress=progress, header=header)  # fmt: skip
    else:
        job = SegyImport(
            segy_path,
            project_path.parent,
            name,
            None,
            chunk_bytes,
            progress,
            header=header,
        )
    for text in job.notes() if notice else ():
        notice(text)
    try:
        with newproject.building(project_path) as database:
            job.prepare(database)
            job.copy()
            job.commit(database)
    except BaseException:
        job.discard()
        raise
    return project_path


def add_header_options(parser):
    """The trace header byte options (--iline --xline --cdpx --cdpy) of a command."""
    defaults = HeaderBytes()
    for name, what in (
        ("iline", "inline number"),
        ("xline", "crossline number"),
        ("cdpx", "CDP X coordinate"),
        ("cdpy", "CDP Y coordinate"),
    ):
        parser.add_argument(
            f"--{name}",
            type=int,
            default=getattr(defaults, name),
            metavar="B",
            help=f"1-based byte of the trace header's 4-byte {what} "
            f"(default {getattr(defaults, name)})",
        )


def header_of(args):
    """The HeaderBytes that the options of `add_header_options` chose."""
    return HeaderBytes(args.iline, args.xline, args.cdpx, args.cdpy)


def scan_command(args):
    """The scan-segy command: prints what an import would do; returns the exit status."""
    scan, error = SegyScan.look(args.file, header_of(args))
    print(scan.summary(), flush=True)
    if error is not None:
        print(error, file=sys.stderr)
        return cli.FAILED
    return cli.OK
