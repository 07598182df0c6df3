"""Several Python threads using the module at once.

The module never releases the interpreter lock, but calls still overlap:
Python code that a call runs while it converts its arguments (an item's
__float__, an __index__) lets other threads in, and those enter the module
while the first call is suspended inside it. Every result is checked against
the one computed beforehand on a single thread, and every fault report is
checked to name the thread that faulted."""

import collections
import random
import re
import struct
import sys
import threading
import time

import pytest

import zelk_native as z
from conftest import internal_fault_type

THREADS = 4
SECONDS = 8.0


def triangle(n, period=200):
    return bytes(20 + (i % period if i % period < period // 2 else period - i % period) for i in range(n))


class Yielding:
    """A float item that hands the interpreter lock to other threads while a
    call is reading it, and counts how many calls are inside the module."""

    inside = 0
    most_inside = 0
    lock = threading.Lock()

    def __init__(self, value):
        self.value = value

    def __float__(self):
        with Yielding.lock:
            Yielding.inside += 1
            Yielding.most_inside = max(Yielding.most_inside, Yielding.inside)
        time.sleep(0)  # releases the GIL
        with Yielding.lock:
            Yielding.inside -= 1
        return self.value


class YieldingIndex:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        time.sleep(0)
        return self.value


class Faulting:
    """An item whose __float__ calls the module into a fault (the resumed path)."""

    def __float__(self):
        time.sleep(0)
        z.compress_matrix_v1([1.0], 1, 1, float("nan"))
        return 0.0


def outcome(function, args):
    try:
        return "value", function(*args)
    except BaseException as e:  # noqa: B036 - InternalFault is a BaseException
        return type(e).__name__, str(e)


def work_items():
    """(name, function, args, faults) with the expected outcome of each call
    computed here, on one thread, before any other thread runs."""
    rnd = random.Random(11)
    items = []
    weights = [None, struct.pack("<3i", 70000, -5000, 12), struct.pack("<12i", *range(9000, 21000, 1000))]
    for n, period in [(3000, 200), (12000, 90), (700, 30)]:
        data = triangle(n, period)
        for w in weights:
            chunk = z.encode_bytes(data, 0, w)
            items.append(("encode", z.encode_bytes, (data, 0, w), 0))
            items.append(("adaptive", z.compress_adaptive, (data, YieldingIndex(2), w), 0))
            items.append(("decode", z.decode_bytes, (chunk, YieldingIndex(7), w), 0))
    for rows, cols in [(16, 16), (7, 9), (1, 33), (40, 3)]:
        values = [rnd.uniform(-500.0, 500.0) for _ in range(rows * cols)]
        threshold = rnd.uniform(0.0, 50.0)
        items.append(("matrix", z.compress_matrix_v1, (values, rows, cols, threshold), 0))
        items.append(("matrix yielding",
                      z.compress_matrix_v1, ([Yielding(v) for v in values], YieldingIndex(rows), cols, threshold), 0))
    items += [
        ("refusal", z.encode_bytes, (b"short",), 0),
        ("refusal", z.decode_bytes, (b"\xa1\0\0\0\0",), 0),
        ("bad argument", z.encode_bytes, ("text",), 0),
        ("bad argument", z.compress_matrix_v1, ([1.0, Yielding(1.0), "x"], 1, 3, 0.0), 0),
        ("bad argument", z.decode_bytes, (b"\xa0\0\0\0\0", 256), 0),
        ("residuals", z.get_residuals_py, (b"abc", YieldingIndex(200), b""), 0),
        ("fault", z.compress_matrix_v1, ([1.0, Yielding(2.0), float("inf"), 4.0], 2, 2, 0.5), 1),
        ("resumed fault", z.compress_matrix_v1, ([Yielding(1.0), Faulting()], 1, 2, 0.5), 1),
    ]
    return [(name, function, args, faults, outcome(function, args)) for name, function, args, faults in items]


def worker(seed, items, deadline, report):
    rnd = random.Random(seed)
    native_id = threading.get_native_id()
    calls, faults, wrong = collections.Counter(), 0, []
    order = list(range(len(items)))
    while time.monotonic() < deadline:
        rnd.shuffle(order)
        for i in order:
            name, function, args, fault_count, expected = items[i]
            got = outcome(function, args)
            calls[name] += 1
            faults += fault_count
            if got != expected:
                wrong.append((name, got[0], str(got[1])[:200]))
    report[seed] = (native_id, calls, faults, wrong)


def test_threads_get_single_threaded_results(capfd):
    InternalFault = internal_fault_type()
    assert InternalFault.__name__ == "InternalFault"
    items = work_items()
    assert {e[0] for *_, e in items} == {"value", "OSError", "TypeError", "OverflowError", "InternalFault"}
    capfd.readouterr()

    report = {}
    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        Yielding.most_inside = 0
        deadline = time.monotonic() + SECONDS
        threads = [threading.Thread(target=worker, args=(seed, items, deadline, report)) for seed in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(SECONDS + 120)
    finally:
        sys.setswitchinterval(old_interval)
    assert not any(t.is_alive() for t in threads)
    assert len(report) == THREADS, "a worker died"

    for seed, (_, calls, _, wrong) in report.items():
        assert not wrong, f"thread {seed}: {wrong[:5]}"
        assert all(calls[name] >= 2 for name, *_ in items), calls
    assert Yielding.most_inside >= 2, "no two calls were ever inside the module at once"

    # One fault report per fault, each naming the thread that faulted. (A
    # report may land in the middle of a line of another thread's traceback,
    # which Python writes piece by piece, letting go of the GIL in between.)
    err = capfd.readouterr().err
    reported = collections.Counter(int(tid) for tid in re.findall(r"thread '[^'\n]*' \((\d+)\) faulted at ", err))
    assert reported == collections.Counter({native_id: faults for native_id, _, faults, _ in report.values()})
    assert err.count("Python stack trace below:") == sum(
        calls["resumed fault"] for _, calls, _, _ in report.values())

    # Afterwards, on this thread, the module is unchanged.
    for name, function, args, _, expected in items:
        assert outcome(function, args) == expected, name
