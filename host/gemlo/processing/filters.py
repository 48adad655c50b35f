"""Filters, trace by trace along the sample axis; kernels as in `attributes`."""

import math
import operator

import numpy as np

from gemlo.processing.attributes import moving_mean_square, sampling_rate, window_samples

MAX_ORDER = 12


def butter_band(dz, low, high, order):
    """The second-order sections of the Butterworth band-pass, checked."""
    fs = sampling_rate(dz)
    nyquist = fs / 2
    try:
        order = operator.index(order)
    except TypeError:
        raise ValueError(f"the order must be a whole number, got {order!r}") from None
    if not 1 <= order <= MAX_ORDER:
        raise ValueError(f"the order must be from 1 to {MAX_ORDER}, got {order}")
    for name, value in (("low", low), ("high", high)):
        if not math.isfinite(value) or value <= 0:
            raise ValueError(f"the {name} corner must be a positive frequency, got {value!r} Hz")
        if value >= nyquist:
            raise ValueError(
                f"the {name} corner ({value:g} Hz) must lie below the Nyquist frequency "
                f"({nyquist:g} Hz at a sample interval of {dz:g} ms)"
            )
    if low >= high:
        raise ValueError(f"the low corner ({low:g} Hz) must lie below the high ({high:g} Hz)")
    from scipy.signal import butter  # when an operation is made (see attributes)

    return butter(order, [low, high], btype="band", fs=fs, output="sos")


def bandpass(dz, ns, low, high, order=4):
    """Zero-phase Butterworth band-pass: the filter run forwards and backwards."""
    from scipy.signal import sosfiltfilt

    sos = butter_band(dz, low, high, order)
    # sosfiltfilt's default padding (the edge samples mirrored about the end values)
    # needs traces longer than it.
    padlen = 3 * (2 * len(sos) + 1 - min((sos[:, 2] == 0).sum(), (sos[:, 5] == 0).sum()))
    if ns <= padlen:
        raise ValueError(
            f"traces of {ns} samples are too short for a band-pass of order {order} "
            f"(it needs more than {padlen})"
        )
    return lambda x: sosfiltfilt(sos, x, axis=-1)


def agc(dz, ns, window):
    """Automatic gain control: each sample divided by the RMS amplitude in a window of
    `window` ms centred on it (0 where that window holds only zeros)."""
    size = window_samples(window, dz, ns)

    def kernel(x):
        x = np.asarray(x, dtype=np.float64)
        gain = np.sqrt(moving_mean_square(x, size))
        return np.divide(x, gain, out=np.zeros_like(x), where=gain > 0)

    return kernel
