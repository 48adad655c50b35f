"""
Per-chunk stages of exact percentiles over chunked arrays
"""
from __future__ import annotations
import collections.abc
import numpy
import numpy.typing
import typing
__all__: list[str] = ['MAX_BINS', 'keys_of', 'scan', 'summarize', 'values_of']
def keys_of(values: numpy.ndarray) -> numpy.typing.NDArray[numpy.uint64]:
    """
    The keys of a C-contiguous array of values (NaN has none: leave it out)
    """
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
