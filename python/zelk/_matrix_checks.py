"""An overflow-safe RMS of errors, which the matrix paths check their
bounds with."""
from __future__ import annotations

import math
from typing import Any

import numpy as np

from ._zelk import matrix_error_figures


def rms(errors: np.ndarray[Any, Any]) -> float:
    """The root mean square of errors, without overflowing their squares
    (infinite if one is): the library's one pass, to the last bit numpy's
    largest * sqrt(mean(square(errors / largest)))."""
    largest, squares = matrix_error_figures(np.ascontiguousarray(errors, np.float64))
    if largest == 0 or not math.isfinite(largest):
        return largest
    return largest * math.sqrt(squares / errors.size)
