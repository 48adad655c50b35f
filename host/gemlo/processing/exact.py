"""Exact percentiles of a chunked (dask) array, chunk by chunk, on any dask scheduler.

numpy.percentile needs the whole array in one process; dask's own percentile is an
approximation. Here every chunk is read a few times and never held with more than
itself, and the driver only ever holds a sample and the values near the wanted ranks:

1. each chunk: count, nulls (NaN), smallest and largest value, a random sample;
2. for key windows around the wanted ranks, chosen from the merged sample, each chunk
   counts the values below each window and sends those inside it, up to a cap;
3. a rank that escaped (outside its window, or too many values inside) is narrowed by
   histograms of the keys of its range, one chunk at a time, until it can be gathered;
4. the driver picks the order statistics and interpolates as numpy does.

Values are compared as order-preserving unsigned keys (gemlo.processing.chunkstats).
NaN are left out and counted, as the Statistics dock does: the percentiles are those of
the values present, and an array of nothing but NaN has NaN percentiles.
"""

import itertools
import math

import dask
import numpy as np

from gemlo.processing import chunkstats

NO_VALUES = "cannot compute percentiles of an array with no values"
# Keys in the merged sample: windows around a rank hold about 8 / sqrt(SAMPLE) of the
# values (0.8% for 10^8 values), which the driver gathers and selects from.
SAMPLE = 1 << 20
SPREAD = 4.0  # window half-width in standard deviations of a rank's place in the sample
# Most keys the driver gathers for one window; more, and it narrows by histograms first.
GATHER = 1 << 23
MIN_CAP = 4096  # keys a chunk may send for a window, whatever the sample expects
MAX_ROUNDS = 16


def _chunk(block):
    """A chunk as the kernel takes it: flat, contiguous, in the machine's byte order."""
    values = np.ascontiguousarray(block).reshape(-1)
    if not values.dtype.isnative:
        values = values.astype(values.dtype.newbyteorder("="))
    return values


def _summarize(block, sample_size, seed):
    return chunkstats.summarize(_chunk(block), sample_size, seed)


def _scan(block, lo, hi, shift, cap):
    return chunkstats.scan(_chunk(block), lo, hi, shift, cap)


def _blocks(array):
    """(delayed chunk, number of values) of every chunk of a dask array."""
    sizes = [math.prod(shape) for shape in itertools.product(*array.chunks)]
    return list(zip(array.to_delayed().ravel(), sizes, strict=True))


def _check_q(q):
    """numpy's own parsing of q: (quantiles in [0, 1], whether q was a Python number)."""
    weak_q = type(q) in (int, float)
    quantiles = np.true_divide(q, 100, out=...)
    if quantiles.ndim > 2:
        raise ValueError("q must be a scalar or 1d")
    if quantiles.size and not (quantiles.min() >= 0 and quantiles.max() <= 1):
        raise ValueError("Percentiles must be in the range [0, 100]")
    return quantiles, weak_q


def _indexes(n, quantiles):
    """numpy's virtual, previous and next indexes for n sorted values (linear method)."""
    virtual = np.asanyarray((n - 1) * quantiles)
    previous = np.floor(virtual, out=...)
    following = np.add(previous, 1, out=...)
    above = virtual >= n - 1
    if above.any():
        previous[above] = -1
        following[above] = -1
    return virtual, previous.astype(np.intp), following.astype(np.intp)


def _lerp(a, b, t):
    # numpy's interpolation, operation for operation: its rounding, its dtypes, and what
    # it makes of infinities are part of the result.
    diff_b_a = b - a
    lerp_interpolation = np.add(a, diff_b_a * t, out=...)
    np.subtract(
        b,
        diff_b_a * (1 - t),
        out=lerp_interpolation,
        where=t >= 0.5,
        casting="unsafe",
        dtype=type(lerp_interpolation.dtype),
    )
    if lerp_interpolation.ndim == 0:
        lerp_interpolation = lerp_interpolation[()]
    return lerp_interpolation


class _Range:
    """Keys [lo, hi] holding the wanted ranks; `count` of them when known."""

    def __init__(self, lo, hi, count=None, expected=None):
        self.lo, self.hi, self.count, self.expected = int(lo), int(hi), count, expected

    def shift(self):
        """-1 to gather the keys, else the histogram's shift that fits MAX_BINS bins."""
        if self.count is None or self.count <= GATHER:
            return -1
        span, shift = self.hi - self.lo, 0
        while (span >> shift) >= chunkstats.MAX_BINS:
            shift += 1
        return shift


class Selection:
    """Order statistics of the values of a dask array (NaN left out), chunk by chunk.

    `compute(*delayed)` runs tasks and returns their results: dask.compute with the
    chosen scheduler (a distributed Client's included).
    """

    def __init__(self, array, compute=None, seed=0):
        self.array = array
        self.compute = compute or (lambda *tasks: dask.compute(*tasks, scheduler="threads"))
        self.blocks = _blocks(array)
        self.size = int(array.size)
        self.reads = 0  # passes over the array, for tests and benchmarks
        self.found = {}  # rank -> key
        chunkstats.values_of(np.zeros(0, np.uint64), array.dtype)  # unsupported: ValueError
        self._summarize(seed)

    def _run(self, function, args):
        """function(chunk, *args[i]) of every chunk i, in one graph."""
        delayed = dask.delayed(function, pure=False)  # the values may change between runs
        tasks = [delayed(block, *a) for (block, _), a in zip(self.blocks, args, strict=True)]
        self.reads += 1
        return self.compute(*tasks)

    def _summarize(self, seed):
        total = max(1, self.size)
        wanted = [-(-SAMPLE * size // total) for _, size in self.blocks]
        seeds = np.random.SeedSequence(seed).generate_state(len(self.blocks), np.uint64)
        args = [(s, int(k)) for s, k in zip(wanted, seeds, strict=True)]
        parts = self._run(_summarize, args) if self.blocks else []
        self.count = sum(int(p[0]) for p in parts)
        self.nulls = sum(int(p[1]) for p in parts)
        present = [p for p in parts if p[0]]
        self.min_key = min((int(p[2]) for p in present), default=None)
        self.max_key = max((int(p[3]) for p in present), default=None)
        self.sample = np.sort(np.concatenate([p[4] for p in parts])) if parts else None

    def _first_range(self, rank):
        n, sample = self.count, self.sample
        m = len(sample)
        if m == 0:
            return _Range(self.min_key, self.max_key, n)
        p = rank / max(1, n - 1)
        center = p * (m - 1)
        half = math.ceil(SPREAD * math.sqrt(m * p * (1 - p))) + 2
        low, high = math.floor(center) - half, math.ceil(center) + half
        lo = int(sample[low]) if low >= 0 else self.min_key
        hi = int(sample[high]) if high < m else self.max_key
        expected = (min(high, m) - max(low, 0) + 1) * n / m
        return _Range(lo, hi, expected=expected)

    def keys(self, ranks):
        """{rank: key} of the values of those ranks (0-based, ascending order)."""
        n = self.count
        found = self.found
        pending = {}
        for rank in sorted(set(ranks) - set(found)):
            if not 0 <= rank < n:
                raise IndexError(f"rank {rank} of {n} values")
            if rank == 0:
                found[rank] = self.min_key
            elif rank == n - 1:
                found[rank] = self.max_key
            else:
                pending[rank] = self._first_range(rank)
        for _ in range(MAX_ROUNDS):
            if not pending:
                return found
            pending = self._round(pending, found)
        raise RuntimeError("the array changed while its percentiles were computed")

    def _round(self, pending, found):
        # One read of every chunk for all pending ranges (ranks sharing one go together).
        ranges = {}
        for r in pending.values():
            ranges.setdefault((r.lo, r.hi, r.shift()), r)
        windows = list(ranges)
        lo = [w[0] for w in windows]
        hi = [w[1] for w in windows]
        shift = [w[2] for w in windows]
        n = max(1, self.count)

        def args(size):
            caps = []
            for (_lo, _hi, s), r in ranges.items():
                if s >= 0:
                    continue
                if r.count is not None:
                    caps.append(r.count)
                else:
                    # Four times the expected share, with room for a chunk unlike the rest.
                    caps.append(max(4 * r.expected * size / n + MIN_CAP, GATHER * size / n))
            cap = min(size, int(max(caps, default=0)))
            return (lo, hi, shift, cap)

        parts = self._run(_scan, [args(size) for _, size in self.blocks])
        merged = []
        for w in range(len(windows)):
            below = sum(int(p[w][0]) for p in parts)
            inside = sum(int(p[w][1]) for p in parts)
            keys = [p[w][2] for p in parts]
            keys = np.concatenate(keys) if all(k is not None for k in keys) else None
            bins = [p[w][3] for p in parts]
            bins = np.sum(bins, axis=0) if windows[w][2] >= 0 else None
            merged.append((below, inside, keys, bins))
        by_window = dict(zip(windows, merged, strict=True))
        left = {}
        for rank, r in pending.items():
            below, inside, keys, bins = by_window[(r.lo, r.hi, r.shift())]
            if rank < below:
                left[rank] = _Range(self.min_key, r.lo - 1, below)
            elif rank >= below + inside:
                left[rank] = _Range(r.hi + 1, self.max_key, self.count - below - inside)
            elif r.lo == r.hi:
                found[rank] = r.lo
            elif keys is not None:
                found[rank] = int(np.partition(keys, rank - below)[rank - below])
            elif bins is not None:
                before = np.cumsum(bins) + below
                b = int(np.searchsorted(before, rank, side="right"))
                start = r.lo + (b << r.shift())
                end = min(r.hi, start + (1 << r.shift()) - 1)
                left[rank] = _Range(start, end, int(bins[b]))
            else:
                left[rank] = _Range(r.lo, r.hi, inside)
        return left

    def values(self, ranks):
        """The values of `ranks`, in the array's dtype, in the order given."""
        keys = self.keys(ranks)
        return chunkstats.values_of(
            np.array([keys[r] for r in ranks], np.uint64), self.array.dtype
        )


def _ranks(n, previous, following):
    return np.unique(np.concatenate([previous.ravel(), following.ravel()]) % n)


def percentile(array, q, compute=None, selection=None):
    """numpy.percentile(values, q) of the values of the dask `array` that are not NaN,
    exactly and in numpy's result types; NaN percentiles when every value is NaN.
    ValueError for an array of no values or an unsupported dtype."""
    quantiles, weak_q = _check_q(q)
    if array.size == 0:
        raise ValueError(NO_VALUES)
    selection = selection or Selection(array, compute)
    n = selection.count
    if n == 0:
        return np.percentile(np.array([np.nan], array.dtype), q)
    virtual, previous, following = _indexes(n, quantiles)
    wanted = _ranks(n, previous, following)
    table = selection.values([int(r) for r in wanted])
    previous_values = table[np.searchsorted(wanted, previous % n)]
    following_values = table[np.searchsorted(wanted, following % n)]
    gamma = np.asanyarray(virtual - previous)
    gamma = np.asanyarray(gamma, dtype=virtual.dtype)
    if weak_q:
        gamma = float(gamma)
    return _lerp(previous_values, following_values, gamma)


def percentiles_and_nulls(array, points, compute=None):
    """([numpy.percentile(values, p) for each point p], number of NaN): a row of the
    Statistics dock, with its result types (float32 data give float32 percentiles)."""
    if array.size == 0:
        raise ValueError(NO_VALUES)
    selection = Selection(array, compute)
    if selection.count:
        # Every rank wanted by any point, found in the same passes over the array.
        ranks = [_ranks(selection.count, *_indexes(selection.count, _check_q(p)[0])[1:])
                 for p in points]  # fmt: skip
        selection.keys([int(r) for r in np.concatenate(ranks)])
    return [percentile(array, p, compute, selection) for p in points], selection.nulls
