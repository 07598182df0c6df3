"""zelk: lossless compression that stores each block of data as whichever is
smallest of a zelk chunk (six online predictors and a range coder: strong on
8-bit signals and images), a Zstandard chunk and its raw bytes.

Frames, the format the ``zelk`` command reads and writes:
  compress(), decompress()             whole data at once
  ZelkCompressor, ZelkDecompressor     streams, piece by piece
  ZelkFile, open()                     compressed files, binary or text
  register_archive_formats()           .tar.zlk archives for shutil

Typed samples (numpy arrays, array.array, dtype=) are coded by
prediction; frame_info() tells what a frame holds.

Chunks, the unit the frame is built from: encode_chunk(), decode_chunk(),
chunk_info().

Float matrices, lossy within the error bound asked for: zelk.matrix
(imported on first use; it needs numpy).

Every function takes any object with the buffer protocol and releases the
interpreter lock while it codes, so threads run in parallel; ``threads=``
codes the blocks of one call on several cores. Damaged or foreign data
raises ZelkError.
"""
from __future__ import annotations

from ._archives import register_archive_formats
from ._chunks import chunk_info, decode_chunk, encode_chunk
from ._file import ZelkFile, open
from ._frames import ZelkCompressor, ZelkDecompressor, compress, decompress
from ._info import FrameInfo, frame_info
from ._zelk import DEFAULT_LEVEL, MAX_LEVEL, MIN_LEVEL, ZelkError
from ._zelk import VERSION as __version__  # the command's too (zelk --version): pyproject.toml's

def __getattr__(name: str) -> object:
    if name == "matrix":  # numpy is loaded only by those who use it
        import importlib
        return importlib.import_module(".matrix", __name__)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


__all__ = [
    "DEFAULT_LEVEL", "MAX_LEVEL", "MIN_LEVEL", "ZelkError",
    "compress", "decompress", "ZelkCompressor", "ZelkDecompressor", "ZelkFile", "open",
    "register_archive_formats", "encode_chunk", "decode_chunk", "chunk_info", "FrameInfo", "frame_info",
]
