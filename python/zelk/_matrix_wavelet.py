"""The wavelet path of the second matrix format, for smooth 2-D fields: the
values on a fine grid, a CDF 9/7 wavelet in integer lifting over them, each
subband's coefficients divided by a multiplier of its own and rounded, and
the integers coded by the sample engine: the coarsest band whole, as its
differences in two dimensions (each less the ones left of it and above it
plus the one above-left), the others as the gaps between their non-zero
coefficients and those coefficients' values. Decoding is integer arithmetic up to the last
multiplication by the grid's step, so every machine restores the same values.

The lifting steps, on the even samples s and the odd ones d of a row or
column, each rounding a product by one of four constants in 15-bit fixed
point: d += alpha (s[n] + s[n+1]); s += beta (d[n-1] + d[n]);
d += gamma (s[n] + s[n+1]); s += delta (d[n-1] + d[n]). Past the last even
sample the line goes on straight (2 s[-1] - s[-2]); past either end of the
odd ones it stays level. No step scales, so the multipliers take each
subband's gain in: a coefficient's rounding error costs its subband's
synthesis norm squared in the values' squared error, and the multiplier is
the grid step over that norm.
"""
from __future__ import annotations

import functools
import math
import struct
from typing import Any, Callable, Optional

import numpy as np

from ._matrix_checks import rms
from ._matrix_sparse import from_sparse, sparse_blocks
from ._zelk import crc32c

_SHIFT = 15
_HALF = 1 << (_SHIFT - 1)
_ALPHA, _BETA, _GAMMA, _DELTA = (round(c * (1 << _SHIFT)) for c in (
    -1.586134342059924, -0.052980118572961, 0.882911075530934, 0.443506852043971))
SMALLEST_SIDE = 32       # a band narrower than this is not worth a wavelet
COARSEST_SIDE = 16       # levels go on while the coarsest band is at least this wide
MOST_LEVELS = 8
FINE_GRID = 64           # the values' grid: the bound over this
_LARGEST_VALUE = 2 ** 40  # on the fine grid: products stay within 64 bits
# levels and the step (in grid units times 2^16) that gives every
# subband's multiplier; then a CRC-32C of those, and the coefficients' frame
_HEAD = struct.Struct("<BQ")
_MOST_MULTIPLIER = 1 << 40


def _next_even(s: np.ndarray[Any, Any], count: int) -> np.ndarray[Any, Any]:
    """s[n] + s[n+1] for n < count, the line continued straight past the end."""
    after = 2 * s[-1:] - s[-2:-1] if s.shape[0] > 1 else s[-1:]
    return (s + np.concatenate([s[1:], after]))[:count]


def _odd_around(d: np.ndarray[Any, Any], count: int) -> np.ndarray[Any, Any]:
    """d[n-1] + d[n] for n < count, level past either end."""
    both = np.concatenate([d[:1], d, d[-1:], d[-1:]])
    return (both[:-1] + both[1:])[:count]


def _lift(x: np.ndarray[Any, Any]) -> None:
    """One level along axis 0, in place: the even samples' band, then the odd."""
    s, d = x[0::2].copy(), x[1::2].copy()
    if d.shape[0]:
        d += (_ALPHA * _next_even(s, d.shape[0]) + _HALF) >> _SHIFT
        s += (_BETA * _odd_around(d, s.shape[0]) + _HALF) >> _SHIFT
        d += (_GAMMA * _next_even(s, d.shape[0]) + _HALF) >> _SHIFT
        s += (_DELTA * _odd_around(d, s.shape[0]) + _HALF) >> _SHIFT
    x[:s.shape[0]], x[s.shape[0]:] = s, d


def _unlift(x: np.ndarray[Any, Any]) -> None:
    half = (x.shape[0] + 1) // 2
    s, d = x[:half].copy(), x[half:].copy()
    if d.shape[0]:
        s -= (_DELTA * _odd_around(d, s.shape[0]) + _HALF) >> _SHIFT
        d -= (_GAMMA * _next_even(s, d.shape[0]) + _HALF) >> _SHIFT
        s -= (_BETA * _odd_around(d, s.shape[0]) + _HALF) >> _SHIFT
        d -= (_ALPHA * _next_even(s, d.shape[0]) + _HALF) >> _SHIFT
    x[0::2], x[1::2] = s, d


def _sides(shape: tuple[int, int], levels: int) -> list[tuple[int, int]]:
    """The shape transformed at each level, the whole first."""
    out = [shape]
    for _ in range(levels - 1):
        out.append(((out[-1][0] + 1) // 2, (out[-1][1] + 1) // 2))
    return out


def forward(x: np.ndarray[Any, Any], levels: int) -> np.ndarray[Any, Any]:
    c = x.copy()
    for h, w in _sides(c.shape, levels):
        _lift(c[:h, :w])
        _lift(c[:h, :w].T)
    return c


def inverse(c: np.ndarray[Any, Any], levels: int) -> np.ndarray[Any, Any]:
    x = c.copy()
    for h, w in reversed(_sides(x.shape, levels)):
        _unlift(x[:h, :w].T)
        _unlift(x[:h, :w])
    return x


def levels_for(shape: tuple[int, ...]) -> int:
    """0 where the band is no wavelet's: not 2-D, or too narrow."""
    if len(shape) != 2 or min(shape) < SMALLEST_SIDE:
        return 0
    levels = 1
    while levels < MOST_LEVELS and min(shape) >> (levels + 1) >= COARSEST_SIDE:
        levels += 1
    return levels


def subbands(shape: tuple[int, int], levels: int) -> list[tuple[tuple[slice, slice], int, int, int]]:
    """Every subband, the coarsest first, then each level's details coarse to
    fine: its place, its level and whether it is high-pass along axis 0 and 1."""
    sides = _sides(shape, levels)
    h, w = sides[-1]
    out = [((slice(0, (h + 1) // 2), slice(0, (w + 1) // 2)), levels, 0, 0)]
    for level in range(levels, 0, -1):
        h, w = sides[level - 1]
        hs, ws = (h + 1) // 2, (w + 1) // 2
        out += [((slice(0, hs), slice(ws, w)), level, 0, 1), ((slice(hs, h), slice(0, ws)), level, 1, 0),
                ((slice(hs, h), slice(ws, w)), level, 1, 1)]
    return out


@functools.lru_cache(maxsize=MOST_LEVELS)
def _line_energies(levels: int) -> dict[tuple[int, int], int]:
    """The synthesis energy (sum of squares, exact) of a coefficient of 2^24
    in the middle of each band of a line, by (level, high-pass), its
    low-pass band at every level included."""
    n = 1 << (levels + 4)
    energies = {}
    for level in range(1, levels + 1):
        for high in (0, 1):
            line = np.zeros((n, 1), np.int64)
            band = n >> level
            line[band + band // 2 if high else band // 2] = 1 << 24
            for k in range(level, 0, -1):
                _unlift(line[:n >> (k - 1)])
            energies[level, high] = sum(int(v) * int(v) for v in line.reshape(-1))
    return energies


def multipliers(shape: tuple[int, int], levels: int, step: int) -> list[int]:
    """Each subband's multiplier for rounding errors of about step / 2^16 grid
    units in the values: that over the subband's synthesis norm, a product of
    the two axes' norms (the lifting is separable), in integers alone."""
    energy = _line_energies(levels)
    out = []
    for _, level, high0, high1 in subbands(shape, levels):
        root = math.isqrt(energy[level, high0] * energy[level, high1])  # the norm times 2^48
        out.append(max(1, min(_MOST_MULTIPLIER, (step << 32) // root)))
    return out


def _norms(shape: tuple[int, int], levels: int) -> list[float]:
    energy = _line_energies(levels)
    return [math.sqrt(energy[level, h0] * energy[level, h1]) / 2.0 ** 48 for _, level, h0, h1 in subbands(shape, levels)]


def _quantised(coefficients: np.ndarray[Any, Any], places: list[Any], factors: list[int]) -> np.ndarray[Any, Any]:
    out = np.empty_like(coefficients)
    for (place, *_), factor in zip(places, factors):
        out[place] = np.rint(coefficients[place] / factor).astype(np.int64)
    return out


def _dequantised(quotients: np.ndarray[Any, Any], places: list[Any], factors: list[int]) -> np.ndarray[Any, Any]:
    out = np.empty_like(quotients)
    for (place, *_), factor in zip(places, factors):
        out[place] = quotients[place] * factor
    return out


def _restore(quotients: np.ndarray[Any, Any], places: list[Any], factors: list[int], levels: int, grid: float,
             dtype: np.dtype[Any]) -> np.ndarray[Any, Any]:
    with np.errstate(over="ignore", invalid="ignore"):  # only damaged coefficients overflow: the frames' checks tell
        return (inverse(_dequantised(quotients, places, factors), levels) * grid).astype(dtype)


def _squared_error_estimate(coefficients: np.ndarray[Any, Any], places: list[Any], factors: list[int],
                            norms: list[float]) -> float:
    """The values' squared error in grid units that rounding the coefficients
    costs, each subband's weighted by its synthesis norm squared."""
    total = 0.0
    for (place, *_), factor, norm in zip(places, factors, norms):
        band = coefficients[place]
        total += norm * norm * float(np.sum(np.square(band - np.rint(band / factor) * factor)))
    return total


def encode(given: np.ndarray[Any, Any], kind: int, target: float,
           fits: Callable[[np.ndarray[Any, Any]], np.ndarray[Any, Any]], level: Optional[int],
           pack: Callable[..., bytes]) -> Optional[tuple[float, bytes, np.ndarray[Any, Any], np.ndarray[Any, Any]]]:
    """The band's fine grid step, its coded coefficients, the positions to
    store exactly and the errors left; None where the band is no wavelet's."""
    levels = levels_for(given.shape)
    grid = target / FINE_GRID
    values = given.astype(np.float64)
    if not levels or not grid > 0 or not float(np.abs(values).max()) / grid < _LARGEST_VALUE:
        return None
    coefficients = forward(np.rint(values / grid).astype(np.int64), levels)
    places = subbands(given.shape, levels)
    norms = _norms(given.shape, levels)

    def coded_at(step: int) -> tuple[np.ndarray[Any, Any], np.ndarray[Any, Any]]:
        """The quotients at `step` and every value's error once restored."""
        factors = multipliers(given.shape, levels, step)
        quotients = _quantised(coefficients, places, factors)
        restored = _restore(quotients, places, factors, levels, grid, given.dtype)
        return quotients, np.abs(restored.astype(np.float64) - values).reshape(-1)

    # The coarsest rounding that keeps the bound: for RMSE, found on the
    # estimate and then checked (and made finer until it holds); for the
    # largest error, on the values restored.
    low, high = (0.5 * math.sqrt(12) * FINE_GRID, 256 * math.sqrt(12) * FINE_GRID) if kind != 3 else \
        (FINE_GRID, 128 * FINE_GRID)
    budget = (target / grid) ** 2 * given.size
    for _ in range(14 if kind != 3 else 9):
        scale = math.sqrt(low * high)
        step = round(scale * (1 << 16))
        if kind != 3:
            fine = _squared_error_estimate(coefficients, places, multipliers(given.shape, levels, step), norms) <= budget
        else:
            fine = float(coded_at(step)[1].max()) <= target
        low, high = (scale, high) if fine else (low, scale)
    def holds(step: int) -> bool:
        errors = coded_at(step)[1]
        return float(errors.max()) <= target if kind == 3 else rms(errors) <= target

    step = round(low * (1 << 16))
    for _ in range(8):
        if holds(step):
            break
        step = step * 9 // 10
    if kind != 3:  # the estimate errs on the safe side: coarser steps may still hold
        coarser = step * 4 // 3
        for _ in range(4):
            middle = (step + coarser) // 2
            step, coarser = (middle, coarser) if holds(middle) else (step, middle)
    quotients, errors = coded_at(step)
    positions = fits(errors)
    errors[positions] = 0.0
    coarsest = np.diff(np.diff(quotients[places[0][0]], axis=0, prepend=0), axis=1, prepend=0).reshape(-1)
    details = np.concatenate([quotients[place].reshape(-1) for place, *_ in places[1:]])
    coder = pack(level)
    frame = coder.compress(coarsest, coder.FLUSH_BLOCK) + sparse_blocks(coder, details, coder.FLUSH_FRAME)
    head = _HEAD.pack(levels, step)
    return grid, head + struct.pack("<I", crc32c(head)) + frame, positions, errors


def decode(stored: bytes, shape: tuple[int, int], grid: float, dtype: np.dtype[Any],
           unpack: Callable[[bytes, int], bytes], damaged: Callable[[str], Exception]) -> np.ndarray[Any, Any]:
    """The band's values from its coded coefficients."""
    if len(stored) < _HEAD.size + 4 or struct.unpack_from("<I", stored, _HEAD.size)[0] != crc32c(stored[:_HEAD.size]):
        raise damaged("a wavelet band's head fails its check")
    levels, step = _HEAD.unpack_from(stored)
    if levels != levels_for(shape) or not 0 < step < 1 << 60:
        raise damaged("a wavelet band of another number of levels, or without a step")
    places = subbands(shape, levels)
    factors = multipliers(shape, levels, step)
    size = shape[0] * shape[1]
    coarsest = places[0][0]
    coarse_count = (coarsest[0].stop - coarsest[0].start) * (coarsest[1].stop - coarsest[1].start)
    numbers = np.frombuffer(unpack(stored[_HEAD.size + 4:], 8 * (2 * size - coarse_count)), "<i8")
    if numbers.size < coarse_count:
        raise damaged("a wavelet band holds too few coefficients")
    details = from_sparse(numbers[coarse_count:], size - coarse_count)
    quotients = np.zeros(shape, np.int64)
    quotients[coarsest] = np.cumsum(np.cumsum(numbers[:coarse_count].reshape(quotients[coarsest].shape), axis=0), axis=1)
    at = 0
    for place, *_ in places[1:]:
        part = quotients[place]
        part[...] = details[at:at + part.size].reshape(part.shape)
        at += part.size
    for (place, *_), factor in zip(places, factors):
        if quotients[place].size and int(np.abs(quotients[place]).max()) > (1 << 44) // factor:
            raise damaged("a wavelet coefficient too large for any band")
    return _restore(quotients, places, factors, levels, grid, dtype)
