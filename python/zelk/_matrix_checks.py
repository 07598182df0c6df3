"""An overflow-safe RMS of errors, which the matrix paths check their
bounds with."""
from __future__ import annotations

import math
from typing import Any

import numpy as np


def rms(errors: np.ndarray[Any, Any]) -> float:
    """The root mean square of errors, without overflowing their squares
    (infinite if one is)."""
    largest = float(errors.max(initial=0.0))
    if largest == 0 or not math.isfinite(largest):
        return largest
    scaled = errors / largest
    return largest * math.sqrt(float(np.mean(np.square(scaled, out=scaled))))
