"""Percentiles: the distribution table's kernel against numpy and against one read.

For each array, the time of `add_array_percentile` (all five percentiles) is
compared with numpy.percentile called for the five points one by one, as the
table calls it, and with `a.max()` on the same array (one read of it); the peak
extra anonymous memory (RssAnon: mapped file pages do not count) of the kernel
and of numpy is sampled by a thread. The results are checked to be numpy's.
Last, a memory-mapped .npy file larger than 2 GB is evicted from the page cache
before each timed call (cold): kernel against `a.max()`, both reading the disk.

Targets at 10^8 values on two cores: at least 60x faster than numpy on normal
data; within 2x of a.max() for every array (warm); within 1.2x cold; extra
memory under 1% of the array.

    PYTHONPATH=host python bench/bench_percentile.py [--sizes 6 7 8] [--repeat 3]
"""

import argparse
import gc
import tempfile
import threading
import time
from pathlib import Path

import numpy as np

from benchtools import drop_cache
from gemlo.widgets import statgrid

POINTS = (0, 10, 50, 90, 100)


def rss_anon():
    """Resident anonymous memory of this process, in bytes."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("RssAnon:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no RssAnon in /proc/self/status")


def sample(top, done):
    """Keep the largest RssAnon seen in top[0] until `done` is set."""
    while not done.is_set():
        top[0] = max(top[0], rss_anon())
        time.sleep(0.0005)


def measure(repeat, function, *args, sampled=False):
    """(best time in s, peak extra anonymous memory in bytes, result) of `repeat` calls.

    The memory is sampled in a call of its own, first, unless `sampled` (the timed call
    itself): the sampling thread would take CPU time from the kernel's threads on a
    machine of few cores."""
    best, result = float("inf"), None
    base = rss_anon()
    top, done = [base], threading.Event()
    sampler = threading.Thread(target=sample, args=(top, done))
    sampler.start()
    start = time.perf_counter()
    result = function(*args)
    if sampled:
        best = time.perf_counter() - start
    done.set()
    sampler.join()
    for _ in range(0 if sampled else repeat):
        start = time.perf_counter()
        result = function(*args)
        best = min(best, time.perf_counter() - start)
    return best, top[0] - base, result


def kernel(a):
    prop = {"array3d": a}
    statgrid.add_array_percentile(prop)
    return prop["arrayPercentiles"]


def numpy_five(a):
    return [np.percentile(a, p) for p in POINTS]


def arrays(n, folder):
    """(label, array) of each kind, n values each (float32 unless named)."""
    rng = np.random.default_rng(20240611)
    normal = rng.standard_normal(n, dtype=np.float32)
    yield "normal", normal
    yield "float64", normal.astype(np.float64)
    # Amplitudes scaled to integers, as 16-bit recordings store them.
    yield "int16", np.round(normal * 1000).astype(np.int16)
    # About 100 distinct values, as amplitudes stored on a coarse scale are.
    yield "quantised", np.clip(np.round(normal * 16) / 16, -3.1, 3.1)
    wide = np.empty(2 * n, np.float32)
    wide[::2] = normal
    wide[1::2] = -normal
    yield "strided view", wide[::2]
    del wide
    path = Path(folder) / f"cube{n}.f32"
    normal.tofile(path)
    del normal
    yield "memory-mapped", np.memmap(path, dtype=np.float32, mode="r")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--sizes",
        type=int,
        nargs="+",
        default=[6, 7, 8],
        help="powers of ten of the array sizes (default: 6 7 8)",
    )
    parser.add_argument("--repeat", type=int, default=3, help="best of this many runs")
    parser.add_argument("--dir", default=None, help="folder of the memory-mapped files")
    parser.add_argument(
        "--cold-gb", type=float, default=2.2, help="size of the cold file in GB (0: none)"
    )
    args = parser.parse_args()

    print(
        f"{'array':<14}{'values':>8}{'kernel s':>10}{'numpy s':>10}{'x numpy':>9}"
        f"{'max s':>9}{'/ max':>7}{'kernel MB':>11}{'%':>7}{'numpy MB':>10}{'%':>6}{'reads':>6}"
    )
    with tempfile.TemporaryDirectory(dir=args.dir) as folder:
        for power in args.sizes:
            n = 10**power
            for label, a in arrays(n, folder):
                size = a.size * a.itemsize
                k_time, k_mem, got = measure(args.repeat, kernel, a)
                n_time, n_mem, want = measure(1, numpy_five, a, sampled=power >= 8)
                m_time, _, _ = measure(args.repeat, a.max)
                if got != want or [type(v) for v in got] != [type(v) for v in want]:
                    raise SystemExit(f"{label} {n}: {got} differs from numpy's {want}")
                print(
                    f"{label:<14}{f'1e{power}':>8}{k_time:>10.4f}{n_time:>10.3f}"
                    f"{n_time / k_time:>9.1f}{m_time:>9.4f}{k_time / m_time:>7.1f}"
                    f"{k_mem / 2**20:>11.2f}{100 * k_mem / size:>7.2f}"
                    f"{n_mem / 2**20:>10.1f}{100 * n_mem / size:>6.0f}"
                    f"{statgrid._percentile_passes(a):>6}",
                    flush=True,
                )
                del a
        if args.cold_gb > 0:
            cold(folder, int(args.cold_gb * 1e9) // 4, args.repeat)


def evict(path):
    """Drops the file's pages from the page cache (no map of it may be open)."""
    gc.collect()
    drop_cache(path)


def cold(folder, n, repeat):
    """Kernel and a.max() on a memory-mapped .npy of n float32 values read from disk."""
    path = Path(folder) / "cold.npy"
    out = np.lib.format.open_memmap(path, mode="w+", dtype=np.float32, shape=(n,))
    rng = np.random.default_rng(7)
    step = 1 << 26
    for start in range(0, n, step):
        out[start : start + step] = rng.standard_normal(min(step, n - start), dtype=np.float32)
    out.flush()
    del out

    def timed(function):
        best, peak, result = float("inf"), 0, None
        for _ in range(repeat):
            evict(path)
            a = np.load(path, mmap_mode="r")
            t, mem, result = measure(1, function, a, sampled=True)
            best, peak = min(best, t), max(peak, mem)
            del a
        return best, peak, result

    k_time, k_mem, got = timed(kernel)
    m_time, _, _ = timed(lambda a: a.max())
    size = n * 4
    a = np.load(path, mmap_mode="r")
    print(
        f"{'cold mmap':<14}{n:>8.1e}{k_time:>10.4f}{'':>10}{'':>9}{m_time:>9.4f}"
        f"{k_time / m_time:>7.2f}{k_mem / 2**20:>11.2f}{100 * k_mem / size:>7.2f}"
        f"{'':>16}{statgrid._percentile_passes(a):>6}",
        flush=True,
    )
    # numpy's five calls would copy the file five times: the ends suffice here.
    if got[0] != a.min() or got[4] != a.max():
        raise SystemExit(f"cold file: {got} has the wrong ends")
    del a


if __name__ == "__main__":
    main()
