"""Synthetic SEG-Y files of any size, for the tour and the benchmark.

The cube stands on the sample project's grid (rotated, centimetre coordinates
with the scalar -100, as field files hold them): a few dipping reflectors over
a dome, each a Ricker wavelet, plus noise. It is written in chunks of traces,
so its size is not bounded by memory, under a temporary name that becomes the
final one only when the file is complete.
"""

import os
from pathlib import Path

import numpy as np
import segyio

from gemlo.io import sample
from gemlo.utils.convert_grid import ln2xy

# Reflectors: depth (share of the trace) at the origin, dips in samples per inline and
# per crossline, reflection strength.
_REFLECTORS = [
    (0.15, 0.10, 0.05, 1.0),
    (0.32, 0.14, -0.06, -0.7),
    (0.50, 0.18, 0.04, 0.8),
    (0.66, 0.08, 0.10, -0.9),
    (0.82, 0.12, 0.02, 0.6),
]


def cache_folder():
    """Where generated files are kept between runs."""
    base = os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache"
    return Path(base) / "gemlo"


def _amplitudes(il, xl, ns, n_il, n_xl, rng):
    # il, xl: the grid indices of a chunk of traces
    z = np.arange(ns, dtype=np.float32)
    dome = (
        0.04
        * ns
        * np.exp(
            -(((il - 0.55 * n_il) / (0.3 * n_il)) ** 2 + ((xl - 0.45 * n_xl) / (0.3 * n_xl)) ** 2)
        )
    )
    out = 0.05 * rng.standard_normal((il.size, ns), dtype=np.float32)
    for depth, dip_il, dip_xl, strength in _REFLECTORS:
        horizon = (depth * ns + dip_il * il + dip_xl * xl - dome * (1 - depth)).astype(np.float32)
        t = (z[None, :] - horizon[:, None]) / 4.0  # about four samples per half period
        out += strength * (1 - 2 * t * t) * np.exp(-t * t)
    return out


def write_synthetic_segy(path, n_il, n_xl, ns, fmt=5, chunk_traces=8192, progress=None):
    """Write an inline-sorted cube of n_il x n_xl traces of ns samples (4 ms) to `path`."""
    path = Path(path)
    survey, _sgmt = sample.sample_survey()
    ilines = np.arange(sample.IL0, sample.IL0 + n_il)
    xlines = np.arange(sample.XL0, sample.XL0 + n_xl)
    layout = segyio.spec()
    layout.format, layout.sorting, layout.samples = fmt, 2, range(ns)
    layout.ilines, layout.xlines = ilines, xlines
    rng = np.random.default_rng(sample.SEED)
    temp = path.with_name(path.name + ".part")
    path.parent.mkdir(parents=True, exist_ok=True)
    total = n_il * n_xl
    try:
        with segyio.create(temp, layout) as f:
            f.bin.update(hdt=4000, hns=ns)
            for a in range(0, total, chunk_traces):
                b = min(total, a + chunk_traces)
                i, j = np.divmod(np.arange(a, b), n_xl)
                xy = np.round(ln2xy(np.column_stack([ilines[i], xlines[j]]), survey=survey) * 100)
                data = _amplitudes(i, j, ns, n_il, n_xl, rng)
                for k in range(b - a):
                    f.header[a + k] = {
                        189: int(ilines[i[k]]),
                        193: int(xlines[j[k]]),
                        71: -100,
                        181: int(xy[k, 0]),
                        185: int(xy[k, 1]),
                        115: ns,
                        117: 4000,
                    }
                    f.trace[a + k] = data[k]
                if progress is not None:
                    progress(b, total)
        os.replace(temp, path)
    finally:
        temp.unlink(missing_ok=True)
    return path


def tour_segy():
    """The tour's SEG-Y file (about 40 MB), made on first use."""
    path = cache_folder() / "synthetic-cube.sgy"
    if not path.exists():
        write_synthetic_segy(path, 150, 200, 300)
    return path
