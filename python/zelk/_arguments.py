"""Checks of the arguments the package's functions and objects share, raising
TypeError and ValueError the way Python's own modules do."""
from __future__ import annotations

import os
from typing import Optional

from ._zelk import DEFAULT_LEVEL, LEVEL_BLOCK_SIZES, MAX_BLOCK_SIZE, MAX_LEVEL, MIN_LEVEL

NO_LIMIT = 2**64 - 1


def integer(name: str, value: object) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    return value


def level(value: Optional[int]) -> int:
    if value is None:
        return DEFAULT_LEVEL
    if not MIN_LEVEL <= integer("level", value) <= MAX_LEVEL:
        raise ValueError(f"level must be between {MIN_LEVEL} and {MAX_LEVEL}, not {value}")
    return value


def count(name: str, value: int, least: int) -> int:
    if integer(name, value) < least:
        raise ValueError(f"{name} must be at least {least}, not {value}")
    return value


def workers(threads: int) -> int:
    """The library's worker threads for ``threads`` coding threads (0: one per
    core, and never more than the cores this process may run on). One thread
    is the calling thread itself: a pool of 0 workers."""
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else (os.cpu_count() or 1)
    wanted = count("threads", threads, 0)
    chosen = cores if wanted == 0 else min(wanted, cores)
    return 0 if chosen == 1 else chosen


def block_size(value: Optional[int], level_chosen: int) -> int:
    """The level's own block size when None."""
    if value is None:
        return LEVEL_BLOCK_SIZES[level_chosen - MIN_LEVEL]
    if not 1 <= integer("block_size", value) <= MAX_BLOCK_SIZE:
        raise ValueError(f"block_size must be between 1 and {MAX_BLOCK_SIZE}, not {value}")
    return value


def limit(name: str, value: Optional[int]) -> int:
    """None or -1 for no limit, else a count of bytes."""
    if value is None or value == -1:
        return NO_LIMIT
    return count(name, value, 0)
