"""Frames, the format the ``zelk`` command writes: one-shot functions and the
incremental compressor and decompressor objects."""
from __future__ import annotations

from typing import TYPE_CHECKING, Any, ClassVar, Optional, Sequence

from . import _zelk
from ._samples import sample_type

if TYPE_CHECKING:
    from _typeshed import ReadableBuffer


def compress(data: ReadableBuffer, level: Optional[int] = None, *, threads: int = 1,
             block_size: Optional[int] = None, memory_limit: Optional[int] = None, long: bool | int = False,
             dtype: Any = None, shape: Optional[Sequence[int]] = None) -> bytes:
    """Compress a bytes-like object into one zelk frame, as the ``zelk``
    command writes it.

    ``level`` runs from MIN_LEVEL, 1 (fastest), to MAX_LEVEL, 9 (smallest);
    None is DEFAULT_LEVEL, 3. The level also sets the block size (4 MiB at 1,
    8 MiB at 2 to 5, 16 MiB from 6), which ``block_size`` overrides (1 to
    2 GiB; past MAX_BLOCK_SIZE, 64 MiB, frames of version 4). ``long``
    (``zelk --long``): True, or a window log from 10 to 31, finds matches
    as far back as 2^27 bytes (True) or 2^long, in blocks at least that
    large. ``threads``: 1 codes on the calling thread, N on at most N
    threads (never more than the cores), 0 on every core; the frame is the
    same for any number from 2 up, and the same as the command's for the
    same level, block size and threads; one thread writes another where the
    whole data is one block (its Zstandard chunk is then not cut into jobs
    for several threads). ``memory_limit`` bounds the bytes spent on blocks
    in flight (fewer at once if need be; None: a quarter of the machine's
    memory, as the command's default); blocks too large for it are refused
    with ValueError.

    Typed samples are coded by prediction (sample blocks): a numpy array
    or any buffer that states its type (``array.array``, ``memoryview.cast``)
    of integers of 1 to 8 bytes or of floats of 4 or 8, either byte order;
    an (n, c) array with up to 64 columns is n samples of c channels, or
    from level 3, where its rows predict it better (a narrow image, a tile
    of one), n rows of a raster.
    ``dtype`` (a numpy dtype or type string such as ``"<i2"``) and ``shape``
    give a type to plain bytes. Buffers of single bytes with one dimension
    are coded as bytes. Decompressing gives the bytes back, whatever the
    type.
    """
    code, trailing = sample_type(data, dtype, shape)
    return _zelk.compress_frame(data, level, threads, block_size, memory_limit, long, code, trailing)


def decompress(data: ReadableBuffer, *, max_length: Optional[int] = None, threads: int = 1,
               memory_limit: Optional[int] = None) -> bytes:
    """Decompress one frame or several concatenated frames (zero padding
    after them is allowed).

    Raises ZelkError for damaged, truncated or foreign data, and for data
    longer than ``max_length`` bytes, which is found before more than a block
    past the limit has been decoded. ``threads`` as for compress().
    Frames whose blocks need more than ``memory_limit`` bytes in flight are
    refused before decoding (None: a quarter of the machine's memory, as the
    command's default).
    """
    return _zelk.decompress_frames(data, max_length, threads, memory_limit)


class ZelkCompressor:
    """Compresses data into frames incrementally, in memory bounded by a few
    blocks whatever the length of the stream.

    The arguments are those of ``zelk.compress()``; ``dtype`` and ``shape``
    type the data to come (only the dimensions after the first count, so
    the first may be any number). With one thread (the default) each block is compressed in the call that
    completes it; with ``threads`` of 2 or more (0: one per core), blocks are
    compressed on threads of the library's own while the caller goes on, and
    ``compress()`` returns the frame bytes of the blocks finished so far. The frame is the one ``zelk.compress()`` writes for the
    whole data, unless blocks were ended early with FLUSH_BLOCK. One object
    may be shared by several threads: their calls take turns, but which
    call's output comes first is theirs to order (ZelkFile does).
    """

    CONTINUE: ClassVar[int] = 0
    """Collect more input before writing a block."""
    FLUSH_BLOCK: ClassVar[int] = 1
    """End the current block: everything given so far can be decompressed."""
    FLUSH_FRAME: ClassVar[int] = 2
    """End the frame; the next data begins a new one."""

    def __init__(self, level: Optional[int] = None, *, threads: int = 1, block_size: Optional[int] = None,
                 memory_limit: Optional[int] = None, long: bool | int = False, dtype: Any = None,
                 shape: Optional[Sequence[int]] = None) -> None:
        code, trailing = (None, ()) if dtype is None and shape is None else sample_type(b"", dtype, shape)
        self._encoder = _zelk.FrameEncoder(level, threads, block_size, memory_limit, long, code, trailing)
        self._last_mode = self.FLUSH_FRAME

    @property
    def last_mode(self) -> int:
        """The mode of the last call of compress() or flush(); FLUSH_FRAME at
        first, as the compressor is then at the start of a frame."""
        return self._last_mode

    def compress(self, data: ReadableBuffer, mode: int = CONTINUE) -> bytes:
        """Take ``data`` and return the compressed bytes ready so far, which
        may be none; with FLUSH_BLOCK or FLUSH_FRAME, flush afterwards."""
        if mode not in (self.CONTINUE, self.FLUSH_BLOCK, self.FLUSH_FRAME):
            raise ValueError(f"mode must be CONTINUE, FLUSH_BLOCK or FLUSH_FRAME, not {mode!r}")
        written = self._encoder.write(data)
        if mode != self.CONTINUE:
            written += self._flush(mode)
        self._last_mode = mode
        return written

    def flush(self, mode: int = FLUSH_FRAME) -> bytes:
        """Return the rest of the current block (FLUSH_BLOCK) or frame
        (FLUSH_FRAME); a frame ended with no data since the last is an empty
        frame."""
        if mode not in (self.FLUSH_BLOCK, self.FLUSH_FRAME):
            raise ValueError(f"mode must be FLUSH_BLOCK or FLUSH_FRAME, not {mode!r}")
        written = self._flush(mode)
        self._last_mode = mode
        return written

    def _flush(self, mode: int) -> bytes:
        return self._encoder.end_frame() if mode == self.FLUSH_FRAME else self._encoder.flush_blocks()


class ZelkDecompressor:
    """Decompresses one frame incrementally.

    ``decompress()`` may be given the frame in pieces of any size; output is
    limited by ``max_length``, and what is not returned stays in the object.
    Memory is bounded by the input held plus a few blocks. After the end of
    the frame, ``eof`` is true and the bytes that followed it are in
    ``unused_data``; concatenated frames need one decompressor each (as
    ``zelk.decompress()`` and ``ZelkFile`` do).
    """

    def __init__(self, *, threads: int = 1, memory_limit: Optional[int] = None) -> None:
        self._decoder = _zelk.FrameDecoder(threads, memory_limit, False)
        self._eof = False
        self._needs_input = True
        self._unused_data = b""

    @property
    def eof(self) -> bool:
        """True once the end of the frame has been read and its content
        found whole."""
        return self._eof

    @property
    def needs_input(self) -> bool:
        """False when decompress() can return more data without new input."""
        return self._needs_input

    @property
    def unused_data(self) -> bytes:
        """The bytes after the end of the frame (empty before it)."""
        return self._unused_data

    def decompress(self, data: ReadableBuffer, max_length: int = -1) -> bytes:
        """Decompress ``data`` and return at most ``max_length`` bytes (no limit
        if negative). Raises ZelkError for damaged or foreign data, after
        which the object cannot be used, and EOFError after the end of the
        frame."""
        if self._eof:
            raise EOFError("Already at the end of a zelk frame")
        out, self._eof, self._needs_input = self._decoder.decode(data, max_length)
        if self._eof:
            self._unused_data = self._decoder.unused()
        return out
