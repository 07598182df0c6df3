"""ZELK native extension module exported to Python."""

from typing import Final, List, Optional, Sequence, SupportsFloat, SupportsIndex, Union

__all__ = [
    "encode_bytes",
    "decode_bytes",
    "compress_adaptive",
    "get_residuals_py",
    "compress_matrix_v1",
    "__version__",
]

__version__: Final[str]

# Every function raises TypeError or OverflowError for bad arguments, and
# zelk_runtime.InternalFault (a direct subclass of BaseException, not an
# attribute of this module) for internal faults.

def encode_bytes(
    data: bytes, predictor_id: SupportsIndex = 0, weights: Optional[bytes] = None
) -> bytes:
    """Compresses `data` into one chunk; raises OSError with the codec's error text on refusal."""

def decode_bytes(
    data: bytes, predictor_id: SupportsIndex = 0, weights: Optional[bytes] = None
) -> bytes:
    """Restores the bytes of one chunk; raises OSError with the codec's error text on refusal."""

def compress_adaptive(
    data: bytes, predictor_id: SupportsIndex = 0, weights: Optional[bytes] = None
) -> bytes:
    """The same as encode_bytes."""

def get_residuals_py(
    _data: bytes, _predictor_id: SupportsIndex = 0, _weights: Optional[bytes] = None
) -> List[int]:
    """Checks its arguments and returns a new, empty list."""

def compress_matrix_v1(
    data: Sequence[Union[SupportsFloat, SupportsIndex]],
    rows: SupportsIndex,
    cols: SupportsIndex,
    threshold: Union[SupportsFloat, SupportsIndex],
) -> List[float]:
    """Haar-transforms and thresholds a row-major rows x cols matrix; returns the
    coefficients in column-major order."""
