"""The second matrix format, which the library writes
(core/matrix_blob/matrix_encoder.h) and reads: the values in bands, each
coded the way the library's trials find smallest: rounded onto a grid whose
step the bound sets, either the values themselves or their errors from a
prediction by values already restored; a wavelet's rounded coefficients; or
the values losslessly as they are. Values still outside the bound are
stored exactly. Described in docs/matrix-format.md. Here: its names for
the package's reader.
"""
from __future__ import annotations

# Version 3 differs from 2 in its interpolation, fitted to the edges, and in
# its levelled bands with every quotient (LEVELLED_LINE); version 4 from 3 in
# its wavelet bands with every detail quotient (WAVELET_LINE); version 5 from
# 4 in its counts and lengths, varints rather than eight bytes each.
VERSION, VERSIONS = 5, (2, 3, 4, 5)
MAGIC = b"\x89ZLM"
GRID, INTERPOLATED, EXACT, WAVELET, LEVELLED, LORENZO, LEVELLED_LINE, WAVELET_LINE = 0, 1, 2, 3, 4, 5, 6, 7


