"""compress_matrix_v1's time on square matrices, beside the time Python
takes to build a list of as many floats: the call has to read that many
floats and return that many, so the list is the floor it is judged against."""
from dataclasses import dataclass
from typing import Optional

import numpy as np

from .codecs import import_zelk, refusal_text, reraise_interrupts
from .timing import Budget, time_call

THRESHOLD = 0.05


@dataclass(frozen=True)
class MatrixRow:
    rows: int
    cols: int
    compress_s: Optional[float]
    list_s: float
    zeroed: Optional[int] = None
    note: str = ""


def smooth_matrix(rows: int, cols: int) -> list[float]:
    """A smooth surface with a little noise, row-major, as Python floats."""
    r, c = np.meshgrid(np.arange(rows), np.arange(cols), indexing="ij")
    surface = np.sin(r / 17.0) * np.cos(c / 23.0) + np.random.default_rng(4).normal(0, 0.01, (rows, cols))
    return surface.ravel().tolist()


def build_list(data: list[float]) -> list[float]:
    return [v + 0.0 for v in data]


def run(shapes: tuple[tuple[int, int], ...], budget: Budget) -> list[MatrixRow]:
    zelk, about = import_zelk()
    out = []
    for rows, cols in shapes:
        data = smooth_matrix(rows, cols)
        _, floor = time_call(build_list, (data,), budget)
        if zelk is None:
            out.append(MatrixRow(rows, cols, None, floor.median_s, note=about))
            continue
        try:
            coefficients, call = time_call(zelk.compress_matrix_v1, (data, rows, cols, THRESHOLD), budget)
        except BaseException as exc:
            reraise_interrupts(exc)
            out.append(MatrixRow(rows, cols, None, floor.median_s, note=refusal_text(exc)))
            continue
        note = "" if len(coefficients) == rows * cols else f"returned {len(coefficients)} values"
        zeroed = sum(1 for v in coefficients if v == 0.0)
        out.append(MatrixRow(rows, cols, call.median_s, floor.median_s, zeroed, note))
    return out
