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
the grid step over that norm.
"""
from __future__ import annotations

import functools
import math
import struct
from typing import Any, Callable, Optional

import numpy as np

from ._matrix_checks import rms
from ._matrix_sparse import dense, int64_frame, sparse_parts
from ._zelk import crc32c, matrix_cdf97, matrix_wavelet_estimate, matrix_wavelet_quantise, matrix_wavelet_restore

SMALLEST_SIDE = 32       # a band narrower than this is not worth a wavelet
COARSEST_SIDE = 16       # levels go on while the coarsest band is at least this wide
MOST_LEVELS = 8
FINE_GRID = 64           # the values' grid: the bound over this
_LARGEST_VALUE = 2 ** 40  # on the fine grid: products stay within 64 bits
# levels and the step (in grid units times 2^16) that gives every
# subband's multiplier; then a CRC-32C of those, and the coefficients' frame
_HEAD = struct.Struct("<BQ")
_MOST_MULTIPLIER = 1 << 40


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


def _sides(shape: tuple[int, int], levels: int) -> list[tuple[int, int]]:
    """The shape transformed at each level, the whole first."""
    out = [shape]
    for _ in range(levels - 1):
        out.append(((out[-1][0] + 1) // 2, (out[-1][1] + 1) // 2))
    return out


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
            energies[level, high] = sum(int(v) * int(v) for v in inverse(line, level).reshape(-1))
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


def _subband_table(places: list[Any], factors: list[int]) -> np.ndarray[Any, Any]:
    """Each subband as (top, bottom, left, right, multiplier), for the library."""
    return np.array([(rows.start, rows.stop, cols.start, cols.stop, factor)
                     for ((rows, cols), *_), factor in zip(places, factors)], np.int64)


_ESTIMATE_VALUES = 1 << 16  # the RMSE estimate reads about this many coefficients
_MOST_TRIALS = 6            # steps restored in full while the search closes in
_ESTIMATE_HALVINGS = 10     # of the step range (a factor of 512) in the estimate's search


def _estimator(coefficients: np.ndarray[Any, Any], places: list[Any], norms: list[float], shape: tuple[int, int],
               levels: int, grid: float) -> Callable[[int], float]:
    """The values' RMSE that rounding the coefficients at a step costs, each
    subband's squared errors weighted by its synthesis norm squared, from
    every k-th row of each subband (about _ESTIMATE_VALUES coefficients)."""
    stride = max(1, -(-coefficients.size // _ESTIMATE_VALUES))
    parts = [coefficients[place][::stride].reshape(-1) for place, *_ in places]
    sample = np.concatenate(parts).astype(np.float64)
    counts = np.array([part.size for part in parts], np.int64)
    weights = np.array([norm * norm * coefficients[place].size / max(part.size, 1)
                        for (place, *_), norm, part in zip(places, norms, parts)], np.float64)

    def estimate(step: int) -> float:
        factors = np.array(multipliers(shape, levels, step), np.float64)
        return math.sqrt(matrix_wavelet_estimate(sample, counts, factors, weights) / coefficients.size) * grid
    return estimate


_Pair = tuple[np.ndarray[Any, Any], np.ndarray[Any, Any]]


def _coarsest_step(coded_at: Callable[[int, np.ndarray[Any, Any], np.ndarray[Any, Any]], None],
                   new_pair: Callable[[], _Pair], kind: int, target: float, estimate: Callable[[int], float]
                   ) -> tuple[int, np.ndarray[Any, Any], np.ndarray[Any, Any]]:
    """The coarsest step (in grid units times 2^16) whose restored values
    keep the bound, with its quotients and errors. Each step tried is
    restored in full and measured, coded_at(step, quotients, errors) filling
    one of two pairs of arrays: the coarsest step that held keeps its own. The first is the coarsest whose RMSE
    estimate keeps the bound (for the largest error, the middle of its
    range); the second, that of the estimate scaled to agree with the first
    measure (for the largest error, the first step scaled by how far it
    missed); then the measure is taken for a power of the step through two
    steps tried, the coarsest that held and the finest that failed where
    there are both. The search ends within 0.5% of the bound, or where the
    steps that hold and fail are within 1% of each other."""
    def measure(errors: np.ndarray[Any, Any]) -> float:
        return float(errors.max(initial=0.0)) if kind == 3 else rms(errors)

    pairs = [new_pair(), new_pair()]  # the coarsest step's that held, and the one tried last

    def measured_at(step: int) -> float:
        coded_at(step, *pairs[1])
        return measure(pairs[1][1])

    def scaled(scale: float) -> int:
        return max(1, round(scale * (1 << 16)))

    low, high = (0.5 * math.sqrt(12) * FINE_GRID, 256 * math.sqrt(12) * FINE_GRID) if kind != 3 else \
        (FINE_GRID, 128 * FINE_GRID)

    def largest_estimated(calibration: float) -> int:
        """The coarsest step whose estimate, times `calibration`, is within the bound (by bisection
        to within 0.6% of the step, about the measured search's own tolerance: fourteen halvings, to
        0.04%, cost the elevation model a twentieth of its time, and the smooth fields' wavelet bands
        come out within 1% of what they did)."""
        bottom, top = low, high
        for _ in range(_ESTIMATE_HALVINGS):
            scale = math.sqrt(bottom * top)
            fine = estimate(scaled(scale)) * calibration <= target
            bottom, top = (scale, top) if fine else (bottom, scale)
        return scaled(bottom)

    aim = 0.998 * target  # a prediction aims a little inside the bound
    step = largest_estimated(1.0) if kind != 3 else scaled(math.sqrt(low * high))
    best: Optional[tuple[int, float]] = None    # the coarsest that held
    failed: Optional[tuple[int, float]] = None  # the finest that failed
    tried: list[tuple[int, float]] = []
    for _ in range(_MOST_TRIALS):
        figure = measured_at(step)
        tried.append((step, figure))
        if figure <= target:
            if best is None or step > best[0]:
                best = (step, figure)
                pairs.reverse()
        elif failed is None or step < failed[0]:
            failed = (step, figure)
        if best is not None and (best[1] >= 0.995 * target or (failed is not None and failed[0] <= best[0] * 1.01)):
            break
        if figure == 0:
            following = step * 2
        elif best is not None and failed is not None:
            following = _power_through(best, failed, aim)
        elif len(tried) > 1:
            following = _power_through(tried[-2], tried[-1], aim)
        elif kind != 3:
            estimated = estimate(step)
            following = largest_estimated(figure / estimated) if estimated > 0 else step * 9 // 10
        else:
            following = round(step * aim / figure)
        bottom = best[0] if best is not None else 0
        top = failed[0] if failed is not None else scaled(high) * 4
        if not bottom < following < top:  # a prediction outside what is known: halfway, or by a tenth
            following = math.isqrt(bottom * top) if best is not None and failed is not None else \
                top * 9 // 10 if best is None else bottom * 11 // 10
        if not bottom < following < top:
            break
        step = following
    if best is not None:
        # The measure is not quite monotonic in the step: one 2% coarser, or else 1%, may still hold.
        for coarser in (best[0] * 51 // 50, best[0] * 101 // 100):
            if (failed is None or failed[0] > coarser) and measured_at(coarser) <= target:
                return (coarser, *pairs[1])
        return (best[0], *pairs[0])
    # Nothing held: ever finer steps, as far as 0.9^8 of the finest that failed.
    step = failed[0] if failed is not None else step
    for _ in range(8):
        step = max(1, step * 9 // 10)
        if measured_at(step) <= target:
            break
    return (step, *pairs[1])


def _power_through(one: tuple[int, float], other: tuple[int, float], aim: float) -> int:
    """The step whose measure is `aim` on the power of the step through two
    (step, measure) points (its exponent kept within 1/4 and 4)."""
    (s0, f0), (s1, f1) = one, other
    if s0 == s1 or f0 <= 0 or f1 <= 0:
        return round(s1 * aim / f1) if f1 > 0 else s1 * 2
    power = min(4.0, max(0.25, math.log(f1 / f0) / math.log(s1 / s0)))
    return max(1, round(s1 * (aim / f1) ** (1 / power)))


def encode(given: np.ndarray[Any, Any], kind: int, target: float,
           fits: Callable[[np.ndarray[Any, Any]], np.ndarray[Any, Any]], level: Optional[int],
           pack: Callable[..., bytes]
           ) -> Optional[tuple[float, bytes, np.ndarray[Any, Any], np.ndarray[Any, Any], bool]]:
    """The band's fine grid step, its coded coefficients, the positions to
    store exactly, the errors left and whether every detail quotient is
    stored (most are not zero); None where the band is no wavelet's."""
    levels = levels_for(given.shape)
    grid = target / FINE_GRID
    values = np.ascontiguousarray(given, dtype=np.float64)
    if not levels or not grid > 0 or not float(np.abs(values).max()) / grid < _LARGEST_VALUE:
        return None
    coefficients = forward(np.rint(values / grid).astype(np.int64), levels)
    places = subbands(given.shape, levels)
    norms = _norms(given.shape, levels)

    rows, cols = given.shape

    room = np.empty_like(coefficients)  # the same working room for every step: no fresh pages each time

    def coded_at(step: int, quotients: np.ndarray[Any, Any], errors: np.ndarray[Any, Any]) -> None:
        """The quotients at `step` and every value's error once restored, as
        the decoder restores it, into the arrays given."""
        table = _subband_table(places, multipliers(given.shape, levels, step))
        matrix_wavelet_quantise(coefficients, table, rows, cols, quotients)
        matrix_wavelet_restore(quotients, table, rows, cols, levels, grid, given.dtype == np.float32, errors, values,
                               room)

    def new_pair() -> _Pair:
        return np.empty_like(coefficients), np.empty(coefficients.size)

    step, quotients, errors = _coarsest_step(coded_at, new_pair, kind, target,
                                             _estimator(coefficients, places, norms, given.shape, levels, grid))
    positions = fits(errors)
    errors[positions] = 0.0
    coarsest = np.diff(np.diff(quotients[places[0][0]], axis=0, prepend=0), axis=1, prepend=0).reshape(-1)
    details = np.concatenate([quotients[place].reshape(-1) for place, *_ in places[1:]])
    every = dense(details)
    frame = int64_frame(lambda: pack(level), [coarsest] + ([details] if every else sparse_parts(details)))
    head = _HEAD.pack(levels, step)
    return grid, head + struct.pack("<I", crc32c(head)) + frame, positions, errors, every
