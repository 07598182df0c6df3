"""Checks shared by the matrix formats: a CRC-32C for headers and an
overflow-safe RMS of errors."""
from __future__ import annotations

import math
from typing import Any

import numpy as np


def _crc32c_table() -> list[int]:
    table = []
    for byte in range(256):
        crc = byte
        for _ in range(8):
            crc = (crc >> 1) ^ (0x82F63B78 if crc & 1 else 0)
        table.append(crc)
    return table


_CRC32C = _crc32c_table()


def crc32c(data: bytes) -> int:
    """CRC-32C (Castagnoli) of a few dozen bytes of header."""
    crc = 0xFFFFFFFF
    for byte in data:
        crc = (crc >> 8) ^ _CRC32C[(crc ^ byte) & 0xFF]
    return crc ^ 0xFFFFFFFF


def rms(errors: np.ndarray[Any, Any]) -> float:
    """The root mean square of errors, without overflowing their squares
    (infinite if one is)."""
    largest = float(errors.max(initial=0.0))
    if largest == 0 or not math.isfinite(largest):
        return largest
    return largest * math.sqrt(float(np.mean(np.square(errors / largest))))
