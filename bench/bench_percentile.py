"""Percentiles of float32 arrays: the distribution table's kernel against numpy.

For each array, the time of `add_array_percentile` (all five percentiles) is
compared with numpy.percentile called for the five points one by one, as the
table calls it, and with `a.max()` on the same array; the peak extra anonymous
memory (RssAnon: mapped file pages do not count) of the kernel and of numpy is
sampled by a thread. The results are checked to be numpy's.

Targets at 10^8 values on two cores: at least 30x faster than numpy, within 5x
of a.max(), extra memory under 1% of the array.

    PYTHONPATH=host python bench/bench_percentile.py [--sizes 6 7 8] [--repeat 3]
"""

import argparse
import tempfile
import threading
import time
from pathlib import Path

import numpy as np

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


def measure(repeat, function, *args):
    """(best time in s, peak extra anonymous memory in bytes, result) of `repeat` calls."""
    best, peak, result = float("inf"), 0, None
    for _ in range(repeat):
        base = rss_anon()
        top, done = [base], threading.Event()
        sampler = threading.Thread(target=sample, args=(top, done))
        sampler.start()
        start = time.perf_counter()
        result = function(*args)
        best = min(best, time.perf_counter() - start)
        done.set()
        sampler.join()
        peak = max(peak, top[0] - base)
    return best, peak, result


def kernel(a):
    prop = {"array3d": a}
    statgrid.add_array_percentile(prop)
    return prop["arrayPercentiles"]


def numpy_five(a):
    return [np.percentile(a, p) for p in POINTS]


def arrays(n, folder):
    """(label, array) of the four kinds, n float32 values each."""
    rng = np.random.default_rng(20240611)
    normal = rng.standard_normal(n, dtype=np.float32)
    yield "normal", normal
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
    parser.add_argument("--dir", default=None, help="folder of the memory-mapped file")
    args = parser.parse_args()

    print(
        f"{'array':<14}{'values':>8}{'kernel s':>10}{'numpy s':>10}{'x numpy':>9}"
        f"{'max s':>9}{'/ max':>7}{'kernel MB':>11}{'%':>7}{'numpy MB':>10}{'%':>6}"
    )
    with tempfile.TemporaryDirectory(dir=args.dir) as folder:
        for power in args.sizes:
            n = 10**power
            for label, a in arrays(n, folder):
                size = a.size * a.itemsize
                k_time, k_mem, got = measure(args.repeat, kernel, a)
                n_time, n_mem, want = measure(1 if power >= 8 else 2, numpy_five, a)
                m_time, _, _ = measure(args.repeat, a.max)
                if got != want or [type(v) for v in got] != [type(v) for v in want]:
                    raise SystemExit(f"{label} {n}: {got} differs from numpy's {want}")
                print(
                    f"{label:<14}{f'1e{power}':>8}{k_time:>10.4f}{n_time:>10.3f}"
                    f"{n_time / k_time:>9.1f}{m_time:>9.4f}{k_time / m_time:>7.1f}"
                    f"{k_mem / 2**20:>11.2f}{100 * k_mem / size:>7.2f}"
                    f"{n_mem / 2**20:>10.1f}{100 * n_mem / size:>6.0f}",
                    flush=True,
                )
                del a


if __name__ == "__main__":
    main()
