"""zelk as numcodecs codecs, for chunked array stores (zarr version 2,
numcodecs pipelines):

- ``Zelk`` (id ``"zelk"``): lossless, a zelk frame per chunk;
- ``ZelkMatrix`` (id ``"zelk_matrix"``): lossy, zelk.matrix within one
  error bound per chunk.

Both are registered through the ``numcodecs.codecs`` entry point, so
``numcodecs.get_codec({"id": "zelk", ...})`` finds them in a process that
never imported zelk. Installed with ``pip install zelk[zarr]``.
"""
from __future__ import annotations

from typing import Any, Optional

import numpy as np
from numcodecs.abc import Codec  # type: ignore[import-untyped]
from numcodecs.compat import ensure_contiguous_ndarray, ndarray_copy  # type: ignore[import-untyped]

from . import _zelk
from ._frames import compress, decompress

__all__ = ["Zelk", "ZelkMatrix"]


class Zelk(Codec):  # type: ignore[misc]
    """Lossless: each chunk is one zelk frame at ``level`` (zelk.compress()'s;
    None: the default level), numbers coded as samples of the chunk's type
    and shape, on ``threads`` threads (1: the calling
    one; zarr and dask already run chunks on threads of their own). A chunk
    decoded into ``out`` may not hold more than ``out``: a damaged or hostile
    chunk costs no more than the chunk it stands for."""

    codec_id = "zelk"

    def __init__(self, level: Optional[int] = None, threads: int = 1) -> None:
        _zelk.check_coding_options(level, threads, None, None)
        self.level = level
        self.threads = threads

    def encode(self, buf: Any) -> bytes:
        # A C-ordered chunk keeps its shape (rows are predicted from the rows
        # above); any other is coded as the flat buffer numcodecs makes of it.
        if isinstance(buf, np.ndarray) and buf.flags.c_contiguous:
            return compress(buf, self.level, threads=self.threads)
        return compress(ensure_contiguous_ndarray(buf), self.level, threads=self.threads)

    def decode(self, buf: Any, out: Any = None) -> Any:
        expected = None if out is None else ensure_contiguous_ndarray(out).nbytes
        return ndarray_copy(decompress(ensure_contiguous_ndarray(buf), max_length=expected, threads=self.threads),
                            out)


class ZelkMatrix(Codec):  # type: ignore[misc]
    """Lossy, for float32 and float64 chunks: each chunk compressed by
    zelk.matrix within exactly one of ``rmse``, ``psnr``, ``max_error`` and
    ``threshold`` (see zelk.matrix.compress), which holds in every chunk.
    The chunk's shape and dtype travel in its blob."""

    codec_id = "zelk_matrix"

    def __init__(self, rmse: Optional[float] = None, psnr: Optional[float] = None,
                 max_error: Optional[float] = None, threshold: Optional[float] = None,
                 level: Optional[int] = None) -> None:
        from .matrix import bound_keywords

        self.rmse, self.psnr, self.max_error, self.threshold = rmse, psnr, max_error, threshold
        bound_keywords(rmse=rmse, psnr=psnr, max_error=max_error, threshold=threshold)  # exactly one, checked
        _zelk.check_coding_options(level, 1, None, None)
        self.level = level

    def _bound(self) -> dict[str, float]:
        from .matrix import bound_keywords

        return bound_keywords(self.rmse, self.psnr, self.max_error, self.threshold)

    def get_config(self) -> dict[str, Any]:
        level = {} if self.level is None else {"level": self.level}
        return {"id": self.codec_id, **self._bound(), **level}

    def encode(self, buf: Any) -> bytes:
        from . import matrix

        return matrix.compress(np.asarray(buf), **self._bound(), level=self.level)

    def decode(self, buf: Any, out: Any = None) -> Any:
        from . import matrix

        restored = matrix.decompress(ensure_contiguous_ndarray(buf))
        if out is None:
            return restored
        target = np.asarray(out)
        if target.dtype == restored.dtype and target.size == restored.size:
            target.reshape(-1)[:] = restored.reshape(-1)
            return out
        return ndarray_copy(restored, out)
