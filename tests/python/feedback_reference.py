"""Prediction with error feedback as its definition reads
(core/matrix/error_feedback.h): interpolation in plain numpy, a set of
values at a time, and Lorenzo value by value. The reference the library's
predictions are held equal to, value for value."""
from __future__ import annotations

from typing import Any, Iterator, Optional

import numpy as np

_MOST_QUOTIENT = 2.0 ** 52


def _visits(shape: tuple[int, ...]) -> Iterator[tuple[tuple[slice, ...], tuple[slice, ...], tuple[slice, ...], int]]:
    """For each set of values predicted together: their slices, those of the
    values before and after them along `axis`, and `axis`."""
    top = 1
    while top < max(shape):
        top *= 2
    h = top // 2
    while h >= 1:
        for axis, n in enumerate(shape):
            if h >= n:
                continue
            base = [slice(0, m, h if other < axis else 2 * h) for other, m in enumerate(shape)]
            targets, before, after = list(base), list(base), list(base)
            targets[axis], before[axis], after[axis] = slice(h, n, 2 * h), slice(0, n - h, 2 * h), slice(2 * h, n, 2 * h)
            yield tuple(targets), tuple(before), tuple(after), axis
        h //= 2


def _prediction(restored: np.ndarray[Any, Any], before: tuple[slice, ...], after: tuple[slice, ...],
                axis: int, fitted: bool) -> np.ndarray[Any, Any]:
    preceding, following = restored[before], restored[after]
    prediction = preceding.copy()

    def along(start: int, stop: Optional[int]) -> tuple[slice, ...]:
        return (slice(None),) * axis + (slice(start, stop),)

    def at(values: np.ndarray[Any, Any], k: int) -> np.ndarray[Any, Any]:
        return values[along(k, k + 1)]

    paired, count = following.shape[axis], preceding.shape[axis]
    prediction[along(0, paired)] = (preceding[along(0, paired)] + following) / 2
    # With two neighbours on each side, the cubic through the four.
    if paired >= 3:
        prediction[along(1, paired - 1)] = (9 * (preceding[along(1, paired - 1)] + following[along(1, paired - 1)])
                                            - preceding[along(0, paired - 2)] - following[along(2, paired)]) / 16
    if fitted and paired >= 2:  # the first value's b, c, d and the last paired one's a, b, c
        prediction[along(0, 1)] = (3 * at(preceding, 0) + 6 * at(following, 0) - at(following, 1)) / 8
        k = paired - 1
        prediction[along(k, k + 1)] = (6 * at(preceding, k) + 3 * at(following, k) - at(preceding, k - 1)) / 8
    if fitted and count > paired >= 1:  # past the last value: the line through a and b
        prediction[along(paired, paired + 1)] = (3 * at(preceding, paired) - at(preceding, paired - 1)) / 2
    return prediction


def _flat_positions(mask: np.ndarray[Any, Any], where: tuple[slice, ...], shape: tuple[int, ...]) -> np.ndarray[Any, Any]:
    coordinates = [s.start + s.step * index for s, index in zip(where, np.nonzero(mask))]
    return np.ravel_multi_index(coordinates, shape).astype(np.int64) if coordinates else np.empty(0, np.int64)


def _step(step: float, stride: int, levelled: bool) -> float:
    return step / min(1 + (stride.bit_length() - 1) / 6, 3) if levelled else step


def visit_order(quotients: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]:
    anchor = (slice(0, 1, 1),) * quotients.ndim
    return np.concatenate([quotients[anchor].reshape(-1)] +
                          [quotients[targets].reshape(-1) for targets, _, _, _ in _visits(quotients.shape)])


def from_visit_order(line: np.ndarray[Any, Any], shape: tuple[int, ...]) -> np.ndarray[Any, Any]:
    quotients = np.empty(shape, line.dtype)
    at = 0
    for targets, _, _, _ in [((slice(0, 1, 1),) * len(shape), None, None, 0)] + list(_visits(shape)):
        part = quotients[targets]
        part[...] = line[at:at + part.size].reshape(part.shape)
        at += part.size
    return quotients


def encode(given: np.ndarray[Any, Any], step: float, bound: Optional[float], levelled: bool = False,
           fitted: bool = False) -> tuple[np.ndarray[Any, Any], np.ndarray[Any, Any], np.ndarray[Any, Any]]:
    """The quotients (int64, in the values' shape), the positions taken
    exactly (flat, sorted) and every value's error once restored. With
    `bound`, a value restored further from its own than that is exact."""
    shape, dtype = given.shape, given.dtype
    values = given.astype(np.float64)
    restored = np.empty(shape, np.float64)
    quotients = np.zeros(shape, np.int64)
    exact: list[np.ndarray[Any, Any]] = []
    anchor = (slice(0, 1, 1),) * len(shape)
    visits = [(anchor, None, None, 0)] + list(_visits(shape))
    for targets, before, after, axis in visits:
        prediction = np.zeros((1,) * len(shape)) if before is None else _prediction(restored, before, after, axis, fitted)
        wanted = values[targets]
        level_step = _step(step, 1 if before is None else targets[axis].start, levelled)
        with np.errstate(over="ignore", invalid="ignore"):
            quotient = np.rint((wanted - prediction) / level_step)
            guess = prediction + quotient * level_step
            missed = ~(np.abs(quotient) < _MOST_QUOTIENT)
            missed |= ~np.isfinite(guess)
            if bound is not None:
                missed |= ~(np.abs(guess.astype(dtype).astype(np.float64) - wanted) <= bound)
        quotient[missed] = 0
        guess[missed] = wanted[missed]
        quotients[targets] = quotient.astype(np.int64)
        restored[targets] = guess
        if missed.any():
            exact.append(_flat_positions(missed, targets, shape))
    positions = np.sort(np.concatenate(exact)) if exact else np.empty(0, np.int64)
    with np.errstate(over="ignore"):
        errors = np.abs(restored.astype(dtype).astype(np.float64) - values).reshape(-1)
    return quotients, positions, errors


def decode(quotients: np.ndarray[Any, Any], step: float, positions: np.ndarray[Any, Any],
           exact: np.ndarray[Any, Any], dtype: np.dtype[Any], levelled: bool = False,
           fitted: bool = False) -> np.ndarray[Any, Any]:
    """The values restored from their quotients, those at `positions` (flat)
    being `exact`."""
    shape = quotients.shape
    taken = np.zeros(shape, bool)
    taken.reshape(-1)[positions] = True
    exact_values = np.zeros(shape, np.float64)
    exact_values.reshape(-1)[positions] = exact
    restored = np.empty(shape, np.float64)
    anchor = (slice(0, 1, 1),) * len(shape)
    with np.errstate(all="ignore"):  # damaged quotients may overflow: no warning, the frame's check tells
        for targets, before, after, axis in [(anchor, None, None, 0)] + list(_visits(shape)):
            prediction = np.zeros((1,) * len(shape)) if before is None else _prediction(restored, before, after, axis, fitted)
            guess = prediction + quotients[targets] * _step(step, 1 if before is None else targets[axis].start, levelled)
            restored[targets] = np.where(taken[targets], exact_values[targets], guess)
        return restored.astype(dtype)


def _quantised(wanted: float, prediction: float, step: float, bound: Optional[float], dtype: Any
               ) -> Optional[tuple[int, float]]:
    """One value's quotient and the value restored; None where it is taken exactly."""
    quotient = float(np.rint((wanted - prediction) / step))
    guess = prediction + quotient * step
    if not abs(quotient) < _MOST_QUOTIENT or not np.isfinite(guess):
        return None
    if bound is not None and not abs(float(np.array(guess).astype(dtype)) - wanted) <= bound:
        return None
    return int(quotient), guess


def _lorenzo_prediction(restored: np.ndarray[Any, Any], index: tuple[int, ...]) -> float:
    i, j, k = index

    def at(a: int, b: int, c: int) -> float:
        return float(restored[a, b, c]) if min(a, b, c) >= 0 else 0.0
    return (at(i, j, k - 1) + at(i, j - 1, k) + at(i - 1, j, k) - at(i, j - 1, k - 1) - at(i - 1, j, k - 1)
            - at(i - 1, j - 1, k) + at(i - 1, j - 1, k - 1))


def _as_cube(array: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]:
    return array.reshape((1,) * (3 - array.ndim) + array.shape)


def lorenzo_encode(given: np.ndarray[Any, Any], step: float, bound: Optional[float]
                   ) -> tuple[np.ndarray[Any, Any], np.ndarray[Any, Any], np.ndarray[Any, Any]]:
    """As encode(), with Lorenzo's prediction, one value at a time in row-major order."""
    values = _as_cube(given.astype(np.float64))
    restored, quotients = np.zeros(values.shape), np.zeros(values.shape, np.int64)
    exact = []
    with np.errstate(all="ignore"):
        for flat, index in enumerate(np.ndindex(*values.shape)):
            coded = _quantised(float(values[index]), _lorenzo_prediction(restored, index), step, bound, given.dtype)
            if coded is None:
                exact.append(flat)
                coded = 0, float(values[index])
            quotients[index], restored[index] = coded
        errors = np.abs(restored.astype(given.dtype).astype(np.float64) - values).reshape(-1)
    return quotients.reshape(given.shape), np.array(exact, np.int64), errors


def lorenzo_decode(quotients: np.ndarray[Any, Any], step: float, positions: np.ndarray[Any, Any],
                   exact: np.ndarray[Any, Any], dtype: np.dtype[Any]) -> np.ndarray[Any, Any]:
    restored = np.zeros(_as_cube(quotients).shape)
    taken = dict(zip(positions.tolist(), exact.tolist()))
    cube = _as_cube(quotients)
    with np.errstate(all="ignore"):
        for flat, index in enumerate(np.ndindex(*restored.shape)):
            prediction = _lorenzo_prediction(restored, index)
            restored[index] = taken[flat] if flat in taken else prediction + float(cube[index]) * step
        return restored.reshape(quotients.shape).astype(dtype)
