"""zelk: lossless compression that stores each block of data as whichever is
smallest of a zelk chunk (six online predictors and a range coder: strong on
8-bit signals and images), a Zstandard chunk and its raw bytes.

One-shot functions over the framed format that the ``zelk`` command writes
(``compress``, ``decompress``), and over single chunks, the unit the format
is built from (``encode_chunk``, ``decode_chunk``, ``chunk_info``). Every
function takes any object with the buffer protocol and releases the
interpreter lock while it codes, so threads run in parallel.
"""
from __future__ import annotations

from typing import TYPE_CHECKING, Optional

from . import _zelk
from ._zelk import DEFAULT_LEVEL, MAX_LEVEL, MIN_LEVEL, ZelkError

__all__ = [
    "DEFAULT_LEVEL", "MAX_LEVEL", "MIN_LEVEL", "ZelkError",
    "compress", "decompress", "encode_chunk", "decode_chunk", "chunk_info",
]

if TYPE_CHECKING:
    from _typeshed import ReadableBuffer

_NO_LIMIT = 2**64 - 1


def _level(level: Optional[int]) -> int:
    if level is None:
        return DEFAULT_LEVEL
    if isinstance(level, bool) or not isinstance(level, int):
        raise TypeError(f"level must be an int or None, not {type(level).__name__}")
    if not MIN_LEVEL <= level <= MAX_LEVEL:
        raise ValueError(f"level must be between {MIN_LEVEL} and {MAX_LEVEL}, not {level}")
    return level


def _count(name: str, value: int, least: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < least:
        raise ValueError(f"{name} must be at least {least}, not {value}")
    return value


def _limit(max_length: Optional[int]) -> int:
    if max_length is None or max_length == -1:
        return _NO_LIMIT
    return _count("max_length", max_length, 0)


def compress(data: ReadableBuffer, level: Optional[int] = None, *, threads: int = 1) -> bytes:
    """Compress a bytes-like object into one zelk frame, as the ``zelk``
    command writes it. ``level`` runs from 1 (fastest) to 9 (smallest),
    3 by default; ``threads`` blocks are coded at once (the frame is the
    same whatever their number)."""
    return _zelk.compress_frame(data, _level(level), _count("threads", threads, 1))


def decompress(data: ReadableBuffer, *, max_length: Optional[int] = None, threads: int = 1,
               memory_limit: Optional[int] = None) -> bytes:
    """Decompress one frame or several concatenated frames (zero padding
    after them is allowed). Raises ZelkError for damaged or foreign data,
    and for data longer than ``max_length``; frames whose blocks need more
    than ``memory_limit`` bytes in flight are refused before decoding."""
    memory = _NO_LIMIT if memory_limit is None else _count("memory_limit", memory_limit, 1)
    return _zelk.decompress_frames(data, _limit(max_length), _count("threads", threads, 1), memory)


def encode_chunk(data: ReadableBuffer, level: Optional[int] = None) -> bytes:
    """One self-contained chunk of a bytes-like object of less than 4 GiB,
    never refused: a zelk chunk (mode 0, what ``zelk_native.encode_bytes``
    writes) when it is the smaller, otherwise a Zstandard chunk (mode 1:
    header byte 0xA1, the length as 32-bit little-endian, one Zstandard
    frame), which also stores data that nothing shrinks, a few bytes longer
    than the data."""
    return _zelk.encode_chunk(data, _level(level))


def decode_chunk(chunk: ReadableBuffer, weights: Optional[ReadableBuffer] = None, *, max_length: Optional[int] = None) -> bytes:
    """The data of a chunk: modes 0 and 2 exactly as
    ``zelk_native.decode_bytes(chunk, 0, weights)`` decodes them, and mode 1,
    the Zstandard chunk. A chunk stating more than ``max_length`` bytes is
    refused before decoding. Raises ZelkError for a chunk that cannot be
    decoded."""
    return _zelk.decode_chunk(chunk, weights is not None, b"" if weights is None else weights, _limit(max_length))


def chunk_info(chunk: ReadableBuffer) -> tuple[int, int]:
    """(mode, length) of a chunk, from its header alone: mode 0 (zelk),
    1 (Zstandard) or 2 (zelk with weights), and the length of its data."""
    return _zelk.chunk_info(chunk)
