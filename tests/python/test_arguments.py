"""Argument parsing and conversion of the five functions, and get_residuals_py."""

import collections

import pytest

import zelk_native

CODEC_FUNCTIONS = ["encode_bytes", "decode_bytes", "compress_adaptive"]
OUT_OF_RANGE = "out of range integral type conversion attempted"

encode = zelk_native.encode_bytes
residuals = zelk_native.get_residuals_py
matrix = zelk_native.compress_matrix_v1


def raises_exactly(exc_type, message, function, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        function(*args, **kwargs)
    assert type(info.value) is exc_type, repr(info.value)
    assert str(info.value) == message
    assert info.value.args == (message,)
    return info.value


def raises_prefixed(exc_type, prefix, function, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        function(*args, **kwargs)
    assert type(info.value) is exc_type, repr(info.value)
    assert str(info.value).startswith(prefix), str(info.value)
    return info.value


# ---- parse_call_arguments ---------------------------------------------------------------


@pytest.mark.parametrize("name", CODEC_FUNCTIONS)
def test_too_many_positional_arguments_codec(name):
    function = getattr(zelk_native, name)
    raises_exactly(
        TypeError,
        f"{name}() takes from 1 to 3 positional arguments but 4 were given",
        function, b"x", 0, None, 1,
    )
    # Keywords are not looked at once there are too many positional arguments.
    raises_exactly(
        TypeError,
        f"{name}() takes from 1 to 3 positional arguments but 5 were given",
        function, b"x", 0, None, 1, 2, foo=1, data=b"y",
    )


def test_too_many_positional_arguments_matrix_and_residuals():
    raises_exactly(
        TypeError,
        "compress_matrix_v1() takes 4 positional arguments but 5 were given",
        matrix, [1.0], 1, 1, 0.5, 9,
    )
    raises_exactly(
        TypeError,
        "get_residuals_py() takes from 1 to 3 positional arguments but 4 were given",
        residuals, b"x", 0, None, 1, _foo=1,
    )


@pytest.mark.parametrize("name", CODEC_FUNCTIONS)
def test_multiple_values_and_unexpected_keyword(name):
    function = getattr(zelk_native, name)
    raises_exactly(TypeError, f"{name}() got multiple values for argument 'data'", function, b"x", data=b"y")
    raises_exactly(
        TypeError, f"{name}() got multiple values for argument 'predictor_id'",
        function, b"x", 0, predictor_id=1,
    )
    raises_exactly(TypeError, f"{name}() got an unexpected keyword argument 'foo'", function, b"x", foo=1)


def test_keywords_are_checked_in_dict_order():
    raises_exactly(
        TypeError, "encode_bytes() got an unexpected keyword argument 'foo'",
        encode, b"x", **{"foo": 1, "data": b"y"},
    )
    raises_exactly(
        TypeError, "encode_bytes() got multiple values for argument 'data'",
        encode, b"x", **{"data": b"y", "foo": 1},
    )


def test_keyword_names_compare_exactly():
    raises_exactly(TypeError, "encode_bytes() got an unexpected keyword argument 'Data'", encode, Data=b"x")
    raises_exactly(
        TypeError, "get_residuals_py() got an unexpected keyword argument 'data'", residuals, data=b"x"
    )
    raises_exactly(
        TypeError, "compress_matrix_v1() got an unexpected keyword argument '_data'",
        matrix, _data=[1.0], rows=1, cols=1, threshold=0.5,
    )


def test_unexpected_keyword_that_cannot_be_encoded():
    # A lone surrogate cannot be UTF-8 encoded: the key is unrecognised, and
    # its str() is shown with replacement characters.
    error = raises_prefixed(
        TypeError, "encode_bytes() got an unexpected keyword argument '", encode, b"x", **{"\udcff": 1}
    )
    assert str(error).endswith("'")
    assert "\ufffd" in str(error)


def test_unexpected_keyword_beats_missing_arguments():
    raises_exactly(TypeError, "decode_bytes() got an unexpected keyword argument 'x'", zelk_native.decode_bytes, x=1)


@pytest.mark.parametrize("name", CODEC_FUNCTIONS)
def test_missing_data(name):
    function = getattr(zelk_native, name)
    raises_exactly(TypeError, f"{name}() missing 1 required positional argument: 'data'", function)
    raises_exactly(
        TypeError, f"{name}() missing 1 required positional argument: 'data'",
        function, predictor_id=0, weights=b"",
    )


def test_missing_matrix_arguments_name_list():
    raises_exactly(
        TypeError,
        "compress_matrix_v1() missing 4 required positional arguments: 'data', 'rows', 'cols', and 'threshold'",
        matrix,
    )
    raises_exactly(
        TypeError,
        "compress_matrix_v1() missing 2 required positional arguments: 'cols' and 'threshold'",
        matrix, [1.0], rows=1,
    )
    raises_exactly(
        TypeError,
        "compress_matrix_v1() missing 3 required positional arguments: 'data', 'rows', and 'threshold'",
        matrix, cols=1,
    )
    raises_exactly(
        TypeError, "compress_matrix_v1() missing 1 required positional argument: 'cols'",
        matrix, [1.0], 1, threshold=0.5,
    )
    raises_exactly(
        TypeError, "compress_matrix_v1() missing 1 required positional argument: 'data'",
        matrix, rows=1, cols=1, threshold=0.5,
    )


def test_missing_residuals_argument():
    raises_exactly(TypeError, "get_residuals_py() missing 1 required positional argument: '_data'", residuals)
    raises_exactly(
        TypeError, "get_residuals_py() missing 1 required positional argument: '_data'",
        residuals, _predictor_id=1,
    )


def test_arguments_by_keyword_in_any_order(accepts):
    assert accepts(encode, data=b"abc")
    assert accepts(encode, b"abc", predictor_id=0, weights=None)
    assert accepts(encode, weights=b"", predictor_id=2, data=b"abc")
    assert accepts(matrix, threshold=0.5, cols=1, rows=1, data=[1.0])
    assert accepts(matrix, [1.0], 1, threshold=0.5, cols=1)


# ---- extract_bytes ------------------------------------------------------------------------


class BytesSubclass(bytes):
    pass


@pytest.mark.parametrize("name", CODEC_FUNCTIONS)
@pytest.mark.parametrize(
    "value, type_name",
    [
        (bytearray(b"abc"), "bytearray"),
        (memoryview(b"abc"), "memoryview"),
        ("abc", "str"),
        ([1, 2], "list"),
        (None, "NoneType"),
        (3, "int"),
    ],
)
def test_data_must_be_bytes(name, value, type_name):
    raises_exactly(
        TypeError,
        f"argument 'data': '{type_name}' object cannot be converted to 'PyBytes'",
        getattr(zelk_native, name), value,
    )


def test_type_mismatch_uses_the_qualified_name():
    class Outer:
        class Inner:
            pass

    raises_exactly(
        TypeError,
        "argument 'data': 'test_type_mismatch_uses_the_qualified_name.<locals>.Outer.Inner' "
        "object cannot be converted to 'PyBytes'",
        encode, Outer.Inner(),
    )
    raises_exactly(
        TypeError, "argument 'data': 'OrderedDict' object cannot be converted to 'Sequence'",
        matrix, collections.OrderedDict(), 1, 1, 0.5,
    )


def test_type_mismatch_when_the_type_name_cannot_be_read():
    class NoName(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                raise RuntimeError("no name")
            return super().__getattribute__(name)

    class NotStr(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                return 42
            return super().__getattribute__(name)

    for meta in (NoName, NotStr):
        cls = meta("Anonymous", (), {})
        raises_exactly(
            TypeError,
            "argument 'data': '<failed to extract type name>' object cannot be converted to 'PyBytes'",
            encode, cls(),
        )
        raises_exactly(
            TypeError,
            "argument 'data': '<failed to extract type name>' object cannot be converted to 'Sequence'",
            matrix, cls(), 1, 1, 0.5,
        )


@pytest.mark.parametrize("name", CODEC_FUNCTIONS)
def test_weights_must_be_bytes_or_none(name, accepts):
    function = getattr(zelk_native, name)
    raises_exactly(
        TypeError, "argument 'weights': 'list' object cannot be converted to 'PyBytes'",
        function, b"abc", weights=[1.0, 2.0],
    )
    raises_exactly(
        TypeError, "argument 'weights': 'bytearray' object cannot be converted to 'PyBytes'",
        function, b"abc", 0, bytearray(4),
    )
    assert accepts(function, b"abc", 0, None)
    assert accepts(function, b"abc", 0, b"")
    assert accepts(function, b"abc", 0, BytesSubclass(b"\x00" * 24))


def test_bytes_subclasses_are_accepted(accepts):
    assert accepts(encode, BytesSubclass(b"abc"))
    assert residuals(BytesSubclass(b"abc"), 1, BytesSubclass(b"")) == []


def test_data_is_converted_before_predictor_id():
    raises_exactly(
        TypeError, "argument 'data': 'str' object cannot be converted to 'PyBytes'",
        encode, "abc", 1000, [1],
    )
    raises_exactly(OverflowError, OUT_OF_RANGE, encode, b"abc", 1000, [1])


# ---- extract_uint8 ------------------------------------------------------------------------


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class RaisingIndex:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


@pytest.mark.parametrize("name", CODEC_FUNCTIONS)
@pytest.mark.parametrize("value", [256, -1, 1000, -(2**63), 2**63 - 1, Index(256), Index(-5)])
def test_predictor_id_out_of_range(name, value):
    raises_exactly(OverflowError, OUT_OF_RANGE, getattr(zelk_native, name), b"abc", value)


@pytest.mark.parametrize("value", [2**63, -(2**63) - 1, 2**100, Index(2**64)])
def test_predictor_id_beyond_64_bits_is_the_interpreters_overflow(value):
    error = raises_prefixed(OverflowError, "", encode, b"abc", value)
    assert str(error) != OUT_OF_RANGE


@pytest.mark.parametrize("name", CODEC_FUNCTIONS)
@pytest.mark.parametrize("value", [1.0, "1", None, b"\x01", [1], 1j])
def test_predictor_id_not_an_integer(name, value):
    raises_prefixed(TypeError, "argument 'predictor_id': ", getattr(zelk_native, name), b"abc", value)


def test_predictor_id_none_by_keyword_is_not_the_default():
    raises_prefixed(TypeError, "argument 'predictor_id': ", encode, b"abc", predictor_id=None)
    raises_prefixed(TypeError, "argument '_predictor_id': ", residuals, b"x", _predictor_id=None)


def test_predictor_id_not_an_integer_message():
    raises_exactly(
        TypeError, "argument 'predictor_id': 'float' object cannot be interpreted as an integer",
        encode, b"abc", 1.0,
    )


def test_predictor_id_index_errors():
    # An exact TypeError is remapped; other errors pass through unchanged.
    raises_exactly(TypeError, "argument 'predictor_id': nope", encode, b"abc", RaisingIndex(TypeError("nope")))
    error = ValueError("bad index")
    with pytest.raises(ValueError) as info:
        encode(b"abc", RaisingIndex(error))
    assert info.value is error


def test_predictor_id_accepted_values():
    for value in [0, 1, 2, 7, 128, 255, True, False, Index(255), Index(0)]:
        assert residuals(b"x", value) == []


def test_predictor_id_in_range_reaches_the_body(accepts):
    assert accepts(encode, b"abc", True)
    assert accepts(encode, b"abc", Index(0))


# ---- extract_uint64 ------------------------------------------------------------------------


@pytest.mark.parametrize("value", [-1, -(2**70), 2**64, 2**100, Index(-1)])
def test_dimensions_out_of_range_are_the_interpreters_overflow(value):
    raises_prefixed(OverflowError, "", matrix, [1.0], value, 1, 0.5)
    error = raises_prefixed(OverflowError, "", matrix, [1.0], 1, value, 0.5)
    assert not str(error).startswith("argument")


@pytest.mark.parametrize("value", [1.0, "1", None, [1]])
def test_dimensions_not_integers(value):
    raises_prefixed(TypeError, "argument 'rows': ", matrix, [1.0], value, 1, 0.5)
    raises_prefixed(TypeError, "argument 'cols': ", matrix, [1.0], 1, value, 0.5)


def test_dimension_messages():
    raises_exactly(
        TypeError, "argument 'rows': 'float' object cannot be interpreted as an integer",
        matrix, [1.0], 1.0, 1, 0.5,
    )
    raises_exactly(TypeError, "argument 'cols': inner", matrix, [1.0], 1, RaisingIndex(TypeError("inner")), 0.5)


def test_dimension_accepted_values(accepts):
    for value in [0, 1, True, Index(3), 2**64 - 1, 2**63]:
        assert accepts(matrix, [1.0], value, 1, 0.5)
        assert accepts(matrix, [1.0], 1, value, 0.5)


def test_rows_converted_before_cols_before_threshold():
    raises_prefixed(TypeError, "argument 'rows': ", matrix, [1.0], "r", "c", "t")
    raises_prefixed(TypeError, "argument 'cols': ", matrix, [1.0], 1, "c", "t")
    raises_prefixed(TypeError, "argument 'threshold': ", matrix, [1.0], 1, 1, "t")
    raises_prefixed(TypeError, "argument 'data': ", matrix, "d", "r", "c", "t")


# ---- extract_double ------------------------------------------------------------------------


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class RaisingFloat:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


@pytest.mark.parametrize("value", ["0.5", None, [0.5], b"1", 1j])
def test_threshold_not_convertible(value):
    raises_prefixed(TypeError, "argument 'threshold': ", matrix, [1.0], 1, 1, value)


def test_threshold_accepted_values(accepts):
    for value in [0.5, 0, -1.0, -1, True, 2**60, Floaty(-1.0), Index(3), 1e300, -0.0]:
        assert accepts(matrix, [1.0], 1, 1, value)


def test_threshold_errors():
    with pytest.raises(OverflowError) as info:
        matrix([1.0], 1, 1, 10**400)
    assert not str(info.value).startswith("argument")
    raises_exactly(TypeError, "argument 'threshold': bad", matrix, [1.0], 1, 1, RaisingFloat(TypeError("bad")))
    error = ZeroDivisionError("zd")
    with pytest.raises(ZeroDivisionError) as info:
        matrix([1.0], 1, 1, RaisingFloat(error))
    assert info.value is error


# ---- extract_double_sequence ----------------------------------------------------------------


class StrSubclass(str):
    pass


class ListSubclass(list):
    pass


class GetItemSequence:
    """A sequence through __getitem__ alone (iterated by the old protocol)."""

    def __init__(self, items, length=None):
        self.items = list(items)
        self.length = len(self.items) if length is None else length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, i):
        return self.items[i]


class IterFails(GetItemSequence):
    def __init__(self, exc):
        super().__init__([])
        self.exc = exc

    def __iter__(self):
        raise self.exc


class IteratorFails(GetItemSequence):
    def __init__(self, exc, after):
        super().__init__([1.0] * after)
        self.exc = exc

    def __iter__(self):
        yield from self.items
        raise self.exc


def test_str_data_is_refused():
    raises_exactly(TypeError, "argument 'data': Can't extract `str` to `Vec`", matrix, "ab", 1, 2, 0.5)
    raises_exactly(TypeError, "argument 'data': Can't extract `str` to `Vec`", matrix, "", 0, 0, 0.5)
    raises_exactly(
        TypeError, "argument 'data': Can't extract `str` to `Vec`", matrix, StrSubclass("ab"), 1, 2, 0.5
    )


@pytest.mark.parametrize(
    "value, type_name",
    [(5, "int"), (1.5, "float"), ({1: 2}, "dict"), ({1.0}, "set"), (None, "NoneType"),
     (iter([1.0]), "list_iterator"), ((x for x in [1.0]), "generator"), (frozenset(), "frozenset")],
)
def test_data_that_is_not_a_sequence(value, type_name):
    raises_exactly(
        TypeError, f"argument 'data': '{type_name}' object cannot be converted to 'Sequence'",
        matrix, value, 1, 1, 0.5,
    )


def test_sequences_of_numbers_are_accepted(accepts):
    for data in [
        [1.0, 2.0], (1.0, 2.0), [1, 2], [True, 2.5], b"\x01\x02", range(2), ListSubclass([1.0, 2.0]),
        GetItemSequence([1.0, 2.0]), collections.deque([1.0, 2.0]), [Floaty(1.0), Index(2)], [],
        bytearray(b"\x01\x02"), memoryview(b"\x01\x02"), array_of_doubles([1.0, 2.0]),
    ]:
        assert accepts(matrix, data, 1, 2, 0.5), data


def array_of_doubles(values):
    import array

    return array.array("d", values)


def test_item_errors():
    raises_prefixed(TypeError, "argument 'data': must be real number, not NoneType", matrix, [1.0, None], 1, 2, 0.5)
    raises_prefixed(TypeError, "argument 'data': ", matrix, [1.0, "2"], 1, 2, 0.5)
    raises_prefixed(TypeError, "argument 'data': ", matrix, [[1.0]], 1, 1, 0.5)
    raises_prefixed(TypeError, "argument 'data': ", matrix, (1.0, 2.0, 1j), 1, 3, 0.5)
    raises_exactly(TypeError, "argument 'data': item", matrix, [1.0, RaisingFloat(TypeError("item"))], 1, 2, 0.5)
    with pytest.raises(OverflowError) as info:
        matrix([1.0, 10**400], 1, 2, 0.5)
    assert not str(info.value).startswith("argument")
    error = ValueError("v")
    with pytest.raises(ValueError) as info:
        matrix([RaisingFloat(error)], 1, 1, 0.5)
    assert info.value is error


def test_first_failing_item_ends_the_conversion():
    calls = []

    class Counting:
        def __init__(self, i):
            self.i = i

        def __float__(self):
            calls.append(self.i)
            if self.i >= 1:
                raise TypeError(f"item {self.i}")
            return 1.0

    raises_exactly(TypeError, "argument 'data': item 1", matrix, [Counting(i) for i in range(4)], 2, 2, 0.5)
    assert calls == [0, 1]


def test_iteration_errors():
    raises_exactly(TypeError, "argument 'data': no iter", matrix, IterFails(TypeError("no iter")), 1, 1, 0.5)
    error = RuntimeError("boom")
    with pytest.raises(RuntimeError) as info:
        matrix(IterFails(error), 1, 1, 0.5)
    assert info.value is error
    raises_exactly(TypeError, "argument 'data': late", matrix, IteratorFails(TypeError("late"), 3), 1, 3, 0.5)
    with pytest.raises(KeyError):
        matrix(IteratorFails(KeyError("k"), 2), 1, 2, 0.5)


def test_length_is_only_a_hint(accepts):
    # A failing or wrong __len__ is discarded; the iteration decides.
    assert accepts(matrix, GetItemSequence([1.0, 2.0], length=ValueError("no len")), 1, 2, 0.5)
    assert accepts(matrix, GetItemSequence([1.0, 2.0], length=TypeError("no len")), 1, 2, 0.5)
    assert accepts(matrix, GetItemSequence([1.0, 2.0], length=10**12), 1, 2, 0.5)
    assert accepts(matrix, GetItemSequence([1.0, 2.0], length=0), 1, 2, 0.5)


def test_numpy_arrays_take_their_paths(accepts):
    np = pytest.importorskip("numpy")
    for array in [
        np.arange(6, dtype=np.float64), np.arange(6, dtype=np.float32), np.arange(6),
        np.arange(12, dtype=np.float64)[::2], np.arange(6, dtype=">f8"), np.zeros(0),
        np.frombuffer(b"\x00" + bytes(48), dtype=np.float64, offset=1),
    ]:
        assert accepts(matrix, array, 1, len(array), 0.5)
    # Two-dimensional arrays iterate into rows, which are not floats.
    raises_prefixed(TypeError, "argument 'data': ", matrix, np.ones((2, 3)), 2, 3, 0.5)
    # A 0-d array is a "sequence" that cannot be iterated.
    raises_prefixed(TypeError, "argument 'data': ", matrix, np.array(1.0), 1, 1, 0.5)


# ---- fast paths and the general path give the same values ------------------------------------


def general_path_variants(values):
    yield ListSubclass(values)
    yield GetItemSequence(values)
    yield collections.deque(values)
    yield array_of_doubles(values)


def test_fast_paths_match_the_general_path():
    values = [1.5, -2.25, 0.0, -0.0, 1e-9, 32767.5, -32768.0, 3.0, 1e10, -1e10, 0.1, 7.0]
    rows, cols = 3, 4
    reference = matrix(list(values), rows, cols, 0.01)
    assert matrix(tuple(values), rows, cols, 0.01) == reference
    for variant in general_path_variants(values):
        result = matrix(variant, rows, cols, 0.01)
        assert [repr(x) for x in result] == [repr(x) for x in reference], type(variant)
    # A list with one non-float item leaves the fast path.
    mixed = list(values)
    mixed[5] = Floaty(values[5])
    assert matrix(mixed, rows, cols, 0.01) == reference


def test_numpy_fast_path_matches_the_general_path():
    np = pytest.importorskip("numpy")

    class ArraySubclass(np.ndarray):
        pass

    values = [1.5, -2.25, 0.0, -0.0, 1e-9, 32767.5, -32768.0, 3.0, 1e10, -1e10, 0.1, 7.0]
    reference = matrix(list(values), 3, 4, 0.01)
    arrays = [
        np.array(values, dtype=np.float64),
        np.repeat(np.array(values, dtype=np.float64), 2)[::2],  # not contiguous: general path
        np.array(values, dtype=">f8"),  # foreign byte order: general path
        np.array(values, dtype=np.float64).view(ArraySubclass),  # subclass: general path
        np.frombuffer(b"\x00" + np.array(values).tobytes(), dtype=np.float64, offset=1),  # unaligned
        np.array(values, dtype=np.float64).reshape(3, 4).ravel(),
        np.array(values, dtype=np.float64)[:],  # a view of another array
    ]
    for array in arrays:
        result = matrix(array, 3, 4, 0.01)
        assert [repr(x) for x in result] == [repr(x) for x in reference]


# ---- get_residuals_py ----------------------------------------------------------------------------


def test_get_residuals_py_returns_a_new_empty_list():
    first = residuals(b"x")
    second = residuals(b"x")
    assert first == [] and type(first) is list
    assert first is not second


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((b"",), {}),
        ((b"x", 255), {}),
        ((b"x",), {"_predictor_id": 7, "_weights": b""}),
        ((b"x",), {"_weights": None}),
        ((b"x", 0, b"\x00" * 100), {}),
        ((), {"_data": b"abc", "_predictor_id": True}),
        ((b"\xff" * 100000,), {}),
    ],
)
def test_get_residuals_py_accepts(args, kwargs):
    assert residuals(*args, **kwargs) == []


def test_get_residuals_py_refusals():
    raises_exactly(
        TypeError, "argument '_data': 'str' object cannot be converted to 'PyBytes'", residuals, "x"
    )
    raises_exactly(OverflowError, OUT_OF_RANGE, residuals, b"x", 300)
    raises_exactly(OverflowError, OUT_OF_RANGE, residuals, b"x", -1)
    raises_prefixed(TypeError, "argument '_predictor_id': ", residuals, b"x", _predictor_id=None)
    raises_exactly(
        TypeError, "argument '_weights': 'list' object cannot be converted to 'PyBytes'",
        residuals, b"x", _weights=[1],
    )
    raises_exactly(TypeError, "get_residuals_py() got an unexpected keyword argument 'weights'", residuals, b"x", weights=b"")


def test_get_residuals_py_does_not_read_its_inputs():
    # The list is empty whatever the input, and no byte of the data matters.
    for data in [b"", b"abc", bytes(range(256)) * 10]:
        assert residuals(data, 2, b"\x01" * 48) == []
