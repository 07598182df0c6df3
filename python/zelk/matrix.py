"""Lossy compression of float arrays with the error bound the caller asks
for: ``compress(array, rmse=...)`` or ``psnr=``, ``max_error=`` or
``threshold=``, and ``decompress(blob)``, which gives back an array of the
same shape and dtype. ``info(blob)`` tells the errors achieved.

Within ``rmse``, ``psnr`` or ``max_error``, each band of about 2^20 values
is coded the way trials find smallest: rounded onto a grid whose step the
bound sets; predicted from values already restored, with only the
prediction's error rounded (smooth fields); a CDF 9/7 wavelet's rounded
coefficients; or losslessly as it is. Every integer that leaves is coded
losslessly by the sample engine. Bands are coded on several threads where
``threads`` allows, to the same bytes. With ``threshold=`` the array is cut into
tiles of a 2-D Haar transform in 16.16 fixed point whose small coefficients
are dropped (the first format). Either way the compressor decodes what it
wrote as the decompressor will, and stores the values that still miss the
bound exactly, so the bound holds on every value.

Arrays of float32 or float64 in either byte order (restored in the host's),
of any shape, up to three dimensions coded in their own (more as three over
the last two axes). NaN or infinity is a ValueError. The formats are
described in docs/matrix-format.md.
"""
from __future__ import annotations

import math
import struct
import zlib
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable, Optional, Sequence, TypeVar

import numpy as np

from . import _zelk
from ._frames import compress as _pack
from ._frames import decompress as _unpack
from ._matrix_checks import rms
from ._zelk import ZelkError
from . import _matrix_grid as _grid_format

if TYPE_CHECKING:
    from _typeshed import ReadableBuffer

__all__ = ["compress", "decompress", "info", "MatrixInfo"]

MAGIC = _grid_format.MAGIC
VERSION = 1
TILE = 256
_DTYPES = {1: np.dtype("<f4"), 2: np.dtype("<f8")}
_BOUNDS = {0: "threshold", 1: "rmse", 2: "psnr", 3: "max_error"}
# magic, version, dtype, ndim, bound kind, bound, tile, achieved max error,
# achieved rmse, value range, corrections, largest step, rows per band
_HEADER = struct.Struct("<4sBBBBdIdddQdQ")
# a band's step, dead zone, corrections, kept coefficients, width of a kept value
_BAND = struct.Struct("<ddQQB")
_BAND_VALUES = 1 << 20
_MOST_VALUES = 1 << 48  # in a shape, as the library bounds one


@dataclass(frozen=True)
class MatrixInfo:
    """What a compressed matrix holds and the errors its values were restored with."""

    shape: tuple[int, ...]
    dtype: np.dtype[Any]
    bound: str                 # "rmse", "psnr", "max_error" or "threshold"
    requested: float           # the bound as asked for
    max_error: float           # achieved: the largest absolute error of a value
    rmse: float                # achieved: root of the mean squared error
    psnr: float                # achieved: 20 log10(value range / rmse), inf when exact
    step: float                # the quantizer's step in the data's units (0: none)
    corrections: int           # values stored exactly because the transform missed the bound
    compressed_size: int

    @property
    def ratio(self) -> float:
        return self.shape_size * self.dtype.itemsize / self.compressed_size

    @property
    def shape_size(self) -> int:
        return math.prod(self.shape)


def _as_floats(array: Any) -> np.ndarray[Any, Any]:
    """The array as float32 or float64 in the host's byte order."""
    data = np.asarray(array)
    if data.dtype.kind == "f" and data.dtype.itemsize in (4, 8) and not data.dtype.isnative:
        data = data.astype(data.dtype.newbyteorder("="))  # a big-endian array, in the host's order
    if data.dtype not in (np.float32, np.float64):
        raise TypeError(f"the array must be of float32 or float64, not {data.dtype}")
    return data


def _as_matrix(data: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]:
    """The array as the 2-D matrix the first format codes (a view where it can be)."""
    if data.size == 0:
        return np.zeros((0, 0), data.dtype)
    return data.reshape(1, -1) if data.ndim < 2 else data.reshape(-1, data.shape[-1])


def _one_bound(**bounds: Optional[float]) -> tuple[int, float]:
    given = [(name, value) for name, value in bounds.items() if value is not None]
    if len(given) != 1:
        raise TypeError("give exactly one of rmse, psnr, max_error and threshold")
    name, value = given[0]
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number, not {type(value).__name__}")
    if not math.isfinite(value) or (value < 0 and name != "threshold"):
        raise ValueError(f"{name} must be a finite number{'' if name == 'threshold' else ' of at least 0'}, not {value}")
    kind = next(k for k, n in _BOUNDS.items() if n == name)
    return kind, float(value)


def bound_keywords(rmse: Optional[float] = None, psnr: Optional[float] = None, max_error: Optional[float] = None,
                   threshold: Optional[float] = None) -> dict[str, float]:
    """The one bound given, as compress()'s keyword, checked as compress() checks it."""
    _one_bound(rmse=rmse, psnr=psnr, max_error=max_error, threshold=threshold)
    given = {"rmse": rmse, "psnr": psnr, "max_error": max_error, "threshold": threshold}
    return {name: float(value) for name, value in given.items() if value is not None}


class _Tiles:
    """The transform of one matrix and the quantizations tried on it."""

    def __init__(self, matrix: np.ndarray[Any, Any]) -> None:
        self.rows, self.cols = matrix.shape
        count = _zelk.matrix_coefficient_count(self.rows, self.cols, TILE)
        tiles = -(-self.rows // TILE) * -(-self.cols // TILE)
        self.coefficients = np.empty(count, np.int32)
        self.offsets, self.exponents = np.empty(tiles, np.float64), np.empty(tiles, np.int32)
        _zelk.matrix_forward(matrix, self.rows, self.cols, TILE, self.coefficients, self.offsets, self.exponents)

    def threshold(self, threshold: float) -> np.ndarray[Any, Any]:
        """The coefficients of magnitude above `threshold` in the data's units, 0 for the others."""
        kept = np.empty_like(self.coefficients)
        _zelk.matrix_threshold(self.coefficients, self.offsets, self.exponents, self.rows, self.cols, TILE, threshold,
                               kept)
        return kept

    def restore(self, kept: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]:
        return _restore(kept, self.offsets, self.exponents, self.rows, self.cols, 0.0)


def _restore(quantized: np.ndarray[Any, Any], offsets: np.ndarray[Any, Any], exponents: np.ndarray[Any, Any],
             rows: int, cols: int, step: float) -> np.ndarray[Any, Any]:
    out = np.empty((rows, cols), np.float64)
    _zelk.matrix_inverse(quantized, offsets, exponents, rows, cols, TILE, step, out)
    return out


def _errors(restored: np.ndarray[Any, Any], matrix: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]:
    """|restored - given| per value, flat; infinite where the difference of
    values near the largest doubles overflows (without numpy's warning)."""
    with np.errstate(over="ignore"):
        difference: np.ndarray[Any, Any] = np.subtract(restored, matrix, dtype=np.float64)
    np.abs(difference, out=difference)
    return difference.ravel()


def _pack_section(data: bytes, level: Optional[int]) -> bytes:
    packed = _pack(data, level)
    return struct.pack("<Q", len(packed)) + packed


def _unpack_section(blob: memoryview, at: int, expected: int) -> tuple[bytes, int]:
    if at + 8 > len(blob):
        raise ZelkError(f"truncated matrix: a section's length is missing at offset {at}")
    (length,) = struct.unpack_from("<Q", blob, at)
    at += 8
    if length > len(blob) - at:
        raise ZelkError(f"truncated matrix: a section at offset {at} needs {length} bytes")
    data = _unpack(blob[at:at + length], max_length=expected)
    if len(data) != expected:
        raise ZelkError(f"damaged matrix: a section at offset {at} holds {len(data)} bytes, not {expected}")
    return data, at + length


def _planes(values: np.ndarray[Any, Any]) -> bytes:
    """Unsigned integers as byte planes, lowest byte of every value first: an
    entropy coder sees the similar bytes together."""
    return values.view(np.uint8).reshape(-1, values.itemsize).T.tobytes()


def _from_planes(data: bytes, dtype: type) -> np.ndarray[Any, Any]:
    width = np.dtype(dtype).itemsize
    return np.frombuffer(data, np.uint8).reshape(width, -1).T.copy().view(dtype).ravel()


def _value_width(zigzag: np.ndarray[Any, Any]) -> type:
    largest = int(zigzag.max()) if zigzag.size else 0
    return np.uint8 if largest < 1 << 8 else np.uint16 if largest < 1 << 16 else np.uint32


@dataclass
class _Band:
    """One band of rows, compressed: its bytes and what it achieved."""

    packed: bytes
    values: int
    step: float
    max_error: float
    rmse: float
    corrections: int


def _compress_band(matrix: np.ndarray[Any, Any], given: np.ndarray[Any, Any], threshold: float,
                   level: Optional[int]) -> _Band:
    """Rows of the matrix (float64) with coefficients of magnitude up to the
    threshold dropped; ``given`` holds the same values in the array's dtype,
    for the errors and the exact corrections."""
    dtype, count = given.dtype, matrix.size
    tiles = _Tiles(matrix)
    kept_values = tiles.threshold(threshold)
    errors = _errors(tiles.restore(kept_values).astype(dtype, copy=False), matrix)
    corrected = np.flatnonzero(~np.isfinite(errors))  # no bound, but an infinite error is never kept
    errors[corrected] = 0.0

    kept = kept_values != 0
    values = kept_values[kept].astype(np.int64)
    zigzag = ((values << 1) ^ (values >> 63)).astype(np.uint64)
    width = _value_width(zigzag)
    gaps = np.diff(corrected, prepend=0).astype(np.uint64)
    exact = given.reshape(-1)[corrected].astype(dtype.newbyteorder("<"))
    packed = b"".join([
        _BAND.pack(0.0, threshold, corrected.size, values.size, np.dtype(width).itemsize),
        tiles.offsets.astype("<f8").tobytes(), tiles.exponents.astype("<i4").tobytes(),
        _pack_section(np.packbits(kept).tobytes(), level),
        _pack_section(_planes(zigzag.astype(width)), level),
        _pack_section(_planes(gaps) + exact.tobytes(), level)])
    return _Band(packed, count, 0.0, float(errors.max(initial=0.0)), rms(errors) if count else 0.0,
                 corrected.size)


def _band_rows(cols: int) -> int:
    """Rows per band: whole tiles, about _BAND_VALUES values, one tile row at least."""
    return max(TILE, _BAND_VALUES // max(cols, 1) // TILE * TILE)


_Item = TypeVar("_Item")
_Result = TypeVar("_Result")


def _each_band(work: Callable[[_Item], _Result], items: Sequence[_Item], threads: int) -> list[_Result]:
    """work(item) for every item, in order, on at most `threads` threads
    (the calling thread alone for one): the library releases the lock
    while it codes, so bands code at once."""
    if threads <= 1 or len(items) <= 1:
        return [work(item) for item in items]
    with ThreadPoolExecutor(max_workers=min(threads, len(items))) as pool:
        return list(pool.map(work, items))


def compress(array: Any, *, rmse: Optional[float] = None, psnr: Optional[float] = None,
             max_error: Optional[float] = None, threshold: Optional[float] = None,
             level: Optional[int] = None, threads: int = 1) -> bytes:
    """Compress a float32 or float64 array within exactly one bound:

    - ``rmse``: the root of the mean squared error of the values;
    - ``psnr``: 20 log10(range / rmse) in dB, range being max - min;
    - ``max_error``: the largest absolute error of any value;
    - ``threshold``: no quantization; coefficients whose magnitude does not
      exceed it are dropped (the library's thresholding), whatever error
      that makes.

    Errors are measured against the values as given, after the restored
    values are rounded to the array's dtype. ``level`` is that of the zelk
    frames the coefficients are packed into (zelk.compress()'s). A large matrix is
    coded in bands of rows (about 2^20 values each), each within the bound,
    so the memory it takes beyond the array is bounded by a band's for each
    thread. ``threads`` as for zelk.compress(): 1 codes on the calling
    thread, N bands at once on at most N threads (never more than the
    cores), 0 on every core; the blob is the same for any number.
    """
    kind, bound = _one_bound(rmse=rmse, psnr=psnr, max_error=max_error, threshold=threshold)
    workers = _zelk.check_coding_options(level, threads, None, None)
    data = _as_floats(array)
    if kind != 0:  # the library codes the bands and makes every choice (core/matrix_blob/matrix_encoder.h)
        return _zelk.matrix_compress(np.ascontiguousarray(data), data.shape, data.dtype == np.float32, kind, bound,
                                     level, threads)
    high, low = (float(data.max()), float(data.min())) if data.size else (0.0, 0.0)
    if not (math.isfinite(high) and math.isfinite(low)):
        raise ValueError("the array holds a NaN or an infinity")
    return _compress_haar(data, bound, high - low, level, workers)


def _compress_haar(data: np.ndarray[Any, Any], threshold: float, value_range: float, level: Optional[int],
                   threads: int) -> bytes:
    """The first format: tiles of the 2-D Haar transform, for ``threshold=``."""
    shape, given = data.shape, _as_matrix(data)
    dtype, (rows, cols) = given.dtype, given.shape
    count = given.size
    step_rows = _band_rows(cols)

    def band(row: int) -> Any:
        part = given[row:row + step_rows]
        return _compress_band(np.ascontiguousarray(part, dtype=np.float64), part, threshold, level)
    bands = _each_band(band, range(0, rows, step_rows), threads)
    worst = max((b.rmse for b in bands), default=0.0)
    # Scaled by the worst band's, so that squares of errors near the largest doubles cannot overflow.
    rmse_all = worst * math.sqrt(sum((b.rmse / worst) ** 2 * b.values for b in bands) / count) if worst > 0 else 0.0
    header = _HEADER.pack(MAGIC, VERSION, 1 if dtype == np.float32 else 2, len(shape), 0, threshold, TILE,
                          max((b.max_error for b in bands), default=0.0), rmse_all, value_range,
                          sum(b.corrections for b in bands), max((b.step for b in bands), default=0.0),
                          step_rows)
    body = b"".join([header, struct.pack(f"<{len(shape)}Q", *shape)] + [b.packed for b in bands])
    return body + struct.pack("<I", zlib.crc32(body))


def _parse(blob: ReadableBuffer) -> tuple[dict[str, Any], memoryview]:
    view = memoryview(blob).cast("B")
    if len(view) < 5 or bytes(view[:4]) != MAGIC:
        raise ZelkError("not a zelk matrix")
    if view[4] in _grid_format.VERSIONS:
        return _parse_grid(view), view
    if view[4] != VERSION:  # named before any check, so that a newer blob is not called damaged
        raise ZelkError(f"matrix format version {view[4]}, this library reads versions {VERSION} to "
                        f"{_grid_format.VERSION}")
    if len(view) < _HEADER.size + 4:
        raise ZelkError("truncated matrix: its header is cut short")
    (crc,) = struct.unpack_from("<I", view, len(view) - 4)
    if zlib.crc32(view[:-4]) != crc:
        raise ZelkError("damaged matrix: its checksum does not match")
    (_, _, dtype_code, ndim, kind, bound, tile, max_error, rmse, value_range, corrections, step,
     band_rows) = _HEADER.unpack_from(view)
    if dtype_code not in _DTYPES or kind not in _BOUNDS or tile != TILE or band_rows % TILE or not band_rows:
        raise ZelkError("damaged matrix: unknown dtype, bound, tile size or band")
    if _HEADER.size + 8 * ndim > len(view) - 4:
        raise ZelkError("truncated matrix: its shape is missing")
    shape = struct.unpack_from(f"<{ndim}Q", view, _HEADER.size)
    _check_shape(shape)
    _check_achieved(max_error, rmse, value_range)
    return {"dtype": _DTYPES[dtype_code], "shape": tuple(shape), "kind": kind, "bound": bound, "step": step,
            "max_error": max_error, "rmse": rmse, "range": value_range, "corrections": corrections,
            "band_rows": band_rows, "at": _HEADER.size + 8 * ndim, "version": VERSION}, view


def _check_shape(shape: tuple[int, ...]) -> None:
    """Refuses an empty shape whose other dimensions no array has (they
    multiply past 2^48 values, as the library bounds a shape): a blob cannot
    be too short for no values, so the bytes' bound does not reach it."""
    if 0 in shape and math.prod(n for n in shape if n) > _MOST_VALUES:
        raise ZelkError(f"damaged matrix: a shape of {shape} is no array's")


def _check_achieved(*figures: float) -> None:
    """The errors and the range a header states are never negative nor NaN."""
    if not all(figure >= 0 for figure in figures):
        raise ZelkError("damaged matrix: its header states a negative or undefined error or range")


def _parse_grid(view: memoryview) -> dict[str, Any]:
    """The second format's header, its bands' places and paths: the library
    reads them, checks the header's and every band's CRC-32C and that the
    blob can hold the shape it states."""
    coded, bands, header = _zelk.matrix_layout(view)
    version, dtype, bound_name, bound, max_error, rmse, corrections, value_range, step, shape = header
    _check_shape(shape)
    _check_achieved(max_error, rmse, value_range)
    kind = next(code for code, name in _BOUNDS.items() if name == bound_name)
    return {"dtype": np.dtype(dtype).newbyteorder("<"), "shape": shape, "kind": kind, "bound": bound, "step": step,
            "max_error": max_error, "rmse": rmse, "range": value_range, "corrections": corrections,
            "coded": coded, "bands": bands, "version": version}


def info(blob: ReadableBuffer) -> MatrixInfo:
    """The shape, dtype, bound and achieved errors of a compressed matrix,
    from its header (checked: the first format's checksum covers the whole
    blob; the second's header and band descriptors have checks of their
    own, and each band's frames theirs)."""
    header, view = _parse(blob)
    rmse = header["rmse"]
    ratio = header["range"] / rmse if rmse else math.inf  # 0 where a tiny range over a huge error underflows
    psnr = math.inf if rmse == 0 else 20 * math.log10(ratio) if ratio > 0 else -math.inf
    return MatrixInfo(header["shape"], header["dtype"], _BOUNDS[header["kind"]], header["bound"],
                      header["max_error"], rmse, psnr, header["step"], header["corrections"], len(view))


def _decompress_band(body: memoryview, at: int, rows: int, cols: int, dtype: np.dtype[Any],
                     out: np.ndarray[Any, Any]) -> int:
    """Restores one band into ``out`` (rows x cols); returns where the next begins."""
    try:
        coefficients = _zelk.matrix_coefficient_count(rows, cols, TILE)
    except (ValueError, OverflowError) as error:
        raise ZelkError(f"damaged matrix: {error}") from None
    tiles = -(-rows // TILE) * -(-cols // TILE)
    if at + _BAND.size + 12 * tiles > len(body):
        raise ZelkError(f"truncated matrix: a band's scales are missing at offset {at}")
    step, _, corrections, kept_count, width = _BAND.unpack_from(body, at)
    at += _BAND.size
    offsets = np.frombuffer(body, "<f8", tiles, at).astype(np.float64)
    exponents = np.frombuffer(body, "<i4", tiles, at + 8 * tiles).astype(np.int32)
    at += 12 * tiles
    if width not in (1, 2, 4) or kept_count > coefficients or corrections > rows * cols:
        raise ZelkError("damaged matrix: impossible counts")
    kept_bits, at = _unpack_section(body, at, (coefficients + 7) // 8)
    planes, at = _unpack_section(body, at, kept_count * width)
    exact, at = _unpack_section(body, at, corrections * (8 + dtype.itemsize))
    kept = np.unpackbits(np.frombuffer(kept_bits, np.uint8), count=coefficients).astype(bool)
    if int(kept.sum()) != kept_count:
        raise ZelkError("damaged matrix: the map and the values disagree")
    zigzag = _from_planes(planes, {1: np.uint8, 2: np.uint16, 4: np.uint32}[width]).astype(np.int64)
    quantized = np.zeros(coefficients, np.int32)
    quantized[kept] = ((zigzag >> 1) ^ -(zigzag & 1)).astype(np.int32)
    restored = _restore(quantized, offsets, exponents, rows, cols, step).astype(dtype, copy=False).reshape(-1)
    positions = np.cumsum(_from_planes(exact[:8 * corrections], np.uint64)).astype(np.int64)
    if corrections and positions[-1] >= rows * cols:
        raise ZelkError("damaged matrix: a correction lies outside it")
    restored[positions] = np.frombuffer(exact[8 * corrections:], dtype.newbyteorder("<"))
    out[...] = restored.reshape(rows, cols)
    return at


def decompress(blob: ReadableBuffer, *, threads: int = 1) -> np.ndarray[Any, Any]:
    """The array a blob of ``compress()`` holds, of its shape and dtype.
    Raises ZelkError for damaged or foreign data. ``threads`` as for
    compress(): the bands of a blob written within an error bound are
    restored at once on that many threads."""
    workers = _zelk.check_coding_options(None, threads, None, None)
    header, view = _parse(blob)
    if header["version"] != VERSION:
        return _decompress_grid(header, view, workers)
    shape, dtype, band_rows = header["shape"], header["dtype"], header["band_rows"]
    count = math.prod(shape)
    rows, cols = (0, 0) if count == 0 else (1, count) if len(shape) < 2 else (count // shape[-1], shape[-1])
    body, at = view[:-4], header["at"]
    # Every band stores its header and three section lengths, and every tile
    # its offset and exponent: a shape the blob cannot hold is refused
    # before the array is made.
    bands, tiles = -(-rows // band_rows), -(-rows // TILE) * -(-cols // TILE)
    if bands * (_BAND.size + 24) + 12 * tiles > len(body) - at:
        raise ZelkError(f"damaged matrix: {len(body)} bytes cannot hold a shape of {count} values")
    out = np.empty((rows, cols), dtype)
    for row in range(0, rows, band_rows):
        height = min(band_rows, rows - row)
        at = _decompress_band(body, at, height, cols, dtype, out[row:row + height])
    if at != len(body):
        raise ZelkError(f"damaged matrix: {len(body) - at} bytes after its last band")
    return out.reshape(shape)


def _decompress_grid(header: dict[str, Any], view: memoryview, threads: int) -> np.ndarray[Any, Any]:
    """The library restores every band into the array, on `threads` threads."""
    out = np.empty(header["coded"], header["dtype"].newbyteorder("="))
    _zelk.matrix_decode(view, out, threads)
    return out.reshape(header["shape"])
