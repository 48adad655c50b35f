"""
Per-chunk stages of exact percentiles over chunked arrays
"""
from __future__ import annotations
import collections.abc
import numpy
import numpy.typing
import typing
__all__: list[str] = ['MAX_BINS', 'scan', 'summarize', 'values_of']
def scan(values: numpy.ndarray, lo: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex], hi: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex], shift: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex], cap: typing.SupportsInt | typing.SupportsIndex) -> list:
    """
    Per key window [lo, hi]: (below, inside, keys inside or None past `cap`, None) when its shift is negative, else (below, inside, None, histogram of (key - lo) >> shift)
    """
def summarize(values: numpy.ndarray, sample_size: typing.SupportsInt | typing.SupportsIndex, seed: typing.SupportsInt | typing.SupportsIndex) -> tuple:
    """
    (count, nulls, min key, max key, sample keys) of a C-contiguous chunk; NaN are counted as nulls and left out of the rest
    """
def values_of(keys: typing.Annotated[numpy.typing.ArrayLike, numpy.uint64], dtype: numpy.dtype[typing.Any]) -> numpy.ndarray:
    """
    The values of `keys` as an array of `dtype`
    """
MAX_BINS: int = 65536
