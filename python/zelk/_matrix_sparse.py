"""Mostly-zero integers as the matrix format stores them: the gaps between
the positions of the non-zero ones (the first position plus one, then the
differences) and those numbers, parts of a frame of int64 samples."""
from __future__ import annotations

from typing import Any, Callable

import numpy as np

from ._zelk import matrix_sparse_parts


# Integers of which more than this part are non-zero are stored as they are:
# gaps between mostly adjacent positions would cost more than the zeros
# they skip.
DENSE = 2 / 3


def dense(line: np.ndarray[Any, Any]) -> bool:
    return np.count_nonzero(line) > DENSE * line.size


# A frame of its parts' blocks shorter than this is tried as one block of
# them all too: a block's record and its own head cost some 30 bytes, a
# tenth of the 685 bytes a smooth 1024x1024 field took at an RMSE of 1e-3
# of its range (one block: 644), but one block mixes parts that code apart
# (the same field at 1e-5: 3,345 bytes apart, 4,852 in one block).
SMALL_FRAME = 4096


def sparse_parts(line: np.ndarray[Any, Any]) -> list[np.ndarray[Any, Any]]:
    """The gaps between the positions of the non-zero numbers of `line` and
    those numbers (the library's one pass)."""
    count = int(np.count_nonzero(line))
    gaps, values = np.empty(count, np.int64), np.empty(count, np.int64)
    matrix_sparse_parts(np.ascontiguousarray(line, np.int64), gaps, values)
    return [gaps, values]


def int64_frame(coder_for: Callable[[], Any], parts: list[np.ndarray[Any, Any]]) -> bytes:
    """One frame of the int64 `parts` laid end to end, from the coders
    `coder_for()` makes (ZelkCompressors of int64): a block for each (none
    for an empty one), or one block of them all where that is shorter and
    the frame small. Readers take a frame's numbers whatever its blocks."""
    coder = coder_for()
    apart = b"".join(coder.compress(part, coder.FLUSH_BLOCK) for part in parts) + coder.flush()
    if len(parts) < 2 or len(apart) >= SMALL_FRAME:
        return apart
    whole = coder_for()
    together = whole.compress(np.concatenate(parts), whole.FLUSH_FRAME)
    return together if len(together) < len(apart) else apart
