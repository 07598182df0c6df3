"""The package's arguments: every door hands them to the library as given,
which refuses them with one set of messages, and hostile chunks and frames
cost no more than their size or the size the caller expects."""
import io
import struct
import time

import numpy as np
import pytest

import zelk
from sample_data import TEXT

FRAME = zelk.compress(TEXT)

DOORS = {
    "compress": lambda **k: zelk.compress(TEXT, **k),
    "ZelkCompressor": lambda **k: zelk.ZelkCompressor(**k).compress(TEXT),
    "ZelkFile": lambda **k: zelk.ZelkFile(io.BytesIO(), "w", **k).close(),
}
READERS = {
    "decompress": lambda **k: zelk.decompress(FRAME, **k),
    "ZelkDecompressor": lambda **k: zelk.ZelkDecompressor(**k).decompress(FRAME),
    "ZelkFile": lambda **k: zelk.ZelkFile(io.BytesIO(FRAME), **k).read(),
}


@pytest.mark.parametrize("door", list(DOORS))
def test_writers_refuse_what_the_library_refuses(door):
    call = DOORS[door]
    for arguments, error, message in (
            ({"level": 10}, ValueError, "level must be between 1 and 9, not 10"),
            ({"level": 2**64 + 3}, OverflowError, "level"),
            ({"level": True}, TypeError, "level must be an int, not bool"),
            ({"threads": -1}, ValueError, "threads must be between 0 and 1024, not -1"),
            ({"threads": 2**64}, OverflowError, "threads"),
            ({"block_size": 0}, ValueError, "block_size must be between 1 and"),
            ({"block_size": 1.5}, TypeError, "block_size must be an int, not float"),
            ({"memory_limit": 2**64}, OverflowError, "memory_limit"),
            ({"block_size": 1 << 20, "memory_limit": 1}, ValueError, "more than the memory limit of 1 byte")):
        with pytest.raises(error, match=message):
            call(**arguments)
    call(level=9, threads=0, block_size=4096, memory_limit=1 << 30)


@pytest.mark.parametrize("door", list(READERS))
def test_readers_refuse_what_the_library_refuses(door):
    call = READERS[door]
    with pytest.raises(OverflowError, match="memory_limit"):
        call(memory_limit=2**64)
    with pytest.raises(ValueError, match="threads"):
        call(threads=5000)
    with pytest.raises(zelk.ZelkError, match="more than the memory limit of 20 MiB"):
        call(memory_limit=20 << 20)
    assert call(threads=0, memory_limit=1 << 30) == TEXT


def test_a_length_limit_beyond_64_bits_is_refused_not_wrapped():
    for call in (lambda: zelk.decompress(FRAME, max_length=2**64 + 5),
                 lambda: zelk.ZelkDecompressor().decompress(FRAME, 2**64 + 5),
                 lambda: zelk.decode_chunk(zelk.encode_chunk(TEXT), max_length=2**64 + 5)):
        with pytest.raises(OverflowError, match="max_length"):
            call()


def test_hostile_chunks_are_refused_at_once():
    claiming_4_gib = b"\xa0\xff\xff\xff\xff" + bytes(4)
    raw_block = struct.pack("<I", 100 << 3 | 1)[:3]
    frame = struct.pack("<IBI", 0xFD2FB528, 0xA0, 0xFFFFFFFF) + raw_block + b"x" * 100
    start = time.monotonic()
    for chunk, message in ((claiming_4_gib, "cannot hold 4294967295 bytes"),
                           (b"\xa1\xff\xff\xff\xff" + frame, "more than its frame's blocks can hold")):
        with pytest.raises(zelk.ZelkError, match=message):
            zelk.decode_chunk(chunk)
    assert time.monotonic() - start < 5


def test_array_codecs_decode_no_more_than_the_chunk_expected():
    from zelk.codecs import Zelk

    compressor = zelk.ZelkCompressor(1)
    bomb = b"".join(compressor.compress(bytes(1 << 22)) for _ in range(16)) + compressor.flush()  # 64 MiB
    with pytest.raises(zelk.ZelkError, match="max_length"):
        Zelk().decode(bomb, out=np.empty(1024))
    assert bytes(Zelk().decode(zelk.compress(bytes(8192)), out=np.empty(1024))) == bytes(8192)
