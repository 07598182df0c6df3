"""No reference leaks: many calls with good and bad arguments leave the
arguments' reference counts and the process's memory where they were."""

import gc
import os
import resource
import shutil
import subprocess
import sys
import textwrap

import pytest

import hostile_calls
import zelk_native

matrix = zelk_native.compress_matrix_v1
residuals = zelk_native.get_residuals_py


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()


class Floaty:
    def __float__(self):
        return 2.5


class BadFloat:
    def __float__(self):
        raise TypeError("bad float")


class Sequence:
    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


DATA = b"some bytes to pass" * 4
WEIGHTS = b"\x00\x00\x01\x00" * 12
FLOATS = [1.0, 2.0, 3.0, 4.0]
FLOAT_TUPLE = tuple(FLOATS)
MIXED = [1.0, 2, Floaty(), True]
FLOATY = MIXED[2]
BAD_ITEMS = [1.0, BadFloat()]
BAD = BAD_ITEMS[1]
SEQUENCE = Sequence(FLOATS)
NOT_BYTES = bytearray(b"abc")
TEXT = "text"
BIG = 2**70
THRESHOLD = 0.25
PREDICTOR = 200


def calls():
    """(function, args, kwargs) triples: good calls and every kind of refusal."""
    return [
        (residuals, (DATA,), {}),
        (residuals, (DATA, PREDICTOR, WEIGHTS), {}),
        (residuals, (), {"_data": DATA, "_weights": WEIGHTS}),
        (residuals, (NOT_BYTES,), {}),
        (residuals, (DATA, BIG), {}),
        (residuals, (DATA, 300), {}),
        (residuals, (DATA, TEXT), {}),
        (residuals, (DATA,), {"_weights": FLOATS}),
        (residuals, (DATA, 0, WEIGHTS, TEXT), {}),
        (residuals, (DATA,), {"_data": DATA}),
        (residuals, (DATA,), {"other": DATA}),
        (residuals, (), {}),
        (zelk_native.encode_bytes, (TEXT,), {}),
        (zelk_native.decode_bytes, (DATA, BIG), {}),
        (zelk_native.compress_adaptive, (DATA,), {"weights": NOT_BYTES}),
        (matrix, (FLOATS, 2, 2, THRESHOLD), {}),
        (matrix, (FLOAT_TUPLE, 2, 2, THRESHOLD), {}),
        (matrix, (MIXED, 2, 2, THRESHOLD), {}),
        (matrix, (SEQUENCE, 2, 2, THRESHOLD), {}),
        (matrix, (DATA, 1, len(DATA), THRESHOLD), {}),
        (matrix, (BAD_ITEMS, 1, 2, THRESHOLD), {}),
        (matrix, (TEXT, 1, 2, THRESHOLD), {}),
        (matrix, (FLOATS, -1, 2, THRESHOLD), {}),
        (matrix, (FLOATS, 2, BIG, THRESHOLD), {}),
        (matrix, (FLOATS, 2, 2, TEXT), {}),
        (matrix, (FLOATS, 2, 2, BAD), {}),
        (matrix, (FLOATS,), {"rows": 2}),
        (matrix, (FLOATS, 2, 2, THRESHOLD, THRESHOLD), {}),
    ]


def watched_objects():
    return [DATA, WEIGHTS, FLOATS, FLOAT_TUPLE, MIXED, FLOATY, BAD_ITEMS, BAD, SEQUENCE,
            NOT_BYTES, TEXT, BIG, THRESHOLD, PREDICTOR, *FLOATS]


def run_all(rounds):
    table = calls()
    for _ in range(rounds):
        for function, args, kwargs in table:
            try:
                function(*args, **kwargs)
            except (TypeError, OverflowError, OSError):
                pass


def test_reference_counts_and_memory_stay_put(capfd):
    run_all(200)  # warm up caches and free lists
    gc.collect()
    counts = [sys.getrefcount(o) for o in watched_objects()]
    memory = resident_bytes()
    run_all(4000)  # about 110,000 calls
    gc.collect()
    assert [sys.getrefcount(o) for o in watched_objects()] == counts
    growth = resident_bytes() - memory
    assert growth < 4 * 2**20, f"resident memory grew by {growth} bytes"


def test_results_are_owned_by_the_caller():
    result = residuals(DATA)
    # One reference held by `result`, one by getrefcount's argument.
    assert sys.getrefcount(result) == 2


def test_faults_do_not_leak(capfd):
    data = [1.0]
    nan = float("nan")
    for _ in range(50):
        try:
            matrix(data, 1, 1, nan)
        except BaseException:  # noqa: B036
            pass
    gc.collect()
    counts = sys.getrefcount(data), sys.getrefcount(nan)
    memory = resident_bytes()
    for _ in range(3000):
        try:
            matrix(data, 1, 1, nan)
        except BaseException:  # noqa: B036
            pass
    gc.collect()
    assert (sys.getrefcount(data), sys.getrefcount(nan)) == counts
    assert resident_bytes() - memory < 4 * 2**20
    capfd.readouterr()


@pytest.mark.parametrize("rounds", [20000])
def test_argument_errors_do_not_leak_exception_objects(rounds):
    gc.collect()
    memory = resident_bytes()
    for _ in range(rounds):
        try:
            matrix([1.0, BAD], 1, 2, 0.5)
        except TypeError:
            pass
        try:
            residuals(DATA, **{"nope": 1})
        except TypeError:
            pass
    gc.collect()
    assert resident_bytes() - memory < 4 * 2**20


# ---- hostile arguments ------------------------------------------------------------------------------


@pytest.mark.parametrize("name", list(hostile_calls.TABLES))
def test_hostile_arguments_leave_reference_counts_and_memory_flat(name, capfd):
    table, rounds = hostile_calls.TABLES[name]
    hostile_calls.run(table, 20)
    gc.collect()
    watched = hostile_calls.arguments(table)
    counts = [sys.getrefcount(o) for o in watched]
    memory = resident_bytes()
    hostile_calls.run(table, rounds)
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == counts
    growth = resident_bytes() - memory
    assert growth < 4 * 2**20, f"resident memory grew by {growth} bytes"
    capfd.readouterr()


def test_total_reference_count_on_a_debug_interpreter():
    # A debug build counts every reference in the process: the module's
    # calls, hostile ones included, must leave the total where it was.
    executable = shutil.which("python3.11-dbg") or shutil.which("python3-dbg")
    if executable is None:
        pytest.skip("no debug interpreter (Debian's python3.11-dbg)")
    here = os.path.dirname(os.path.abspath(__file__))
    module_dir = os.path.dirname(os.path.abspath(zelk_native.__file__))
    code = textwrap.dedent(
        """
        import gc, sys
        import hostile_calls
        for name, (table, rounds) in hostile_calls.TABLES.items():
            hostile_calls.run(table, 20)
            gc.collect()
            before = sys.gettotalrefcount()
            hostile_calls.run(table, rounds)
            gc.collect()
            print(name, rounds * len(table), sys.gettotalrefcount() - before)
        """
    )
    result = subprocess.run(
        [executable, "-c", code], env={**os.environ, "PYTHONPATH": os.pathsep.join([module_dir, here])},
        capture_output=True, text=True, timeout=300,
    )
    assert result.returncode == 0, result.stderr[-3000:]
    lines = [line.split() for line in result.stdout.splitlines() if not line.startswith("DEBUG")]
    assert [line[0] for line in lines] == list(hostile_calls.TABLES)
    for name, calls, delta in lines:
        # A handful of references for caches warmed late, never one per call.
        assert abs(int(delta)) <= 16, f"{name}: {delta} references after {calls} calls"
