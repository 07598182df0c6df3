"""compress_matrix_v1: fixed-point Haar coefficients of a matrix, thresholded.

The reference model below is written independently of the native code, with
Python's exact integers and fractions, and defines the expected coefficients.
"""

import math
from collections.abc import Sequence
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import zelk_native

compress = zelk_native.compress_matrix_v1

RAW_MIN, RAW_MAX = -(2**31), 2**31 - 1
TOP = 32767.99998474121  # raw 2**31 - 1


def clamp(v):
    return max(RAW_MIN, min(RAW_MAX, v))


def model_fixed(x):
    # round() of a Fraction rounds half to even, which is symmetric about zero.
    return clamp(round(Fraction(x) * 65536))


def model_scaled(v):
    return (clamp(v) * 46341) >> 16  # >> floors, also for negatives


def model_haar(x):
    """One level on pairs, recursing into the sums; an unpaired tail stays."""
    if len(x) < 2:
        return list(x)
    half = len(x) // 2
    sums = [model_scaled(x[2 * i] + x[2 * i + 1]) for i in range(half)]
    diffs = [model_scaled(x[2 * i] - x[2 * i + 1]) for i in range(half)]
    return model_haar(sums) + diffs + list(x[2 * half:])


def model_compress(data, rows, cols, threshold):
    limit = model_fixed(threshold)
    if rows * cols != len(data):
        return []
    fixed = [model_fixed(v) for v in data]
    row_coeffs = [model_haar(fixed[r * cols:(r + 1) * cols]) for r in range(rows)]
    out = []
    for c in range(cols):
        for v in model_haar([row_coeffs[r][c] for r in range(rows)]):
            out.append(0.0 if abs(v) <= limit else v / 65536)
    return out


def same_floats(a, b):
    """Equal element by element, the sign of zero included."""
    return [(x, math.copysign(1, x)) for x in a] == [(x, math.copysign(1, x)) for x in b]


EXAMPLES = [
    ([1.0, 2.0, 3.0, 4.0], 2, 2, 0.0, [5.0, -2.0000152587890625, -1.0000152587890625, 0.0]),
    ([1.0, 2.0, 3.0, 4.0], 2, 2, 1.0000152587890625, [5.0, -2.0000152587890625, 0.0, 0.0]),
    ([1.0, 2.0, 3.0, 4.0], 2, 2, 2.0000152587890625, [5.0, 0.0, 0.0, 0.0]),
    ([1.0, 2.0, 3.0, 4.0], 2, 2, -1.0, [5.0, -2.0000152587890625, -1.0000152587890625, 0.0]),
    ([1.0, 2.0, 3.0, 4.0], 2, 2, 65536.0, [0.0, 0.0, 0.0, 0.0]),
    ([1.0, 1.0, 1.0, 1.0], 2, 2, 0.0, [2.0, 0.0, 0.0, 0.0]),
    ([1.0, 2.0, 3.0, 4.0, 5.0, 6.0], 2, 3, 0.0,
     [6.0, -3.0000152587890625, -1.0000152587890625, 0.0, 6.3639678955078125, -2.1213226318359375]),
    ([1.0, 2.0, 3.0, 4.0, 5.0, 6.0], 3, 2, 0.0,
     [5.0, -2.0000152587890625, 7.7781829833984375, -1.0000152587890625, 0.0, -0.7071075439453125]),
    ([1.0, 2.0, 3.0, 4.0, 5.0, 6.0], 1, 6, 0.0,
     [5.0, -2.0000152587890625, 7.7781829833984375, -0.7071075439453125, -0.7071075439453125,
      -0.7071075439453125]),
    ([1.0, 2.0, 3.0], 1, 3, 0.0, [2.1213226318359375, -0.7071075439453125, 3.0]),
    ([1.0, 2.0, 3.0], 3, 1, 0.0, [2.1213226318359375, -0.7071075439453125, 3.0]),
    ([1.0, 2.0, 3.0, 4.0], 1, 4, 0.0,
     [5.0, -2.0000152587890625, -0.7071075439453125, -0.7071075439453125]),
    ([1.0, 2.0, 3.0, 4.0], 4, 1, 0.0,
     [5.0, -2.0000152587890625, -0.7071075439453125, -0.7071075439453125]),
    ([1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0], 1, 8, 0.0,
     [12.727935791015625, -5.6568756103515625, -2.0000152587890625, -2.0000152587890625,
      -0.7071075439453125, -0.7071075439453125, -0.7071075439453125, -0.7071075439453125]),
    ([0.1, 0.2, 0.3, 0.4], 2, 2, 0.0,
     [0.4999847412109375, -0.1999969482421875, -0.100006103515625, 0.0]),
    ([5.0], 1, 1, 0.0, [5.0]),
    ([30000.0, 30000.0], 1, 2, 0.0, [23170.49998474121, 0.0]),
    ([-30000.0, -30000.0], 1, 2, 0.0, [-23170.5, 0.0]),
    ([-30000.0, 30000.0], 1, 2, 0.0, [0.0, -23170.5]),
    ([-32768.0], 1, 1, -100.0, [-32768.0]),
    ([-32768.0], 1, 1, 1e300, [-32768.0]),
    ([32768.0], 1, 1, -100.0, [TOP]),
    ([40000.0], 1, 1, 0.0, [TOP]),
    ([1e300], 1, 1, 0.0, [TOP]),
    ([-1e300], 1, 1, 0.0, [-32768.0]),
    (b"\x01\x02", 1, 2, 0.5, [2.1213226318359375, -0.7071075439453125]),
]


@pytest.mark.parametrize("data, rows, cols, threshold, expected", EXAMPLES)
def test_examples(data, rows, cols, threshold, expected):
    result = compress(data, rows, cols, threshold)
    assert type(result) is list
    assert same_floats(result, expected)


def test_arguments_by_keyword_and_fresh_lists():
    a = compress(data=[1.0, 2.0], rows=1, cols=2, threshold=0.0)
    b = compress([1.0, 2.0], 1, cols=2, threshold=0.0)
    assert a == b == [2.1213226318359375, -0.7071075439453125]
    assert a is not b
    assert compress([], 0, 0, 0.0) is not compress([], 0, 0, 0.0)


@pytest.mark.parametrize("data, rows, cols", [
    ([], 0, 0), ([], 0, 7), ([], 7, 0), ([], 0, 2**64 - 1), ([], 2**64 - 1, 0),
    ([1.0, 2.0], 3, 1), ([], 1, 1), ([1.0], 2**64 - 1, 1),
    ([float("nan"), float("inf")], 1, 1),   # mismatched shape: data not looked at
    ([], 2**32, 2**32),                     # product beyond 64 bits, not 0
    ([1.0], 2**64 - 1, 2**64 - 1),
])
def test_empty_or_mismatched_shapes_give_empty_list(data, rows, cols):
    assert compress(data, rows, cols, 0.0) == []


def fault_of(call):
    with pytest.raises(BaseException) as info:
        call()
    return info.value


@pytest.mark.parametrize("data, rows, cols, threshold, message", [
    ([1.0], 1, 1, float("nan"), "NaN"),
    ([1.0, 2.0], 5, 5, float("nan"), "NaN"),        # before the shape check
    ([1.0], 1, 1, float("-inf"), "infinite"),
    ([1.0, float("inf"), float("nan"), 2.0], 2, 2, 0.0, "infinite"),
    ([1.0, 2.0, float("-nan"), float("inf")], 2, 2, 0.0, "NaN"),
    (np.array([1.0, np.inf]), 1, 2, 0.0, "infinite"),
])
def test_faults_raise_internal_fault(capfd, data, rows, cols, threshold, message):
    error = fault_of(lambda: compress(data, rows, cols, threshold))
    kind = type(error)
    assert kind.__name__ == "InternalFault"
    assert issubclass(kind, BaseException) and not issubclass(kind, Exception)
    assert str(error) == message
    assert message in capfd.readouterr().err
    assert compress([1.0, 2.0], 1, 2, 0.0) == [2.1213226318359375, -0.7071075439453125]


def test_faults_share_one_type_and_escape_except_exception():
    try:
        try:
            compress([float("nan")], 1, 1, 0.0)
        except Exception:  # noqa: BLE001 - must not catch it
            pytest.fail("InternalFault was caught as an Exception")
    except BaseException as first:
        second = fault_of(lambda: compress([1.0], 1, 1, float("inf")))
        assert type(first) is type(second)


def test_argument_errors():
    with pytest.raises(TypeError, match=r"^argument 'data': Can't extract `str` to `Vec`$"):
        compress("ab", 1, 2, 0.5)
    with pytest.raises(OverflowError):
        compress([1.0], -1, 1, 0.5)
    with pytest.raises(TypeError, match=r"^compress_matrix_v1\(\) missing 2 required positional "
                                        r"arguments: 'cols' and 'threshold'$"):
        compress([1.0], rows=1)
    with pytest.raises(TypeError, match=r"^argument 'data': "):
        compress([1.0, "x"], 1, 2, 0.0)


values = st.one_of(
    st.floats(-40000, 40000),
    st.floats(allow_nan=False, allow_infinity=False),
    st.integers(-70000, 70000),
    st.sampled_from([-32768.0, 32767.9999847412109375, 2.0**-17, -(2.0**-17), 3 * 2.0**-17, -0.0]),
)


@st.composite
def matrices(draw):
    rows = draw(st.integers(0, 11))
    cols = draw(st.integers(0, 11))
    data = draw(st.lists(values, min_size=rows * cols, max_size=rows * cols))
    threshold = draw(st.one_of(st.just(0.0), st.floats(-1.0, 40000.0), values))
    return data, rows, cols, threshold


@settings(max_examples=200, deadline=None)
@given(matrices())
def test_matches_the_exact_model(case):
    data, rows, cols, threshold = case
    assert same_floats(compress(data, rows, cols, threshold),
                       model_compress(data, rows, cols, threshold))


def test_large_odd_matrix_matches_the_model():
    rng = np.random.default_rng(5)
    data = (rng.standard_normal(97 * 131) * 12000).tolist()
    assert same_floats(compress(data, 97, 131, 50.0), model_compress(data, 97, 131, 50.0))


class FloatList(list):
    pass


class Values(Sequence):
    def __init__(self, items):
        self._items = list(items)

    def __len__(self):
        return len(self._items)

    def __getitem__(self, index):
        return self._items[index]


def test_containers_give_identical_lists():
    rng = np.random.default_rng(9)
    array = rng.standard_normal(12 * 10) * 30000
    items = array.tolist()
    expected = model_compress(items, 12, 10, 100.0)
    containers = [
        items, tuple(items), FloatList(items), Values(items), array,
        np.repeat(array, 2)[::2],  # strided view: not one contiguous buffer
        [np.float64(v) for v in items],
        memoryview(array),
    ]
    for container in containers:
        assert same_floats(compress(container, 12, 10, 100.0), expected), type(container)
    ints = [int(v) for v in items]
    assert compress(ints, 12, 10, 0.0) == compress(np.array(ints, dtype=np.float64), 12, 10, 0.0)
