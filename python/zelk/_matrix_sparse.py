"""Mostly-zero integers as the matrix format stores them: the gaps between
the positions of the non-zero ones (the first position plus one, then the
differences) and those numbers, as two blocks of int64 samples."""
from __future__ import annotations

from typing import Any

import numpy as np

from ._zelk import ZelkError

# Integers of which more than this part are non-zero are stored as they are:
# gaps between mostly adjacent positions would cost more than the zeros
# they skip.
DENSE = 2 / 3


def dense(line: np.ndarray[Any, Any]) -> bool:
    return np.count_nonzero(line) > DENSE * line.size


def sparse_blocks(coder: Any, line: np.ndarray[Any, Any], end: int) -> bytes:
    """The two blocks of `line` from `coder` (a ZelkCompressor of int64);
    `end` is the mode of the last one's compress() call."""
    nonzero = np.flatnonzero(line)
    return coder.compress(np.diff(nonzero, prepend=-1), coder.FLUSH_BLOCK) + coder.compress(line[nonzero], end)


def from_sparse(numbers: np.ndarray[Any, Any], length: int) -> np.ndarray[Any, Any]:
    """The line of `length` that the gaps and values in `numbers` (their
    halves) give; ZelkError where they do not fit it."""
    if numbers.size % 2:
        raise ZelkError("damaged matrix: a band holds a part of a number")
    count = numbers.size // 2
    gaps, nonzero = numbers[:count], numbers[count:]
    positions = np.cumsum(gaps) - 1
    if count and (int(gaps.min()) < 1 or int(positions[-1]) >= length):
        raise ZelkError("damaged matrix: a number lies outside its band")
    line = np.zeros(length, np.int64)
    line[positions] = nonzero
    return line
