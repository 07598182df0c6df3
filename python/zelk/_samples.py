"""The type of the samples a buffer holds, in the terms the library reads:
a numpy type string ("<i2") and the array's dimensions after the first."""
from __future__ import annotations

import struct
from typing import TYPE_CHECKING, Any, Optional, Sequence

if TYPE_CHECKING:
    from _typeshed import ReadableBuffer

# struct's codes (the buffer protocol's formats) as numpy's kinds and sizes.
_KINDS = {code: ("f" if code in "fd" else "u" if code.isupper() else "i") + str(struct.calcsize(code))
          for code in "bBhHiIlLqQfd"}
_ORDERS = {"<": "<", ">": ">", "!": ">"}

SampleType = tuple[Optional[str], tuple[int, ...]]


def sample_type(data: ReadableBuffer, dtype: Any, shape: Optional[Sequence[int]]) -> SampleType:
    """``dtype`` (a numpy dtype or type string) and ``shape`` when given;
    otherwise what the buffer says of itself: a numpy array its dtype and
    shape, other buffers their format. One-dimensional buffers of single
    bytes other than numpy arrays (bytes, bytearray, memoryview) are bytes
    of no known type."""
    if dtype is not None:
        code = getattr(dtype, "str", dtype)
        if not isinstance(code, str):
            raise TypeError(f"dtype must be a numpy dtype or a type string, not {type(dtype).__name__}")
        return code, tuple(shape[1:]) if shape is not None else ()
    if shape is not None:
        raise ValueError("shape is given with dtype")
    numpy_type = getattr(data, "dtype", None)
    if numpy_type is not None and hasattr(numpy_type, "str"):  # a numpy array: its type, single bytes included
        return numpy_type.str, tuple(getattr(data, "shape", ())[1:])
    try:
        view = memoryview(data)  # type: ignore[arg-type]
    except TypeError:
        return None, ()
    with view:
        code = view.format.lstrip("<>!=@")
        if (view.ndim <= 1 and code in ("B", "b", "c")) or code not in _KINDS:
            return None, ()
        return _ORDERS.get(view.format[:1], "=") + _KINDS[code], tuple(view.shape[1:])
