"""Median wall time of a call, after a warm-up that is not counted.

The number of timed runs adapts to the call's cost: as many as fit in the
time budget, at least `min_runs` and at most `max_runs`. Slow codecs thus get
the minimum, fast ones enough runs for a steady median. The garbage
collector is paused while the runs are timed.
"""
import gc
import statistics
import time
from dataclasses import dataclass
from typing import Any, Callable


@dataclass(frozen=True)
class Timing:
    median_s: float
    runs: int


@dataclass(frozen=True)
class Budget:
    seconds: float
    min_runs: int
    max_runs: int


def time_call(fn: Callable[..., Any], args: tuple, budget: Budget) -> tuple[Any, Timing]:
    """Returns the warm-up's result and the timing of the runs after it.
    An exception of the warm-up call propagates: nothing is timed then."""
    start = time.perf_counter()
    result = fn(*args)
    warm_up_s = time.perf_counter() - start
    runs = int(budget.seconds / max(warm_up_s, 1e-9))
    runs = max(budget.min_runs, min(budget.max_runs, runs))
    samples = []
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(runs):
            start = time.perf_counter()
            fn(*args)
            samples.append(time.perf_counter() - start)
    finally:
        if gc_was_enabled:
            gc.enable()
    return result, Timing(statistics.median(samples), runs)
