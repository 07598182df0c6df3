"""File objects over compressed files: ZelkFile and zelk.open()."""
from __future__ import annotations

import builtins
import io
import os
import threading
from typing import IO, TYPE_CHECKING, Any, Literal, Optional, Sequence, Union, overload

from . import _zelk
from ._frames import ZelkCompressor

if TYPE_CHECKING:
    from _typeshed import ReadableBuffer, StrOrBytesPath, WriteableBuffer

# Bytes read from the compressed file at a time.
_READ_SIZE = 1 << 17


class _FrameReader(io.RawIOBase):
    """The data of the frames of a compressed file, read as a raw stream
    through one decoder of the library's, which decides what may follow a
    frame (another frame, zero padding) and reports damage. Seeking
    backwards starts again from the beginning of the file."""

    def __init__(self, fp: IO[bytes], threads: int, memory_limit: Optional[int]) -> None:
        self._fp = fp
        self._decoder_arguments = (threads, memory_limit, True)
        self._start = fp.tell() if fp.seekable() else 0
        self._rewind_state()

    def _rewind_state(self) -> None:
        self._decoder = _zelk.FrameDecoder(*self._decoder_arguments)
        self._needs_input = True
        self._pos = 0             # data bytes returned
        self._eof = False
        self._size = -1           # the data's length, once known

    def readable(self) -> bool:
        return True

    def readall(self) -> bytes:
        pieces = []
        while piece := self.read(io.DEFAULT_BUFFER_SIZE * 64):
            pieces.append(piece)
        return b"".join(pieces)

    def seekable(self) -> bool:
        return self._fp.seekable()

    def readinto(self, buffer: WriteableBuffer) -> int:
        with memoryview(buffer) as view, view.cast("B") as target:
            data = self.read(len(target))
            target[: len(data)] = data
        return len(data)

    def read(self, size: int = -1) -> bytes:
        if size < 0:
            return self.readall()
        if size == 0 or self._eof:
            return b""
        data = b""
        while not data:
            piece = self._fp.read(_READ_SIZE) if self._needs_input else b""
            if self._needs_input and not piece:
                self._decoder.finish()  # EOFError when the file ends inside a frame
            data, self._eof, self._needs_input = self._decoder.decode(piece, size)
            if self._eof:
                self._size = self._pos + len(data)
                break
        self._pos += len(data)
        return data

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        if whence == io.SEEK_CUR:
            offset += self._pos
        elif whence == io.SEEK_END:
            if self._size < 0:
                while self.read(io.DEFAULT_BUFFER_SIZE):
                    pass
            offset += self._size
        elif whence != io.SEEK_SET:
            raise ValueError(f"invalid whence ({whence}, should be 0, 1 or 2)")
        if offset < self._pos:
            self._fp.seek(self._start)
            self._rewind_state()
        while self._pos < offset and self.read(min(io.DEFAULT_BUFFER_SIZE, offset - self._pos)):
            pass
        return self._pos

    def tell(self) -> int:
        return self._pos


class ZelkFile(io.BufferedIOBase):
    """A file object over a zelk-compressed file, in binary mode.

    ``file`` is a path or an open binary file object. ``mode`` is 'r' to
    read (concatenated frames are read one after another), 'w' to write
    (truncating), 'x' to create or 'a' to append a new frame; a 'b' may be
    added. ``level``, ``threads``, ``block_size``, ``memory_limit``,
    ``long``, ``dtype`` and ``shape`` are those of ``zelk.compress()`` and
    ``zelk.ZelkCompressor`` when writing; ``threads`` and
    ``memory_limit`` those of ``zelk.decompress()`` when reading. Reading supports seek() (emulated:
    backwards seeks start again from the beginning, so they can be slow);
    the file works as ``fileobj`` for ``tarfile`` in its streaming modes.
    """

    FLUSH_BLOCK = ZelkCompressor.FLUSH_BLOCK
    FLUSH_FRAME = ZelkCompressor.FLUSH_FRAME

    def __init__(self, file: Union[StrOrBytesPath, IO[bytes]], mode: str = "r", *,
                 level: Optional[int] = None, threads: int = 1, block_size: Optional[int] = None,
                 memory_limit: Optional[int] = None, long: bool | int = False, dtype: Any = None,
                 shape: Optional[Sequence[int]] = None) -> None:
        self._fp: Optional[IO[bytes]] = None
        self._owns_fp = False
        if mode not in ("r", "rb", "w", "wb", "x", "xb", "a", "ab"):
            raise ValueError(f"invalid mode: {mode!r}")
        self._mode = mode[0]
        if self._mode == "r" and (level is not None or block_size is not None or long or dtype is not None):
            raise ValueError("level, block_size, long and dtype are for writing")
        if isinstance(file, (str, bytes, os.PathLike)):
            fp = builtins.open(file, self._mode + "b")
            self._owns_fp = True
        elif hasattr(file, "read" if self._mode == "r" else "write"):
            fp = file
        else:
            raise TypeError("file must be a path or a file object")
        self._fp = fp
        try:
            if self._mode == "r":
                raw = _FrameReader(fp, threads, memory_limit)
                self._buffer: Optional[io.BufferedReader] = io.BufferedReader(raw, _READ_SIZE)
            else:
                self._buffer = None
                self._compressor = ZelkCompressor(level, threads=threads, block_size=block_size,
                                                  memory_limit=memory_limit, long=long, dtype=dtype, shape=shape)
                self._write_lock = threading.Lock()  # a write's data and its bytes stay together
                self._written = 0          # data bytes written
                self._frame_open = False   # data written since the frame began
                self._block_open = False   # data written since the last flush
        except BaseException:
            if self._owns_fp:
                fp.close()
            self._fp = None
            raise

    # State and the file object's protocol.

    @property
    def closed(self) -> bool:
        return self._fp is None

    @property
    def mode(self) -> str:
        return "rb" if self._mode == "r" else "wb"

    @property
    def name(self) -> Any:
        return self._file().name

    def fileno(self) -> int:
        return self._file().fileno()

    def readable(self) -> bool:
        self._file()
        return self._mode == "r"

    def writable(self) -> bool:
        self._file()
        return self._mode != "r"

    def seekable(self) -> bool:
        return self._mode == "r" and self._file().seekable()

    def close(self) -> None:
        """Flush and close the file; a file written ends its frame here (an
        empty frame when nothing was written at all)."""
        if self._fp is None:
            return
        try:
            if self._buffer is not None:
                self._buffer.close()
            else:
                with self._write_lock:
                    if self._frame_open or self._written == 0:
                        self._fp.write(self._compressor.flush(self.FLUSH_FRAME))
        finally:
            fp, self._fp = self._fp, None
            self._buffer = None
            if self._owns_fp:
                fp.close()

    def _file(self) -> IO[bytes]:
        if self._fp is None:
            raise ValueError("I/O operation on closed file")
        return self._fp

    def _reader(self) -> io.BufferedReader:
        self._file()
        if self._buffer is None:
            raise io.UnsupportedOperation("File not open for reading")
        return self._buffer

    def _writer(self) -> ZelkCompressor:
        self._file()
        if self._mode == "r":
            raise io.UnsupportedOperation("File not open for writing")
        return self._compressor

    # Reading.

    def read(self, size: Optional[int] = -1) -> bytes:
        return self._reader().read(-1 if size is None else size)

    def read1(self, size: int = -1) -> bytes:
        return self._reader().read1(size)

    def readinto(self, buffer: WriteableBuffer) -> int:
        return self._reader().readinto(buffer)

    def readinto1(self, buffer: WriteableBuffer) -> int:
        return self._reader().readinto1(buffer)

    def readline(self, size: Optional[int] = -1) -> bytes:
        return self._reader().readline(-1 if size is None else size)

    def peek(self, size: int = -1) -> bytes:
        """Bytes ahead without moving the position; at least one unless at
        the end of the data."""
        return self._reader().peek(size)

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        """Move to a position of the data (reading only)."""
        reader = self._reader()
        if not self._file().seekable():
            raise io.UnsupportedOperation("the underlying file is not seekable")
        return reader.seek(offset, whence)

    def tell(self) -> int:
        """The position in the data: bytes read, or written."""
        return self._reader().tell() if self._mode == "r" else self._written

    # Writing.

    def write(self, data: ReadableBuffer) -> int:
        """Compress ``data`` and write what is ready; returns its length."""
        compressor = self._writer()
        with memoryview(data) as view:
            length = view.nbytes
        with self._write_lock:
            self._file().write(compressor.compress(data))
            self._written += length
            if length:
                self._frame_open = self._block_open = True
        return length

    def flush(self, mode: int = FLUSH_BLOCK) -> None:
        """Write out the data given so far, ending its block (FLUSH_BLOCK) or
        the frame (FLUSH_FRAME), and flush the file beneath; nothing when
        nothing was written since the last flush."""
        fp = self._file()
        if self._mode == "r":
            return
        if mode not in (self.FLUSH_BLOCK, self.FLUSH_FRAME):
            raise ValueError(f"mode must be FLUSH_BLOCK or FLUSH_FRAME, not {mode!r}")
        with self._write_lock:
            if self._block_open if mode == self.FLUSH_BLOCK else self._frame_open:
                fp.write(self._compressor.flush(mode))
                self._block_open = False
                self._frame_open = self._frame_open and mode == self.FLUSH_BLOCK
        if hasattr(fp, "flush"):
            fp.flush()


_BinaryMode = Literal["r", "rb", "w", "wb", "x", "xb", "a", "ab"]
_TextMode = Literal["rt", "wt", "xt", "at"]


@overload
def open(file: Union[StrOrBytesPath, IO[bytes]], mode: _BinaryMode = "rb", *, level: Optional[int] = None,
         threads: int = 1, block_size: Optional[int] = None, memory_limit: Optional[int] = None,
         long: bool | int = False, dtype: Any = None, shape: Optional[Sequence[int]] = None, encoding: None = None, errors: None = None,
         newline: None = None) -> ZelkFile: ...


@overload
def open(file: Union[StrOrBytesPath, IO[bytes]], mode: _TextMode, *, level: Optional[int] = None,
         threads: int = 1, block_size: Optional[int] = None, memory_limit: Optional[int] = None,
         long: bool | int = False, dtype: Any = None, shape: Optional[Sequence[int]] = None, encoding: Optional[str] = None,
         errors: Optional[str] = None, newline: Optional[str] = None) -> io.TextIOWrapper: ...


@overload
def open(file: Union[StrOrBytesPath, IO[bytes]], mode: str, *, level: Optional[int] = None,
         threads: int = 1, block_size: Optional[int] = None, memory_limit: Optional[int] = None,
         long: bool | int = False, dtype: Any = None, shape: Optional[Sequence[int]] = None, encoding: Optional[str] = None,
         errors: Optional[str] = None, newline: Optional[str] = None) -> Union[ZelkFile, io.TextIOWrapper]: ...


def open(file: Union[StrOrBytesPath, IO[bytes]], mode: str = "rb", *, level: Optional[int] = None,
         threads: int = 1, block_size: Optional[int] = None, memory_limit: Optional[int] = None,
         long: bool | int = False, dtype: Any = None, shape: Optional[Sequence[int]] = None, encoding: Optional[str] = None,
         errors: Optional[str] = None, newline: Optional[str] = None) -> Union[ZelkFile, io.TextIOWrapper]:
    """Open a zelk-compressed file in binary or text mode, as ``gzip.open``
    does: 'r', 'w', 'x' or 'a', with 'b' (the default) or 't'. In text mode
    the ZelkFile is wrapped in an ``io.TextIOWrapper`` with ``encoding``,
    ``errors`` and ``newline``, which binary mode refuses."""
    if "t" in mode:
        if "b" in mode:
            raise ValueError(f"invalid mode: {mode!r}")
    elif encoding is not None or errors is not None or newline is not None:
        raise ValueError("encoding, errors and newline are for text mode")
    binary = ZelkFile(file, mode.replace("t", ""), level=level, threads=threads, block_size=block_size,
                      memory_limit=memory_limit, long=long, dtype=dtype, shape=shape)
    if "t" in mode:
        if hasattr(io, "text_encoding"):  # Python 3.10 on: warns of a locale's encoding where asked to
            encoding = io.text_encoding(encoding)
        return io.TextIOWrapper(binary, encoding, errors, newline)
    return binary
