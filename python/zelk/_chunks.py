"""Single chunks, the unit the frame is built from, for callers of the chunk
format itself."""
from __future__ import annotations

from typing import TYPE_CHECKING, Optional

from . import _zelk

if TYPE_CHECKING:
    from _typeshed import ReadableBuffer


def encode_chunk(data: ReadableBuffer, level: Optional[int] = None) -> bytes:
    """One self-contained chunk of a bytes-like object of less than 4 GiB,
    never refused: a zelk chunk (mode 0, what ``zelk_native.encode_bytes``
    writes) when it is the smaller, otherwise a Zstandard chunk (mode 1:
    header byte 0xA1, the length as 32-bit little-endian, one Zstandard
    frame), which also stores data that nothing shrinks, a few bytes longer
    than the data."""
    return _zelk.encode_chunk(data, level)


def decode_chunk(chunk: ReadableBuffer, weights: Optional[ReadableBuffer] = None, *,
                 max_length: Optional[int] = None) -> bytes:
    """The data of a chunk: modes 0 and 2 exactly as
    ``zelk_native.decode_bytes(chunk, 0, weights)`` decodes them, and mode 1,
    the Zstandard chunk. Refused before decoding, with ZelkError: a chunk
    stating more than ``max_length`` bytes, a zelk chunk shorter than any
    encoder writes for its length (at least 5 bytes plus 0.54 of the
    length), and a Zstandard chunk whose frame cannot produce its length;
    so a chunk's work and memory follow its size. Raises ZelkError for any
    other chunk that cannot be decoded."""
    return _zelk.decode_chunk(chunk, weights, max_length)


def chunk_info(chunk: ReadableBuffer) -> tuple[int, int]:
    """(mode, length) of a chunk, from its header alone: mode 0 (zelk),
    1 (Zstandard) or 2 (zelk with weights), and the length of its data."""
    return _zelk.chunk_info(chunk)
