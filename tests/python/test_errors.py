"""Error mapping, InternalFault, and what reaches standard error."""

import gc
import sys

import pytest

import zelk_native
from conftest import internal_fault_type

matrix = zelk_native.compress_matrix_v1
residuals = zelk_native.get_residuals_py

INTERNAL_FAULT_DOC = (
    "Raised when native code called from Python hits an internal fault.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit."
)


def fault():
    """An internal fault now and later: compress_matrix_v1 with a NaN threshold."""
    with pytest.raises(BaseException) as info:
        matrix([1.0], 1, 1, float("nan"))
    return info.value


# ---- InternalFault ---------------------------------------------------------------------------


def test_internal_fault_type(InternalFault):
    assert InternalFault.__name__ == "InternalFault"
    assert InternalFault.__qualname__ == "InternalFault"
    assert InternalFault.__module__ == "zelk_runtime"
    assert InternalFault.__bases__ == (BaseException,)
    assert InternalFault.__mro__ == (InternalFault, BaseException, object)
    assert not issubclass(InternalFault, Exception)
    assert InternalFault.__doc__ == INTERNAL_FAULT_DOC
    # No extra class dictionary entries beyond what PyErr_NewExceptionWithDoc makes.
    assert set(vars(InternalFault)) <= {"__module__", "__doc__", "__weakref__", "__dict__"}
    assert not hasattr(zelk_native, "InternalFault")


def test_fault_value(InternalFault):
    error = fault()
    assert type(error) is InternalFault
    assert len(error.args) == 1 and type(error.args[0]) is str
    assert str(error) == error.args[0]
    assert str(error) == "NaN"


def test_except_exception_does_not_catch_it(InternalFault):
    caught_by = None
    try:
        try:
            matrix([1.0], 1, 1, float("nan"))
        except Exception:
            caught_by = "Exception"
    except BaseException as e:  # noqa: B036
        caught_by = type(e)
    assert caught_by is InternalFault


def test_the_same_type_for_every_fault(InternalFault):
    faults = [fault() for _ in range(5)]
    try:
        zelk_native.encode_bytes(b"abc", 0)
    except BaseException as e:  # noqa: B036
        if type(e).__name__ == "InternalFault":
            faults.append(e)
    assert all(type(e) is InternalFault for e in faults)
    assert internal_fault_type() is InternalFault


def test_fault_leaves_the_module_usable():
    for _ in range(3):
        fault()
        assert residuals(b"x") == []
        with pytest.raises(TypeError):
            residuals("x")
    assert zelk_native.__all__[-1] == "__version__"


def test_fault_writes_its_report_to_stderr(capfd):
    error = fault()
    err = capfd.readouterr().err
    assert "faulted at" in err
    assert str(error) in err.splitlines()
    assert capfd.readouterr().out == ""


def test_internal_fault_type_is_created_on_first_need(run_python):
    result = run_python(
        """
        import gc
        import zelk_native

        def fault_types():
            return [t for t in gc.get_objects()
                    if isinstance(t, type) and t.__module__ == "zelk_runtime"]

        for bad in ("x", 1.0, None):
            try:
                zelk_native.get_residuals_py(bad)
            except TypeError:
                pass
        print("before:", len(fault_types()))
        types = []
        for _ in range(3):
            try:
                zelk_native.compress_matrix_v1([1.0], 1, 1, float("nan"))
            except BaseException as e:
                types.append(type(e))
        print("after:", len(fault_types()), all(t is types[0] for t in types),
              fault_types()[0] is types[0])
        """
    )
    assert result.stdout.splitlines() == ["before: 0", "after: 1 True True"]


def test_an_uncaught_fault_ends_the_interpreter_with_a_traceback(run_python):
    result = run_python(
        """
        import zelk_native
        zelk_native.compress_matrix_v1([1.0], 1, 1, float("nan"))
        print("not reached")
        """,
        check=False,
    )
    assert result.returncode == 1
    assert "not reached" not in result.stdout
    assert "zelk_runtime.InternalFault: " in result.stderr
    assert "faulted at" in result.stderr


# ---- what reaches standard error ---------------------------------------------------------------


def test_argument_errors_leave_stderr_empty(capfd):
    bad_calls = [
        lambda: zelk_native.encode_bytes(),
        lambda: zelk_native.encode_bytes(bytearray(b"x")),
        lambda: zelk_native.encode_bytes(b"x", 256),
        lambda: zelk_native.decode_bytes(b"x", foo=1),
        lambda: zelk_native.compress_adaptive(b"x", 1.5),
        lambda: residuals(b"x", _weights=[1]),
        lambda: matrix("ab", 1, 2, 0.5),
        lambda: matrix([1.0, None], 1, 2, 0.5),
        lambda: matrix([1.0], -1, 1, 0.5),
        lambda: matrix([1.0], 1, 1, "t"),
        lambda: matrix(5, 1, 1, 0.5),
    ]
    for call in bad_calls:
        with pytest.raises((TypeError, OverflowError)):
            call()
    captured = capfd.readouterr()
    assert captured.err == ""
    assert captured.out == ""


def test_successful_calls_print_nothing(capfd):
    residuals(b"x")
    residuals(b"x", 3, b"")
    captured = capfd.readouterr()
    assert captured.err == "" and captured.out == ""


# ---- remap_argument_error -----------------------------------------------------------------------


class RaisingFloat:
    def __init__(self, exc, cause=None):
        self.exc = exc
        self.cause = cause

    def __float__(self):
        if self.cause is not None:
            raise self.exc from self.cause
        raise self.exc


def test_remapped_error_carries_the_original_cause():
    root = ValueError("root")
    inner = TypeError("inner")
    with pytest.raises(TypeError) as info:
        matrix([RaisingFloat(inner, cause=root)], 1, 1, 0.5)
    error = info.value
    assert type(error) is TypeError
    assert error is not inner
    assert str(error) == "argument 'data': inner"
    assert error.__cause__ is root
    # The caught exception itself is not chained.
    assert error.__context__ is not inner


def test_remapped_error_without_cause():
    inner = TypeError("inner")
    with pytest.raises(TypeError) as info:
        matrix([1.0], 1, 1, RaisingFloat(inner))
    assert str(info.value) == "argument 'threshold': inner"
    assert info.value.__cause__ is None
    assert info.value.__context__ is not inner


def test_type_error_subclasses_pass_unchanged():
    class MyTypeError(TypeError):
        pass

    inner = MyTypeError("mine")
    with pytest.raises(MyTypeError) as info:
        matrix([RaisingFloat(inner)], 1, 1, 0.5)
    assert info.value is inner
    assert str(info.value) == "mine"


@pytest.mark.parametrize("exc_type", [OverflowError, ValueError, KeyError, ZeroDivisionError, MemoryError])
def test_other_error_types_pass_unchanged(exc_type):
    inner = exc_type("x")
    with pytest.raises(exc_type) as info:
        matrix([1.0], 1, 1, RaisingFloat(inner))
    assert info.value is inner


class Unprintable:
    def __str__(self):
        raise ValueError("str failed")

    __repr__ = __str__


def test_unprintable_error_falls_back_and_reports_unraisable(monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    inner = TypeError(Unprintable())
    with pytest.raises(TypeError) as info:
        matrix([RaisingFloat(inner)], 1, 1, 0.5)
    assert str(info.value) == "argument 'data': <unprintable TypeError object>"
    assert len(reports) == 1
    assert type(reports[0].exc_value) is ValueError
    assert str(reports[0].exc_value) == "str failed"
    assert reports[0].object is inner


def test_unprintable_index_error_of_predictor_id(monkeypatch):
    # A predictor_id whose __index__ raises an unprintable TypeError.
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)

    class BadIndex:
        def __index__(self):
            raise TypeError(Unprintable())

    with pytest.raises(TypeError) as info:
        residuals(b"x", BadIndex())
    assert str(info.value) == "argument '_predictor_id': <unprintable TypeError object>"
    assert len(reports) == 1


# ---- InternalFault coming back from Python code ----------------------------------------------------


class NestedFault:
    """An item whose __float__ calls the module into an internal fault."""

    def __init__(self):
        self.message = None

    def __float__(self):
        try:
            matrix([1.0], 1, 1, float("nan"))
        except BaseException as e:  # noqa: B036
            self.message = str(e)
            raise
        return 0.0


def test_fault_from_python_code_is_resumed(InternalFault, capfd):
    item = NestedFault()
    with pytest.raises(BaseException) as info:
        matrix([1.0, item], 1, 2, 0.5)
    error = info.value
    assert type(error) is InternalFault
    assert item.message == "NaN"
    assert str(error) == item.message
    err = capfd.readouterr().err
    header = [line for line in err.splitlines() if line.startswith("---")]
    assert len(header) == 1 and header[0].endswith("---")
    assert "resuming" in header[0]
    assert "Python stack trace below:" in err
    assert "Traceback (most recent call last):" in err
    assert "in __float__" in err
    assert "zelk_runtime.InternalFault: " + item.message in err
    # The nested fault wrote its report; the resumed fault does not write another.
    assert err.count("faulted at") == 1
    assert residuals(b"x") == []


def test_resumed_fault_from_a_sequence_iterator(InternalFault, capfd):
    class FaultingSequence:
        def __len__(self):
            return 2

        def __getitem__(self, i):
            if i == 1:
                matrix([1.0], 1, 1, float("nan"))
            if i > 1:
                raise IndexError
            return 1.0

    with pytest.raises(BaseException) as info:
        matrix(FaultingSequence(), 1, 2, 0.5)
    assert type(info.value) is InternalFault
    assert "Python stack trace below:" in capfd.readouterr().err


def test_resumed_fault_with_unprintable_message(InternalFault, capfd):
    class RaisesFault:
        def __float__(self):
            raise InternalFault(Unprintable())

    with pytest.raises(BaseException) as info:
        matrix([RaisesFault()], 1, 1, 0.5)
    assert type(info.value) is InternalFault
    assert str(info.value) == "Unwrapped internal fault from Python code"
    assert "Python stack trace below:" in capfd.readouterr().err


def test_internal_fault_raised_by_python_code_is_resumed_with_its_message(InternalFault, capfd):
    class RaisesFault:
        def __index__(self):
            raise InternalFault("made in Python")

    with pytest.raises(BaseException) as info:
        residuals(b"x", RaisesFault())
    assert type(info.value) is InternalFault
    assert str(info.value) == "made in Python"
    err = capfd.readouterr().err
    assert "Python stack trace below:" in err
    assert "zelk_runtime.InternalFault: made in Python" in err


# ---- MemoryError for native allocation failures -------------------------------------------------


def test_native_allocation_failure_is_memory_error(run_python):
    # Under an address-space limit the converter's vector cannot grow: the call
    # ends in MemoryError (std::bad_alloc), and after the limit is lifted the
    # module works.
    result = run_python(
        """
        import resource, gc
        import zelk_native

        class Huge:
            def __len__(self):
                return 10**6          # an 8 MB capacity hint
            def __getitem__(self, i):
                if i < 2:
                    return 1.0
                raise IndexError

        def vm_bytes():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[0]) * resource.getpagesize()

        zelk_native.get_residuals_py(b"x")
        gc.collect()
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        outcome = None
        resource.setrlimit(resource.RLIMIT_AS, (vm_bytes() + 4 * 2**20, hard))
        try:
            zelk_native.compress_matrix_v1(Huge(), 1, 2, 0.5)
            outcome = "no error"
        except MemoryError as e:
            # Raised by the call itself (PyErr_NoMemory), not from Python code inside it.
            outcome = "MemoryError" if e.__traceback__.tb_next is None and e.args == () else repr(e)
        except BaseException as e:
            outcome = type(e).__name__
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        print(outcome)
        print(zelk_native.get_residuals_py(b"x"))
        try:
            zelk_native.compress_matrix_v1(Huge(), 1, 2, 0.5)
            print("accepted")
        except BaseException as e:
            print(type(e).__name__)
        """
    )
    lines = result.stdout.splitlines()
    assert lines[0] == "MemoryError"
    assert lines[1] == "[]"
    assert lines[2] in ("accepted", "InternalFault")
    assert "faulted at" not in result.stderr.split("\n")[0]


# ---- OSError for codec refusals (once the codec bodies exist) --------------------------------------


def test_codec_refusal_is_oserror():
    try:
        zelk_native.decode_bytes(b"\x00\x00\x00\x00")
    except OSError as e:
        assert type(e) is OSError
        assert e.args == ("InvalidData: Chunk too short",)
        assert e.errno is None and e.strerror is None
    else:
        raise AssertionError("decode_bytes accepted a 4-byte chunk")


def test_gc_finds_no_stray_exception_objects():
    gc.collect()
    before = sum(1 for o in gc.get_objects() if isinstance(o, BaseException))
    for _ in range(100):
        with pytest.raises(TypeError):
            matrix([RaisingFloat(TypeError("x"), cause=ValueError("c"))], 1, 1, 0.5)
    gc.collect()
    after = sum(1 for o in gc.get_objects() if isinstance(o, BaseException))
    assert after <= before + 2
