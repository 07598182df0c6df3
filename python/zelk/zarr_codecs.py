"""zelk as zarr version 3 codecs:

- ``ZelkCodec`` (name ``"zelk"``), bytes to bytes: lossless, a zelk frame
  per chunk, in the place of zarr's default ``zstd``;
- ``ZelkMatrixCodec`` (name ``"zelk_matrix"``), array to bytes: lossy,
  zelk.matrix within one error bound per chunk, for float32 and float64
  arrays (it takes the place of the ``bytes`` serializer).

Registered through the ``zarr.codecs`` entry point, so a process that reads
the array finds them without importing zelk. Chunks are coded on zarr's
threads with the interpreter lock released. Installed with
``pip install zelk[zarr]``.
"""
from __future__ import annotations

import asyncio
import math
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Optional

import numpy as np
from zarr.abc.codec import ArrayBytesCodec, BytesBytesCodec
from zarr.core.common import parse_named_configuration

from . import _zelk
from ._frames import compress, decompress

if TYPE_CHECKING:
    from typing import Self

    from _typeshed import ReadableBuffer
    from zarr.core.array_spec import ArraySpec
    from zarr.core.buffer import Buffer, NDBuffer

__all__ = ["ZelkCodec", "ZelkMatrixCodec"]


def _buffer(chunk: Buffer) -> ReadableBuffer:
    """The chunk's bytes without a copy (a numpy array, which type checkers
    before Python 3.12 do not see as a buffer)."""
    return chunk.as_numpy_array()  # type: ignore[return-value]


def _fixed_size(chunk_spec: ArraySpec) -> Optional[np.dtype[Any]]:
    """The chunk's element type when its elements have a fixed size."""
    native = chunk_spec.dtype.to_native_dtype()
    return None if native.kind in "OT" or native.itemsize == 0 else native


def _chunk_bytes(chunk_spec: ArraySpec) -> Optional[int]:
    """The bytes of a chunk of fixed-size elements, which the serializer
    before this codec makes; None for elements of varying size."""
    native = _fixed_size(chunk_spec)
    return None if native is None else math.prod(chunk_spec.shape) * native.itemsize


def _sample_type(chunk_spec: ArraySpec) -> dict[str, Any]:
    """The type of the serialized samples: the array's, in the bytes
    serializer's default order (little-endian), for numbers zelk codes as
    samples; none for other elements."""
    native = _fixed_size(chunk_spec)
    if native is None or native.kind not in "iuf":
        return {}
    return {"dtype": native.newbyteorder("<"), "shape": tuple(chunk_spec.shape)}


@dataclass(frozen=True)
class ZelkCodec(BytesBytesCodec):
    """Lossless: each chunk one zelk frame at ``level`` (zelk.compress()'s;
    None: the default level), numbers coded as samples of the array's type
    and shape. A chunk is decoded into no more than the bytes of the chunk
    it stands for, so a damaged or hostile one costs no more than that."""

    is_fixed_size = False
    level: Optional[int] = None

    def __init__(self, *, level: Optional[int] = None) -> None:
        _zelk.check_coding_options(level, 1, None, None)
        object.__setattr__(self, "level", level)

    @classmethod
    def from_dict(cls, data: dict[str, Any]) -> Self:
        _, configuration = parse_named_configuration(data, "zelk", require_configuration=False)
        return cls(**(configuration or {}))  # type: ignore[arg-type]  # checked by __init__

    def to_dict(self) -> dict[str, Any]:
        return {"name": "zelk", "configuration": {} if self.level is None else {"level": self.level}}

    def _decode_sync(self, chunk_bytes: Buffer, chunk_spec: ArraySpec) -> Buffer:
        restored = decompress(_buffer(chunk_bytes), max_length=_chunk_bytes(chunk_spec))
        return chunk_spec.prototype.buffer.from_bytes(restored)

    def _encode_sync(self, chunk_bytes: Buffer, chunk_spec: ArraySpec) -> Buffer:
        frame = compress(_buffer(chunk_bytes), self.level, **_sample_type(chunk_spec))
        return chunk_spec.prototype.buffer.from_bytes(frame)

    async def _decode_single(self, chunk_bytes: Buffer, chunk_spec: ArraySpec) -> Buffer:
        return await asyncio.to_thread(self._decode_sync, chunk_bytes, chunk_spec)

    async def _encode_single(self, chunk_bytes: Buffer, chunk_spec: ArraySpec) -> Buffer:
        return await asyncio.to_thread(self._encode_sync, chunk_bytes, chunk_spec)

    def compute_encoded_size(self, _input_byte_length: int, _chunk_spec: ArraySpec) -> int:
        raise NotImplementedError


@dataclass(frozen=True)
class ZelkMatrixCodec(ArrayBytesCodec):
    """Lossy, for float32 and float64 arrays: each chunk compressed by
    zelk.matrix within exactly one of ``rmse``, ``psnr``, ``max_error`` and
    ``threshold``, which holds in every chunk."""

    is_fixed_size = False
    rmse: Optional[float] = None
    psnr: Optional[float] = None
    max_error: Optional[float] = None
    threshold: Optional[float] = None
    level: Optional[int] = None

    def __init__(self, *, rmse: Optional[float] = None, psnr: Optional[float] = None,
                 max_error: Optional[float] = None, threshold: Optional[float] = None,
                 level: Optional[int] = None) -> None:
        from .matrix import bound_keywords

        bound_keywords(rmse=rmse, psnr=psnr, max_error=max_error, threshold=threshold)  # exactly one, checked
        for name, value in (("rmse", rmse), ("psnr", psnr), ("max_error", max_error), ("threshold", threshold)):
            object.__setattr__(self, name, None if value is None else float(value))
        _zelk.check_coding_options(level, 1, None, None)
        object.__setattr__(self, "level", level)

    def _bound(self) -> dict[str, float]:
        from .matrix import bound_keywords

        return bound_keywords(self.rmse, self.psnr, self.max_error, self.threshold)

    @classmethod
    def from_dict(cls, data: dict[str, Any]) -> Self:
        _, configuration = parse_named_configuration(data, "zelk_matrix")
        return cls(**configuration)  # type: ignore[arg-type]  # checked by __init__

    def to_dict(self) -> dict[str, Any]:
        level = {} if self.level is None else {"level": self.level}
        return {"name": "zelk_matrix", "configuration": {**self._bound(), **level}}

    def validate(self, *, shape: Any, dtype: Any, chunk_grid: Any) -> None:
        native = dtype.to_native_dtype()
        if native not in (np.float32, np.float64):
            raise ValueError(f"zelk_matrix codes float32 and float64 arrays, not {native}")

    def _decode_sync(self, chunk_bytes: Buffer, chunk_spec: ArraySpec) -> NDBuffer:
        from . import matrix

        restored = matrix.decompress(_buffer(chunk_bytes))
        if restored.shape != tuple(chunk_spec.shape):
            from ._zelk import ZelkError

            raise ZelkError(f"a zelk_matrix chunk holds shape {restored.shape}, not {tuple(chunk_spec.shape)}")
        return chunk_spec.prototype.nd_buffer.from_numpy_array(restored)

    def _encode_sync(self, chunk_array: NDBuffer, chunk_spec: ArraySpec) -> Buffer:
        from . import matrix

        blob = matrix.compress(chunk_array.as_numpy_array(), **self._bound(), level=self.level)
        return chunk_spec.prototype.buffer.from_bytes(blob)

    async def _decode_single(self, chunk_bytes: Buffer, chunk_spec: ArraySpec) -> NDBuffer:
        return await asyncio.to_thread(self._decode_sync, chunk_bytes, chunk_spec)

    async def _encode_single(self, chunk_array: NDBuffer, chunk_spec: ArraySpec) -> Buffer:
        return await asyncio.to_thread(self._encode_sync, chunk_array, chunk_spec)

    def compute_encoded_size(self, _input_byte_length: int, _chunk_spec: ArraySpec) -> int:
        raise NotImplementedError
