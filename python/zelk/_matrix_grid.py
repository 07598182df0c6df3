"""The second matrix format: each band of values rounded onto a grid whose
step the bound sets, either the values themselves or their errors from a
prediction by values already restored (_matrix_feedback.py), the
grid's integers coded losslessly by the sample engine (2-D and 3-D
prediction included); or the values coded losslessly as they are;
whichever is smallest on a trial. Values still outside the bound are
stored exactly. Described in docs/matrix-format.md.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Callable, Optional

import numpy as np

from . import _matrix_feedback as _feedback
from . import _matrix_wavelet as _wavelet
from ._matrix_checks import rms
from ._matrix_sparse import dense, int64_frame, sparse_parts
from ._frames import ZelkCompressor
from ._frames import compress as _pack
from ._zelk import MAX_LEVEL, MIN_LEVEL, matrix_band, matrix_error_figures, matrix_grid, matrix_header

# Version 3 differs from 2 in its interpolation, fitted to the edges, and in
# its levelled bands with every quotient (LEVELLED_LINE); version 4 from 3 in
# its wavelet bands with every detail quotient (WAVELET_LINE); version 5 from
# 4 in its counts and lengths, varints rather than eight bytes each.
VERSION, VERSIONS = 5, (2, 3, 4, 5)
MAGIC = b"\x89ZLM"
GRID, INTERPOLATED, EXACT, WAVELET, LEVELLED, LORENZO, LEVELLED_LINE, WAVELET_LINE = 0, 1, 2, 3, 4, 5, 6, 7
BAND_VALUES = 1 << 20
_WIDEST_UNIT = 1 << 22   # a row or slice of more values is coded as a series
_TRIAL_VALUES = 1 << 14  # a band of more is judged on a slab from its middle
_WAVELET_TRIAL_VALUES = 1 << 16  # and the wavelet on a square from its middle
_WAVELET_SURE = 0.7     # coding the square in this part of the other path's bytes, the wavelet alone codes the band
_WAVELET_LARGEST_ERROR = 0.6  # within a largest error, the wavelet is tried whole where it codes the square in this part
_WAVELET_RATIO = 16      # a wavelet is tried on bands that the other paths shrink more than this
_CLOSE = 1.05            # a path coding the slab within this of an interpolation's is tried on the whole band too


def header(dtype_code: int, kind: int, bound: float, max_error: float, rmse: float, value_range: float,
           corrections: int, step: float, units: int, shape: tuple[int, ...]) -> bytes:
    """A blob's header, which the library lays out and seals: dtype, bound
    kind, bound, achieved max error and rmse, value range, corrections,
    largest grid step, units per band, shape."""
    return matrix_header(dtype_code, kind, bound, max_error, rmse, value_range, corrections, step, units, tuple(shape))


def coded_shape(shape: tuple[int, ...]) -> tuple[int, ...]:
    """The shape the values are coded in: up to three dimensions (the last
    three), and a series where one row or slice would be too wide to band."""
    count = math.prod(shape)
    if len(shape) > 3:
        shape = (count // math.prod(shape[-2:]),) + tuple(shape[-2:]) if count else (0,)
    if len(shape) <= 1 or math.prod(shape[1:]) > _WIDEST_UNIT:
        return (count,)
    return tuple(shape)


def band_units(shape: tuple[int, ...]) -> int:
    """Leading units (values, rows or slices) per band: about BAND_VALUES values."""
    unit = math.prod(shape[1:]) if len(shape) > 1 else 1
    return max(1, BAND_VALUES // max(unit, 1))


@dataclass
class Band:
    packed: bytes
    step: float
    max_error: float
    squared: float      # the sum of squared errors, in units of `scale` squared
    scale: float
    corrections: int


def _pack_corrections(given: np.ndarray[Any, Any], positions: np.ndarray[Any, Any], level: Optional[int]) -> bytes:
    gaps = np.diff(positions, prepend=0).astype("<u8")
    return _pack(gaps.tobytes() + given.reshape(-1)[positions].astype(given.dtype.newbyteorder("<")).tobytes(), level)


# A band as a path codes it: the values' frame, the corrections' frame,
# their count, every value's error left, and the path (a levelled band's
# may become LEVELLED_LINE).
Coded = tuple[bytes, bytes, int, np.ndarray[Any, Any], int]


def _grid_band(given: np.ndarray[Any, Any], step: float, fits: Callable[[np.ndarray[Any, Any]], np.ndarray[Any, Any]],
               level: Optional[int]) -> Optional[Coded]:
    """The band on the grid; None where a value is not finite or its
    quotient reaches 2^62."""
    if step <= 0 or not math.isfinite(step):
        return None
    quotients, errors = np.empty(given.shape, np.int64), np.empty(given.size)
    if not matrix_grid(np.ascontiguousarray(given, np.float64), step, given.dtype == np.float32, quotients, errors):
        return None
    positions = fits(errors)
    errors[positions] = 0.0
    return _pack(quotients, level), _pack_corrections(given, positions, level), positions.size, errors, GRID


def _predictor(path: int) -> int:
    """The prediction with error feedback of an interpolated, levelled or
    Lorenzo band."""
    return _feedback.LORENZO if path == LORENZO else _feedback.EDGE_FITTED


def _feedback_band(given: np.ndarray[Any, Any], step: float, kind: int, target: float, level: Optional[int],
                   path: int = INTERPOLATED) -> Optional[Coded]:
    """As _grid_band, predicting with error feedback (interpolated, levelled
    or Lorenzo); None where an RMSE bound is missed (the values taken exactly
    are part of the prediction, so none can be added afterwards). Levelled,
    the quotients in the order they are visited are coded as the gaps
    between the non-zero ones and those, or where few are zero as they are."""
    quotients, positions, errors = _feedback.encode(given, step, target if kind == 3 else None, _predictor(path),
                                                    path == LEVELLED)
    if kind != 3 and not rms(errors) <= target:
        return None
    if path == LEVELLED:
        line = _feedback.visit_order(quotients)
        if dense(line):
            values, path = _pack(line, level), LEVELLED_LINE
        else:
            values = int64_frame(lambda: _int64_coder(level), sparse_parts(line))
    else:
        values = _pack(quotients, level)
    return values, _pack_corrections(given, positions, level), positions.size, errors, path


def _int64_coder(level: Optional[int]) -> ZelkCompressor:
    return ZelkCompressor(level, dtype="<i8")


def _crop(given: np.ndarray[Any, Any], side: int) -> np.ndarray[Any, Any]:
    """A square of at most side x side values from the band's middle."""
    rows, cols = (min(side, n) for n in given.shape)
    top, left = (given.shape[0] - rows) // 2, (given.shape[1] - cols) // 2
    return np.ascontiguousarray(given[top:top + rows, left:left + cols])


def _wavelet_trial(given: np.ndarray[Any, Any], path: int,
                   ways: dict[int, Callable[[np.ndarray[Any, Any]], Any]], level: Optional[int], kind: int,
                   target: float, fits: Callable[[np.ndarray[Any, Any]], np.ndarray[Any, Any]]) -> Optional[float]:
    """The wavelet's size over the path's on a square of about
    _WAVELET_TRIAL_VALUES values from the band's middle (0 where only the
    wavelet codes it); infinite where the band is no wavelet's or the path
    exact; None where the band holds fewer values than three squares (both
    are then tried whole, which costs no more than the trial and one of
    them whole)."""
    side = math.isqrt(_WAVELET_TRIAL_VALUES)
    if not _wavelet.levels_for(given.shape) or path == EXACT:
        return math.inf
    crop = _crop(given, side)
    if given.size < 3 * crop.size:
        return None
    wavelet = _wavelet.encode(crop, kind, target, fits, level, _int64_coder)
    if wavelet is None:
        return math.inf
    other = ways[path](crop)
    return 0.0 if other is None else len(wavelet[1]) / (len(other[0]) + len(other[1]))


def _trial_level(given: np.ndarray[Any, Any], level: Optional[int]) -> Optional[int]:
    """The level that codes a band's trials: the fastest for a 2-D band below
    the highest level (its planes predict from the row above too: on the
    2-D fields measured, twelve bounds each, the same paths as the default
    level's trials or smaller ones, encoding up to three times as fast); a
    volume's own, as the fastest level does not predict from the slice above
    (an MRI volume's grid path looked 20% worse there than it codes)."""
    return MIN_LEVEL if given.ndim == 2 and (level is None or level < MAX_LEVEL) else level


def _ways(step: float, kind: int, target: float, fits: Callable[[np.ndarray[Any, Any]], np.ndarray[Any, Any]],
          level: Optional[int]) -> dict[int, Callable[[np.ndarray[Any, Any]], Any]]:
    """The paths that round onto the grid of `step`, each coding values at `level`."""
    return {GRID: lambda values: _grid_band(values, step, fits, level),
            INTERPOLATED: lambda values: _feedback_band(values, step, kind, target, level),
            LEVELLED: lambda values: _feedback_band(values, step, kind, target, level, LEVELLED),
            LORENZO: lambda values: _feedback_band(values, step, kind, target, level, LORENZO)}


def encode_band(given: np.ndarray[Any, Any], kind: int, target: float,
                fits: Callable[[np.ndarray[Any, Any]], np.ndarray[Any, Any]], level: Optional[int]) -> Band:
    """One band within the bound: `fits(errors)` gives the positions to store
    exactly so that the errors left meet it."""
    # Uniform rounding errors within +-step/2 have an RMSE of step / sqrt(12).
    step = 2 * target if kind == 3 else 0.98 * math.sqrt(12) * target
    ways = _ways(step, kind, target, fits, level)
    trial_level = _trial_level(given, level)
    trials = _ways(step, kind, target, fits, trial_level)
    path, shrinks, close = EXACT, False, None
    if step > 0 and given.size:
        trial = given
        if given.size > _TRIAL_VALUES:
            units = max(1, _TRIAL_VALUES * given.shape[0] // given.size)
            start = (given.shape[0] - units) // 2
            trial = given[start:start + units]
        sizes = {EXACT: len(_pack(np.ascontiguousarray(trial), trial_level))}
        for way, code in trials.items():
            coded = code(trial)
            if coded is not None:
                sizes[way] = len(coded[0]) + len(coded[1])
        path = min(sizes, key=lambda way: (sizes[way], way != EXACT))
        smallest = sizes[path]
        shrinks = smallest < trial.nbytes // _WAVELET_RATIO
        # Interpolation visits the whole band coarse to fine, so a slab tells
        # less of it than of the paths that predict from neighbours alone: a
        # close second to an interpolation on a slab may code the band smaller.
        others = [way for way in sizes if way not in (path, EXACT) and sizes[way] <= smallest * _CLOSE]
        if others and trial is not given and path in (INTERPOLATED, LEVELLED):
            close = min(others, key=sizes.__getitem__)
    # The wavelet is tried where the other paths shrink the band a lot: on a
    # square from its middle first, where the band is larger. Coding a square
    # much smaller, it alone codes the band; about as small, both do. A
    # largest error grows with the values it is taken over, more for the
    # wavelet than for the paths that bound each value as they go: for that
    # bound the wavelet must win the square by a margin to be tried whole.
    verdict = _wavelet_trial(given, path, trials, trial_level, kind, target, fits) if shrinks else math.inf
    wavelet_only = verdict is not None and verdict < (_WAVELET_SURE if kind != 3 else 0.0)
    wavelet_too = verdict is None and shrinks or \
        verdict is not None and verdict <= (1.0 if kind != 3 else _WAVELET_LARGEST_ERROR)
    coded = ways[path](given) if path != EXACT and not wavelet_only else None
    if close is not None and not (wavelet_only or wavelet_too):  # the wavelet whole is a second opinion already
        other = ways[close](given)
        if other is not None and (coded is None or len(other[0]) + len(other[1]) < len(coded[0]) + len(coded[1])):
            path, coded = close, other
    wavelet = _wavelet.encode(given, kind, target, fits, level, _int64_coder) if wavelet_too or wavelet_only \
        else None
    if wavelet is None and wavelet_only:
        coded = ways[path](given)
    if coded is None and not (wavelet is not None and wavelet_only):
        step = 0.0
        coded = _pack(np.ascontiguousarray(given), level), _pack(b"", level), 0, np.zeros(1), EXACT
    if wavelet is not None:
        grid, coefficients, positions, wavelet_errors, every = wavelet
        # A wavelet's trials and coding weigh no frame for no corrections.
        exact = _pack_corrections(given, positions, level) if positions.size else b""
        if coded is None or wavelet_only or len(coefficients) + len(exact) < len(coded[0]) + len(coded[1]):
            step, coded = grid, (coefficients, exact, positions.size, wavelet_errors, WAVELET_LINE if every else WAVELET)
    values, corrections, count, errors, path = coded
    # The paths are weighed as they were tuned, the others' with a frame of
    # no corrections (43 bytes); a band stores none.
    corrections = corrections if count else b""
    scale, squared = matrix_error_figures(np.ascontiguousarray(errors, np.float64))
    return Band(matrix_band(path, step, count, values, corrections), step, scale, squared, scale, count)
