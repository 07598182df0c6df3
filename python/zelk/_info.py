"""What a frame holds, read from its records alone."""
from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Optional

from . import _zelk

if TYPE_CHECKING:
    from _typeshed import ReadableBuffer


@dataclass(frozen=True)
class FrameInfo:
    content_size: int
    """Bytes of data the frames hold."""
    frames: int
    blocks: dict[str, int]
    """Blocks of each kind: 'raw', 'chunk' (the zelk models), 'zstd', 'sample'."""
    dtype: Optional[str]
    """The numpy type string of the samples, when the frames hold sample blocks."""
    shape: Optional[tuple[int, ...]]
    """The array's shape, when the data is a whole number of its rows."""


def frame_info(data: ReadableBuffer) -> FrameInfo:
    """What one frame, or several concatenated, hold, from their records
    alone: no block is decoded (``zelk.decompress`` checks them). Raises
    ZelkError for damaged or foreign data."""
    content_size, frames, blocks, dtype, shape = _zelk.frame_info(data)
    return FrameInfo(content_size, frames, blocks, dtype, shape)
