"""Hostile input from Python: arguments whose conversion methods raise, lie
or call back into the module, absurd shapes and length fields, crafted and
random chunks. Each case has one clear outcome (a result or one exception of
the documented family), and the module works normally afterwards."""

import random
import re
import struct
import time
import warnings

import pytest

import zelk_native as z
from conftest import internal_fault_type
from hostile_calls import Float, Index, Liar, nested_fault

matrix = z.compress_matrix_v1
residuals = z.get_residuals_py

TRIANGLE = bytes(20 + (i % 200 if i % 200 < 100 else 200 - i % 200) for i in range(2000))
TRIANGLE_CHUNK = z.encode_bytes(TRIANGLE)
NAN = float("nan")


def assert_usable():
    """The module still does its three jobs correctly."""
    assert residuals(b"x") == []
    assert z.decode_bytes(z.encode_bytes(TRIANGLE)) == TRIANGLE
    assert matrix([1.0, 2.0, 3.0, 4.0], 2, 2, 0.0) == [5.0, -2.0000152587890625, -1.0000152587890625, 0.0]


def outcome(call):
    """The call's result, or the exception it raised (any BaseException)."""
    try:
        return call()
    except BaseException as e:  # noqa: B036 - InternalFault is a BaseException
        return e


def fault_reports(err):
    """How many fault reports standard error holds."""
    return len(re.findall(r"^thread '.*' \(\d+\) faulted at ", err, re.M))


# ---- sequences and items that raise ------------------------------------------------------------


class Items:
    """A sequence (old protocol) over `items`; item i may be an exception to raise."""

    def __init__(self, items, length=None):
        self.items = items
        self.length = len(items) if length is None else length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        item = self.items[i]
        if isinstance(item, BaseException):
            raise item
        return item


# Exceptions that are not TypeError pass through the conversion unchanged,
# BaseExceptions included: the module must neither swallow nor wrap them.
PASS_THROUGH = [ValueError("v"), MemoryError(), KeyboardInterrupt(), SystemExit(3), RecursionError("r"),
                ZeroDivisionError("z"), GeneratorExit()]


@pytest.mark.parametrize("error", PASS_THROUGH, ids=lambda e: type(e).__name__)
@pytest.mark.parametrize("position", [0, 1, 70000])
def test_errors_of_iterators_and_items_pass_through(error, position):
    floats = [1.0] * position
    cases = {
        "getitem": Items(floats + [error]),
        "float": floats + [Float(error)],
        "float_in_tuple": tuple(floats) + (Float(error),),
    }
    for name, data in cases.items():
        raised = outcome(lambda: matrix(data, 1, position + 1, 0.5))
        assert type(raised) is type(error) and raised.args == error.args, (name, raised)
        assert raised.__cause__ is None and raised.__context__ is None
    error.__traceback__ = None
    assert_usable()


@pytest.mark.parametrize("position", [0, 5, 70000])
def test_type_errors_of_items_are_prefixed_with_the_parameter(position):
    floats = [1.0] * position
    for data in (floats + [Float(TypeError("bad item"))], Items(floats + [TypeError("bad item")])):
        raised = outcome(lambda: matrix(data, 1, position + 1, 0.5))
        assert type(raised) is TypeError and str(raised) == "argument 'data': bad item"
    # A __float__ that returns something other than a float is the interpreter's TypeError.
    raised = outcome(lambda: matrix(floats + [Float("2.0")], 1, position + 1, 0.5))
    assert type(raised) is TypeError and str(raised).startswith("argument 'data': ")
    assert_usable()


def test_a_warning_turned_error_inside_a_conversion_passes_through():
    class FloatSub(float):
        pass

    # __float__ returning a float subclass is deprecated: with warnings as
    # errors, the DeprecationWarning is the call's exception.
    data = [1.0, Float(lambda: FloatSub(2.0))]
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        raised = outcome(lambda: matrix(data, 1, 2, 0.0))
    assert type(raised) is DeprecationWarning
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        assert matrix(data, 1, 2, 0.0) == matrix([1.0, 2.0], 1, 2, 0.0)
    assert_usable()


def test_a_sequence_mutated_while_it_is_read():
    # Items that empty or extend the list being iterated: the module reads
    # exactly what Python's own iteration yields at that moment.
    data = [1.0, 2.0]

    def shrink():
        del data[1:]
        return 3.0

    data.insert(1, Float(shrink))
    assert matrix(data, 1, 2, 0.0) == matrix([1.0, 3.0], 1, 2, 0.0)

    grown = [0.5]

    def grow():
        grown.extend([4.0, 4.0, 4.0])
        return 0.5

    grown.append(Float(grow))
    # [0.5, 0.5, 4.0, 4.0, 4.0] once iterated: five values.
    assert matrix(grown, 1, 5, 0.0) == matrix([0.5, 0.5, 4.0, 4.0, 4.0], 1, 5, 0.0)
    assert_usable()


def test_an_endless_sequence_ends_in_memory_error(run_python):
    result = run_python(
        """
        import resource
        import zelk_native as z

        class Endless:
            def __len__(self):
                return 0
            def __getitem__(self, i):
                return 1.0

        expected = z.compress_matrix_v1([1.0, 2.0], 1, 2, 0.0)
        with open("/proc/self/statm") as f:
            vm = int(f.read().split()[0]) * resource.getpagesize()
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (vm + 64 * 2**20, hard))
        try:
            z.compress_matrix_v1(Endless(), 1, 1, 0.5)
            print("returned")
        except MemoryError:
            print("MemoryError")
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        print(z.compress_matrix_v1([1.0, 2.0], 1, 2, 0.0) == expected)
        """
    )
    assert result.stdout.splitlines() == ["MemoryError", "True"]
    assert "faulted at" not in result.stderr


def test_unbounded_reentry_ends_in_recursion_error():
    # Every item's __float__ calls the module again with such an item: the
    # interpreter's recursion limit ends it, and each level passes the error on.
    class Again:
        def __float__(self):
            return matrix([Again()], 1, 1, 0.0)[0]

    raised = outcome(lambda: matrix([Again()], 1, 1, 0.0))
    assert type(raised) is RecursionError
    assert_usable()


# ---- internal faults coming back from Python code ----------------------------------------------


def faulting_calls():
    """Calls in which Python code run by a conversion calls the module into a fault."""
    fault_float = Float(nested_fault)
    fault_index = Index(nested_fault)

    class FaultingItems(Items):
        def __getitem__(self, i):
            if i == 1:
                nested_fault()
            return super().__getitem__(i)

    faulting_items = FaultingItems([1.0, 1.0])

    class FaultingLength(Items):
        def __len__(self):
            nested_fault()

    class FaultingStr:
        def __str__(self):
            nested_fault()

    class FaultingName(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                nested_fault()
            return super().__getattribute__(name)

    nameless = FaultingName("Nameless", (), {})()
    return {
        "item __float__": lambda: matrix([1.0, fault_float], 1, 2, 0.5),
        "sequence __getitem__": lambda: matrix(faulting_items, 1, 2, 0.5),
        "sequence __len__": lambda: matrix(FaultingLength([1.0]), 1, 1, 0.5),
        "rows __index__": lambda: matrix([1.0], fault_index, 1, 0.5),
        "cols __index__": lambda: matrix([1.0], 1, fault_index, 0.5),
        "threshold __float__": lambda: matrix([1.0], 1, 1, fault_float),
        "predictor_id __index__": lambda: z.encode_bytes(TRIANGLE, fault_index),
        "decode predictor_id __index__": lambda: z.decode_bytes(TRIANGLE_CHUNK, fault_index),
        "residuals predictor_id __index__": lambda: residuals(b"x", fault_index),
        "str() of a TypeError being prefixed": lambda: matrix([Float(TypeError(FaultingStr()))], 1, 1, 0.5),
        "type name of a refused argument": lambda: z.encode_bytes(nameless),
        "type name of a refused sequence": lambda: matrix(nameless, 1, 1, 0.5),
    }


@pytest.mark.parametrize("name", list(faulting_calls()))
def test_a_fault_inside_a_conversion_resumes(name, capfd):
    InternalFault = internal_fault_type()
    capfd.readouterr()
    raised = outcome(faulting_calls()[name])
    assert type(raised) is InternalFault
    assert raised.args == ("NaN",)
    err = capfd.readouterr().err
    assert fault_reports(err) == 1  # the nested fault's report; the resumed one writes none
    assert err.count("Python stack trace below:") == 1
    assert "zelk_runtime.InternalFault: NaN" in err
    assert_usable()


def test_a_fault_resumes_through_two_levels(capfd):
    InternalFault = internal_fault_type()
    capfd.readouterr()
    inner = Float(nested_fault)
    outer = Float(lambda: matrix([inner], 1, 1, 0.0))
    raised = outcome(lambda: matrix([outer], 1, 1, 0.0))
    assert type(raised) is InternalFault and raised.args == ("NaN",)
    err = capfd.readouterr().err
    assert fault_reports(err) == 1
    assert err.count("Python stack trace below:") == 2
    assert_usable()


def test_a_fault_caught_by_python_code_does_not_disturb_the_outer_call(capfd):
    InternalFault = internal_fault_type()
    seen = []

    def swallow():
        try:
            nested_fault()
        except InternalFault as e:
            seen.append(str(e))
        # The inner call also runs the codec: state of one call never reaches another.
        assert z.decode_bytes(z.encode_bytes(TRIANGLE, 0, b"\x01" * 30), 0, b"\x01" * 30) == TRIANGLE
        return 3.0

    assert matrix([1.0, Float(swallow), 3.0, 4.0], 2, 2, 0.0) == matrix([1.0, 3.0, 3.0, 4.0], 2, 2, 0.0)
    assert seen == ["NaN"]
    assert "Python stack trace below:" not in capfd.readouterr().err
    # Nor does a predictor_id whose __index__ meets a fault on the way.
    def one_after_a_fault():
        assert type(outcome(nested_fault)) is InternalFault
        return 1

    assert z.encode_bytes(TRIANGLE, Index(one_after_a_fault)) == z.encode_bytes(TRIANGLE, 1)


def test_a_subclass_of_internal_fault_from_python_is_an_ordinary_error(capfd):
    InternalFault = internal_fault_type()

    class Derived(InternalFault):
        pass

    raised = outcome(lambda: matrix([Float(Derived("own"))], 1, 1, 0.5))
    assert type(raised) is Derived and raised.args == ("own",)
    assert "Python stack trace below:" not in capfd.readouterr().err
    assert_usable()


# ---- arguments dropped by the caller's own dict -------------------------------------------------


def test_arguments_whose_dict_entries_are_dropped_mid_call(run_python):
    # Python code run by a conversion can find the keyword dict of a
    # `f(**kw)` call (gc.get_referrers) and replace its entries: the module
    # must keep every argument alive itself. Run apart, since reading a freed
    # argument may crash the interpreter.
    result = run_python(
        """
        import gc, struct
        import zelk_native as z

        class Dropper:
            # Once: replaces `key` in every dict that refers to this object
            # (or to a list holding it), then allocates objects of the dropped one's kind, which take
            # over its memory if nothing else holds it.
            def __init__(self, key, value, refill):
                self.key, self.value, self.refill, self.done = key, value, refill, False
            def drop(self):
                if not self.done:
                    self.done = True
                    holders = gc.get_referrers(self)
                    holders += [h for l in holders if type(l) is list for h in gc.get_referrers(l)]
                    for holder in holders:
                        if type(holder) is dict and self.key in holder:
                            holder[self.key] = None
                    self.filler = [self.refill(i) for i in range(50)]
                return self.value
            __index__ = __float__ = drop

        data = bytes(i * 7 // 5 % 251 for i in range(300000))
        weights = struct.pack("<12i", *range(9000, 21000, 1000)) + bytes(200000)
        big = lambda n: lambda i: bytes([i]) * n
        own = lambda b: bytes(bytearray(b))  # a new object that only the dict holds
        kw = {"data": own(data), "predictor_id": Dropper("data", 1, big(len(data)))}
        print("encode", z.encode_bytes(**kw) == z.encode_bytes(data, 1))
        chunk = z.encode_bytes(data[:3000], 0, weights)
        kw = {"data": chunk, "predictor_id": Dropper("weights", 0, big(len(weights))), "weights": own(weights)}
        print("decode", z.decode_bytes(**kw) == data[:3000])
        kw = {"_data": b"x", "_predictor_id": Dropper("_weights", 0, big(len(weights))), "_weights": own(weights)}
        print("residuals", z.get_residuals_py(**kw) == [])
        values = [0.25 * (i % 1000) for i in range(300 * 260)]  # both sides beyond the cached small ints
        expected = z.compress_matrix_v1(values, 300, 260, 0.3)
        refills = {"rows": lambda i: int(str(10**6 + i)), "cols": lambda i: int(str(10**6 + i)),
                   "threshold": lambda i: float(str(99.5 + i))}
        for key, refill in refills.items():
            kw = {"data": values[:-1] + [Dropper(key, values[-1], refill)], "rows": int("300"),
                  "cols": int("260"), "threshold": float("0.3")}
            print(key, z.compress_matrix_v1(**kw) == expected)
        """
    )
    lines = [line for line in result.stdout.splitlines() if not line.startswith("DEBUG")]
    assert lines == ["encode True", "decode True", "residuals True", "rows True", "cols True", "threshold True"]


# ---- bytes subclasses -------------------------------------------------------------------------


class RaisingLiar(bytes):
    def __len__(self):
        raise RuntimeError("no len")

    def __iter__(self):
        raise RuntimeError("no iter")

    def __bytes__(self):
        raise RuntimeError("no bytes")


@pytest.mark.parametrize("kind", [Liar, RaisingLiar])
def test_bytes_subclasses_are_read_from_their_storage(kind):
    weights = struct.pack("<12i", *range(9000, 21000, 1000))
    chunk = z.encode_bytes(kind(TRIANGLE), 0, kind(weights))
    assert chunk == z.encode_bytes(TRIANGLE, 0, weights)
    assert z.compress_adaptive(kind(TRIANGLE), 2, kind(weights)) == chunk
    assert z.decode_bytes(kind(chunk), 0, kind(weights)) == TRIANGLE
    assert residuals(kind(b"abc"), 0, kind(b"")) == []
    with pytest.raises(OSError) as info:
        z.decode_bytes(kind(b"\xa0\0\0"))
    assert info.value.args == ("InvalidData: Chunk too short",)


def test_bytes_subclass_as_matrix_data_is_iterated():
    # For the matrix the data is any sequence, read by iteration: the
    # subclass's own __iter__ is what counts there.
    assert matrix(Liar(b"\x01\x02\x03\x04"), 1, 3, 0.0) == matrix([7.0, 7.0, 7.0], 1, 3, 0.0)
    raised = outcome(lambda: matrix(RaisingLiar(b"\x01"), 1, 1, 0.0))
    assert type(raised) is RuntimeError and str(raised) == "no iter"


# ---- __index__ for predictor_id, rows and cols -------------------------------------------------


@pytest.mark.parametrize("value", [-1, 256, 2**63, 2**64, -(2**200), 2**10000])
def test_index_out_of_range(value):
    for call in (lambda: z.encode_bytes(TRIANGLE, Index(value)), lambda: residuals(b"x", Index(value))):
        raised = outcome(call)
        assert type(raised) is OverflowError and not str(raised).startswith("argument")
    if value < 0 or value >= 2**64:
        for call in (lambda: matrix([1.0], Index(value), 1, 0.5), lambda: matrix([1.0], 1, Index(value), 0.5)):
            raised = outcome(call)
            assert type(raised) is OverflowError and not str(raised).startswith("argument")
    assert_usable()


@pytest.mark.parametrize("value", [1.0, "1", None, [1]])
def test_index_returning_a_non_integer(value):
    for parameter, call in [
        ("predictor_id", lambda: z.decode_bytes(TRIANGLE_CHUNK, Index(value))),
        ("rows", lambda: matrix([1.0], Index(value), 1, 0.5)),
        ("cols", lambda: matrix([1.0], 1, Index(value), 0.5)),
    ]:
        raised = outcome(call)
        assert type(raised) is TypeError
        assert str(raised).startswith(f"argument '{parameter}': __index__ returned non-int")
    assert_usable()


def test_index_raising():
    for error in [ValueError("v"), KeyboardInterrupt(), TypeError("t")]:
        for parameter, call in [
            ("predictor_id", lambda: z.encode_bytes(TRIANGLE, Index(error))),
            ("rows", lambda: matrix([1.0], Index(error), 1, 0.5)),
            ("cols", lambda: matrix([1.0], 1, Index(error), 0.5)),
        ]:
            raised = outcome(call)
            if type(error) is TypeError:
                assert type(raised) is TypeError and str(raised) == f"argument '{parameter}': t"
            else:
                assert type(raised) is type(error) and raised.args == error.args
    assert_usable()


def test_index_values_in_range_are_used():
    assert z.encode_bytes(TRIANGLE, Index(2)) == z.encode_bytes(TRIANGLE, 2)
    with pytest.raises(OSError, match="Unsupported Predictor ID: 3"):
        z.encode_bytes(TRIANGLE, Index(3))
    assert residuals(b"x", Index(255)) == []
    assert matrix([1.0, 2.0], Index(1), Index(2), 0.0) == matrix([1.0, 2.0], 1, 2, 0.0)
    assert matrix([1.0, 2.0], Index(2), Index(1), 0.0) == matrix([1.0, 2.0], 2, 1, 0.0)


# ---- absurd shapes ----------------------------------------------------------------------------

ALL_ONES = 2**64 - 1


@pytest.mark.parametrize(
    "length, rows, cols",
    [
        # rows * cols wraps modulo 2**64 onto the data's length: still no match.
        (1, ALL_ONES, ALL_ONES),
        (4, 2**63 + 2, 2),
        (2, 3, 0x5555555555555556),
        (0, 2**32, 2**32),
        (0, 2**63, 2),
        (6, 2**63 + 3, 2),
        # One side huge, the other 0 or 1.
        (0, ALL_ONES, 1),
        (0, 1, ALL_ONES),
        (3, ALL_ONES, 0),
        (3, 0, ALL_ONES),
        (3, ALL_ONES, 1),
    ],
)
def test_huge_shapes_are_mismatches(length, rows, cols):
    started = time.monotonic()
    data = [NAN] * length  # never looked at: the shape does not match
    assert matrix(data, rows, cols, 0.5) == []
    assert matrix(data, Index(rows), Index(cols), 0.5) == []
    assert time.monotonic() - started < 1


def test_empty_data_with_one_huge_side():
    # 0 x huge and huge x 0 hold no values: the empty matrix, at once.
    started = time.monotonic()
    assert matrix([], ALL_ONES, 0, 0.5) == []
    assert matrix([], 0, ALL_ONES, 0.5) == []
    assert time.monotonic() - started < 1


# ---- the length field ---------------------------------------------------------------------------


def test_unaffordable_length_fields_are_memory_errors(run_python):
    # The decoder reserves the whole output first. Under a range of
    # address-space limits a 4 GiB (or 2 GiB) length is a clean MemoryError
    # every time, raised before any decoding, and the module goes on working.
    result = run_python(
        """
        import resource, time
        import zelk_native as z

        def vm_bytes():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[0]) * resource.getpagesize()

        z.decode_bytes(b"\\xa0\\0\\0\\0\\0")
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        chunks = [b"\\xa0\\xff\\xff\\xff\\xff\\x00\\x01", b"\\xa2\\xff\\xff\\xff\\xff" + bytes(24) + b"\\x07",
                  b"\\xa0\\x00\\x00\\x00\\x80", b"\\xa0\\xff\\xff\\xff\\xff"]
        for extra_mib in (0, 1, 30, 100, 1000):
            for chunk in chunks:
                started = time.monotonic()
                resource.setrlimit(resource.RLIMIT_AS, (vm_bytes() + extra_mib * 2**20, hard))
                try:
                    z.decode_bytes(chunk)
                    outcome = "returned"
                except MemoryError as e:
                    outcome = "MemoryError" if e.args == () else repr(e)
                except BaseException as e:
                    outcome = type(e).__name__
                finally:
                    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
                assert time.monotonic() - started < 5
                print(extra_mib, outcome)
        data = bytes(range(100)) * 30
        print(z.decode_bytes(z.encode_bytes(data)) == data)
        """
    )
    lines = result.stdout.splitlines()
    assert lines[-1] == "True"
    assert [line.split()[1] for line in lines[:-1] if not line.startswith("DEBUG")] == ["MemoryError"] * 20
    assert "faulted at" not in result.stderr and result.stderr == ""


# ---- crafted payloads that collapse the decoder's range --------------------------------------


def collapsing_payload(symbols):
    """(count, payload): the range coder's bytes for the first `count` of
    `symbols`, the last of which collapses its range, then the four flush
    bytes: what a conforming encoder never emits. Only the slices of
    residuals -127, 0 and +127 are needed: symbol 1 is [1, 2), symbol 128 is
    [31132, 34405) and symbol 255 is [65535, 65536) of 65536."""
    slices = {1: (1, 1), 128: (31132, 3273), 255: (65535, 1)}
    low, rng, out = 0, 0xFFFFFFFF, bytearray()
    for count, s in enumerate(symbols, 1):
        start, freq = slices[s]
        r = rng >> 16
        low, rng = (low + start * r) & 0xFFFFFFFF, freq * r
        while True:
            if (low ^ (low + rng)) >= 1 << 24:
                if rng > 0xFFFF:
                    break
                rng = 0xFFFF - (low & 0xFFFF)
                if rng == 0:
                    return count, bytes(out) + low.to_bytes(4, "big")
            out.append(low >> 24)
            low, rng = (low << 8) & 0xFFFFFFFF, (rng << 8) & 0xFFFFFFFF
    raise AssertionError("the symbols do not collapse the range")


def collapsing_symbol_runs():
    rnd = random.Random(7)
    mix = [255 if rnd.randrange(3) == 0 else 128 for _ in range(100000)]
    return {"two -127": [1, 1], "511 +127": [255] * 511, "mix of 0 and +127": mix}


RUNS = collapsing_symbol_runs()


@pytest.mark.parametrize("name", list(RUNS))
@pytest.mark.parametrize("header", [b"\xa0", b"\xa2"])
def test_a_collapsed_range_neither_hangs_nor_reads_on(name, header):
    count, payload = collapsing_payload(RUNS[name])
    length = count + 20000
    prefix = header + struct.pack("<I", length) + (struct.pack("<6i", *[11000] * 6) if header == b"\xa2" else b"")
    started = time.monotonic()
    decoded = z.decode_bytes(prefix + payload)
    assert time.monotonic() - started < 10
    assert len(decoded) == length
    # Past the collapse the decoder reads nothing more: whatever follows the
    # payload leaves the result as it is.
    junk = random.Random(name).randbytes(4096)
    assert z.decode_bytes(prefix + payload + junk) == decoded
    # An ordinary payload of that length is read on (the check above can fail).
    assert z.decode_bytes(prefix + junk[:len(payload)] + junk) != z.decode_bytes(prefix + junk[:len(payload)])
    assert_usable()


# ---- weight bytes of every length ------------------------------------------------------------


def weight_strings(n, rnd):
    """Weight bytes of length n: mixer-like words, then extreme words, zero
    bytes or random bytes in turns by length."""
    plausible = struct.pack("<26i", *range(8000, 34000, 1000))[:n]
    extreme = struct.pack("<8i", 0x7FFFFFFF, -0x80000000, 0, -1, 1, 65536, -65536, 0x40000000) * 4
    return plausible, [extreme[:n], bytes(n), rnd.randbytes(n)][n % 3]


def test_weight_bytes_of_every_length_round_trip():
    rnd = random.Random(100)
    data = TRIANGLE[:400]
    for n in range(101):
        plausible, hostile = weight_strings(n, rnd)
        for weights in (plausible, hostile):
            try:
                chunk = z.encode_bytes(data, 0, weights)
            except OSError as e:
                # Hostile weights may well make the data grow; mixer-like ones must not.
                assert e.args == ("CompressionError: Expansion detected",) and weights is hostile, n
                continue
            assert chunk[0] == (0xA2 if n else 0xA0)
            assert z.decode_bytes(chunk, 0, weights) == data, n
            # Other weights give the stated length of wrong or right bytes, never a failure.
            for other in (weights[: n // 2], rnd.randbytes((n * 7 + 13) % 101)):
                assert len(z.decode_bytes(chunk, 0, other)) == len(data)


# ---- truncated and random chunks --------------------------------------------------------------


@pytest.mark.parametrize("weights", [None, struct.pack("<12i", *range(9000, 21000, 1000))])
def test_every_truncation_of_a_chunk(weights):
    data = TRIANGLE[:300]
    chunk = z.encode_bytes(data, 0, weights)
    header = 29 if weights else 5
    for cut in range(len(chunk) + 1):
        piece = chunk[:cut]
        raised = outcome(lambda: z.decode_bytes(piece, 0, weights))
        if cut < 5:
            assert isinstance(raised, OSError) and raised.args == ("InvalidData: Chunk too short",)
        elif cut < header:
            assert isinstance(raised, OSError)
            assert raised.args == ("InvalidData: Chunk too short for Neural Header",)
        else:
            # The missing tail reads as zero bytes.
            assert raised == z.decode_bytes(piece + bytes(len(chunk) - cut + 8), 0, weights)
            assert len(raised) == len(data)
    assert raised == data


def expected_refusal(chunk):
    """The refusal text the header of `chunk` calls for, or None if it decodes."""
    if len(chunk) < 5:
        return "InvalidData: Chunk too short"
    version, mode = chunk[0] >> 4, chunk[0] & 15
    if version != 10:
        return f"InvalidData: Version Mismatch: File v{version} != Library v10"
    if mode > 3:
        return f"InvalidData: Unknown codec mode: 0x{mode:x}"
    if mode == 1:
        return "CompressionError: Zstd fallback chunk - handle externally"
    if mode == 3:
        return "Other: Split not reimplemented yet"
    if mode == 2 and len(chunk) <= 28:
        return "InvalidData: Chunk too short for Neural Header"
    return None


def test_random_byte_strings():
    rnd = random.Random(2024)
    decoded = 0
    for i in range(600):
        chunk = bytearray(rnd.randbytes(rnd.randrange(0, 80)))
        if chunk and i % 4:
            chunk[0] = rnd.choice([0xA0, 0xA2, 0xA0, 0xA2, 0xA1, 0xA3, 0xA9])
        if len(chunk) >= 5 and chunk[0] in (0xA0, 0xA2):
            chunk[1:5] = struct.pack("<I", rnd.randrange(0, 600))  # keep the work bounded
        chunk = bytes(chunk)
        weights = rnd.choice([None, b"", rnd.randbytes(rnd.randrange(0, 70))])
        raised = outcome(lambda: z.decode_bytes(chunk, rnd.randrange(256), weights))
        refusal = expected_refusal(chunk)
        if refusal is None:
            assert type(raised) is bytes and len(raised) == struct.unpack_from("<I", chunk, 1)[0]
            decoded += 1
        else:
            assert type(raised) is OSError and raised.args == (refusal,), (chunk, raised)
    assert 100 < decoded < 500
    assert_usable()
