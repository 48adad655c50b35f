"""Seismic attributes, trace by trace along the sample axis (the last axis).

Each function checks its parameters against the cube (sample interval `dz` in ms,
`ns` samples per trace), raising ValueError with the text a user reads, and returns
the kernel: a function of a block of whole traces, shaped (..., ns), that returns the
attribute of each. A kernel sees whole traces only, so a block gives what the same
call gives on the whole cube.
"""

import math

import numpy as np

# scipy is imported when an operation is made, not when the window lists the operations:
# it takes half a second to load.


def sampling_rate(dz):
    """Samples per second of a sample interval `dz` in ms."""
    if dz is None or not math.isfinite(dz) or dz <= 0:
        raise ValueError(f"the cube has no valid sample interval (dz = {dz!r} ms)")
    return 1000.0 / dz


def window_samples(window, dz, ns):
    """The odd number of samples (centred on the output sample) nearest `window` ms."""
    if not math.isfinite(window) or window <= 0:
        raise ValueError(f"the window must be a positive length in ms, got {window!r}")
    sampling_rate(dz)
    n = max(1, round(window / dz))
    n += 1 - n % 2
    if n > ns:
        raise ValueError(
            f"a window of {window:g} ms ({n} samples) is longer than the traces "
            f"({ns} samples of {dz:g} ms)"
        )
    return n


def moving_mean_square(x, size):
    """Mean of x² over `size` samples centred on each sample. At the ends of a trace the
    window takes the trace's own samples mirrored (scipy.ndimage's "reflect"), so it never
    reaches past the trace."""
    x = np.asarray(x, dtype=np.float64)
    from scipy.ndimage import uniform_filter1d

    return uniform_filter1d(x * x, size, axis=-1, mode="reflect")


def envelope(dz, ns):
    """Instantaneous amplitude: |hilbert(x)|."""
    from scipy.signal import hilbert

    return lambda x: np.abs(hilbert(x, axis=-1))


def phase(dz, ns):
    """Instantaneous phase in radians: angle(hilbert(x))."""
    from scipy.signal import hilbert

    return lambda x: np.angle(hilbert(x, axis=-1))


def frequency(dz, ns):
    """Instantaneous frequency in Hz: the derivative of the unwrapped instantaneous phase
    (central differences, one-sided at the trace's ends) over 2π, times the sampling rate."""
    from scipy.signal import hilbert

    scale = sampling_rate(dz) / (2 * np.pi)
    if ns < 2:
        raise ValueError("the instantaneous frequency needs traces of two samples or more")

    def kernel(x):
        unwrapped = np.unwrap(np.angle(hilbert(x, axis=-1)), axis=-1)
        return np.gradient(unwrapped, axis=-1) * scale

    return kernel


def rms(dz, ns, window):
    """RMS amplitude in a sliding window of `window` ms centred on each sample."""
    size = window_samples(window, dz, ns)
    return lambda x: np.sqrt(moving_mean_square(x, size))
