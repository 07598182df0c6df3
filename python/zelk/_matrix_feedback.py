"""Prediction with error feedback, the library's (core/matrix/error_feedback.h):
each value is predicted from values already restored, as the decoder will
have them, and only the prediction's error is rounded onto the grid of the
bound, so the rounding never builds up.

Interpolation, for smooth fields, visits values coarse to fine, as in SZ3,
each predicted from its neighbours along one dimension (the mean of the two,
or the cubic through four); fitted to the edges (blobs of version 3 on), near
a line's ends from the three values there are, and past its last value
from the line through the two before, rather than copied. Levelled, the values of stride h = 2^k are
rounded onto a grid finer by min(1 + k / 6, 3): the few coarse values, better
restored, predict the many fine ones better (SZ3 tunes its levels' bounds
likewise); on a smooth field at a largest error of 1e-5 of its range that
codes in 35% fewer bytes. Lorenzo, for rough fields at loose bounds, visits
them row by row, each predicted from its neighbours before it (W + N - NW
on a plane).
"""
from __future__ import annotations

from typing import Any, Optional

import numpy as np

from ._zelk import matrix_feedback, matrix_visit_order

INTERPOLATION, LORENZO, EDGE_FITTED = 0, 1, 2


def visit_order(quotients: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]:
    """The quotients in the order interpolation visits them, as one line."""
    line = np.empty(quotients.size, np.int64)
    matrix_visit_order(np.ascontiguousarray(quotients, np.int64), quotients.shape, line, False)
    return line


def encode(given: np.ndarray[Any, Any], step: float, bound: Optional[float], predictor: int = INTERPOLATION,
           levelled: bool = False) -> tuple[np.ndarray[Any, Any], np.ndarray[Any, Any], np.ndarray[Any, Any]]:
    """The quotients (int64, in the values' shape), the positions taken
    exactly (flat, sorted) and every value's error once restored. With
    `bound`, a value restored further from its own than that is exact."""
    values = np.ascontiguousarray(given, np.float64)
    quotients, errors = np.empty(given.shape, np.int64), np.empty(given.size, np.float64)
    positions = matrix_feedback(values, given.shape, step, bound, predictor, levelled, given.dtype == np.float32,
                                quotients, errors)
    return quotients, np.frombuffer(positions, np.int64), errors
