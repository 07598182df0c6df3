"""The wavelet path of the second matrix format, for smooth 2-D fields: the
values on a fine grid, a CDF 9/7 wavelet in integer lifting over them, each
subband's coefficients divided by a multiplier of its own and rounded, and
the integers coded by the sample engine: the coarsest band whole, as its
differences in two dimensions (each less the ones left of it and above it
plus the one above-left), the others as the gaps between their non-zero
coefficients and those coefficients' values. Decoding is integer arithmetic up to the last
multiplication by the grid's step, so every machine restores the same values.

The lifting (the library's, core/matrix/cdf97_lifting.h): on the even
samples s and the odd ones d of a column, then of a row, four steps each
rounding a product by a constant in 15-bit fixed point:
d += alpha (s[n] + s[n+1]); s += beta (d[n-1] + d[n]);
d += gamma (s[n] + s[n+1]); s += delta (d[n-1] + d[n]). Past the last even
sample the line goes on straight (2 s[-1] - s[-2]); past either end of the
odd ones it stays level. No step scales, so the multipliers take each
subband's gain in: a coefficient's rounding error costs its subband's
synthesis norm squared in the values' squared error, and the multiplier is
the grid step over that norm. The library searches for the coarsest step
that keeps the bound (core/matrix/wavelet_step_search.h).
"""
from __future__ import annotations

import struct
from typing import Any, Callable, Optional

import numpy as np

from ._matrix_sparse import dense, int64_frame, sparse_parts
from ._zelk import crc32c, matrix_cdf97, matrix_wavelet_levels, matrix_wavelet_search

# levels and the step (in grid units times 2^16) that gives every
# subband's multiplier; then a CRC-32C of those, and the coefficients' frame
_HEAD = struct.Struct("<BQ")


def forward(x: np.ndarray[Any, Any], levels: int) -> np.ndarray[Any, Any]:
    """The coefficients of a 2-D array of integers, `levels` levels deep."""
    c = np.array(x, dtype=np.int64, order="C")
    matrix_cdf97(c, c.shape[0], c.shape[1], levels, False)
    return c


def inverse(c: np.ndarray[Any, Any], levels: int) -> np.ndarray[Any, Any]:
    """The integers whose coefficients `c` are (wrapping modulo 2^64 where
    damaged coefficients overflow)."""
    x = np.array(c, dtype=np.int64, order="C")
    matrix_cdf97(x, x.shape[0], x.shape[1], levels, True)
    return x


def levels_for(shape: tuple[int, ...]) -> int:
    """0 where the band is no wavelet's: not 2-D, or too narrow."""
    return matrix_wavelet_levels(*shape) if len(shape) == 2 else 0


def _sides(shape: tuple[int, int], levels: int) -> list[tuple[int, int]]:
    """The shape transformed at each level, the whole first."""
    out = [shape]
    for _ in range(levels - 1):
        out.append(((out[-1][0] + 1) // 2, (out[-1][1] + 1) // 2))
    return out


def subbands(shape: tuple[int, int], levels: int) -> list[tuple[slice, slice]]:
    """Where every subband lies, the coarsest first, then each level's
    details coarse to fine."""
    sides = _sides(shape, levels)
    h, w = sides[-1]
    out = [(slice(0, (h + 1) // 2), slice(0, (w + 1) // 2))]
    for level in range(levels, 0, -1):
        h, w = sides[level - 1]
        hs, ws = (h + 1) // 2, (w + 1) // 2
        out += [(slice(0, hs), slice(ws, w)), (slice(hs, h), slice(0, ws)), (slice(hs, h), slice(ws, w))]
    return out


def encode(given: np.ndarray[Any, Any], kind: int, target: float,
           fits: Callable[[np.ndarray[Any, Any]], np.ndarray[Any, Any]], level: Optional[int],
           pack: Callable[..., bytes]
           ) -> Optional[tuple[float, bytes, np.ndarray[Any, Any], np.ndarray[Any, Any], bool]]:
    """The band's fine grid step, its coded coefficients, the positions to
    store exactly, the errors left and whether every detail quotient is
    stored (most are not zero); None where the band is no wavelet's."""
    if not levels_for(given.shape):
        return None
    values = np.ascontiguousarray(given, dtype=np.float64)
    pairs = np.empty((2,) + given.shape, np.int64), np.empty((2, given.size))  # the steps tried are coded into
    found = matrix_wavelet_search(values, *given.shape, given.dtype == np.float32, kind == 3, target, *pairs)
    if found is None:
        return None
    levels, step, grid, pair = found
    quotients, errors = pairs[0][pair], pairs[1][pair]
    places = subbands(given.shape, levels)
    positions = fits(errors)
    errors[positions] = 0.0
    coarsest = np.diff(np.diff(quotients[places[0]], axis=0, prepend=0), axis=1, prepend=0).reshape(-1)
    details = np.concatenate([quotients[place].reshape(-1) for place in places[1:]])
    every = dense(details)
    frame = int64_frame(lambda: pack(level), [coarsest] + ([details] if every else sparse_parts(details)))
    head = _HEAD.pack(levels, step)
    return grid, head + struct.pack("<I", crc32c(head)) + frame, positions, errors, every
