"""The second matrix format: the values in bands, each coded by the library
the way its trials find smallest (core/matrix_blob/band_encoder.h): rounded
onto a grid whose step the bound sets, either the values themselves or
their errors from a prediction by values already restored; a wavelet's
rounded coefficients; or the values losslessly as they are. Values still
outside the bound are stored exactly. Described in docs/matrix-format.md.
"""
from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Optional

import numpy as np

from ._zelk import matrix_encode_band, matrix_header

# Version 3 differs from 2 in its interpolation, fitted to the edges, and in
# its levelled bands with every quotient (LEVELLED_LINE); version 4 from 3 in
# its wavelet bands with every detail quotient (WAVELET_LINE); version 5 from
# 4 in its counts and lengths, varints rather than eight bytes each.
VERSION, VERSIONS = 5, (2, 3, 4, 5)
MAGIC = b"\x89ZLM"
GRID, INTERPOLATED, EXACT, WAVELET, LEVELLED, LORENZO, LEVELLED_LINE, WAVELET_LINE = 0, 1, 2, 3, 4, 5, 6, 7
BAND_VALUES = 1 << 20
_WIDEST_UNIT = 1 << 22   # a row or slice of more values is coded as a series


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


ALL_PATHS = (1 << 8) - 1


def encode_band(given: np.ndarray[Any, Any], kind: int, target: float, level: Optional[int],
                paths: int = ALL_PATHS) -> Band:
    """One band within the bound, coded the way the library's trials find
    smallest (core/matrix_blob/band_encoder.h), among `paths` (bit p for
    path p; the exact coding is always among them)."""
    packed, step, largest, squared, count = matrix_encode_band(np.ascontiguousarray(given), given.shape,
                                                               given.dtype == np.float32, kind == 3, target, level,
                                                               paths)
    return Band(packed, step, largest, squared, largest, count)
