"""The package's streams: ZelkCompressor and ZelkDecompressor fed in pieces,
ZelkFile and zelk.open over files of several frames, tarfile and shutil on
top, under output limits, damage, many threads and many calls."""
import io
import os
import random
import resource
import shutil
import subprocess
import sysconfig
import tarfile
import threading

import pytest

import zelk
from sample_data import TEXT, signal

DATA = TEXT[:400_000] + signal(200_000)
ZELK_COMMAND = os.path.join(sysconfig.get_path("scripts"), "zelk")


def pieces(data, seed, largest=50_000):
    rng = random.Random(seed)
    at = 0
    while at < len(data):
        n = rng.randint(0, largest)
        yield data[at:at + n]
        at += n


def decompress_in_pieces(frame, seed, decompressor=None):
    """The data of one frame fed in random pieces and read under random limits."""
    decompressor = decompressor or zelk.ZelkDecompressor()
    rng = random.Random(seed)
    out = []
    for piece in pieces(frame, seed, 20_000):
        out.append(decompressor.decompress(piece, rng.choice([-1, 0, 1, 7000, 100_000])))
        while not decompressor.needs_input and not decompressor.eof:
            out.append(decompressor.decompress(b"", rng.randint(1, 200_000)))
    return b"".join(out)


@pytest.mark.parametrize("threads", [1, 2])
def test_a_compressor_fed_in_pieces_writes_the_one_shot_frame(threads):
    compressor = zelk.ZelkCompressor(2, threads=threads, block_size=1 << 17)
    assert compressor.last_mode == compressor.FLUSH_FRAME
    frame = b"".join(compressor.compress(piece) for piece in pieces(DATA, threads)) + compressor.flush()
    assert frame == zelk.compress(DATA, 2, block_size=1 << 17)
    assert compressor.last_mode == compressor.FLUSH_FRAME
    assert compressor.flush() == zelk.compress(b"", 2, block_size=1 << 17)  # a frame ended with no data is an empty frame


def test_flushed_blocks_decompress_before_the_frame_ends():
    compressor = zelk.ZelkCompressor(block_size=1 << 16)
    decompressor = zelk.ZelkDecompressor()
    restored, given = b"", 0
    for piece in pieces(DATA, 3, 30_000):
        written = compressor.compress(piece, compressor.FLUSH_BLOCK)
        assert compressor.last_mode == compressor.FLUSH_BLOCK
        restored += decompressor.decompress(written)
        given += len(piece)
        assert restored == DATA[:given]
    restored += decompressor.decompress(compressor.flush())
    assert restored == DATA and decompressor.eof


def test_a_decompressor_under_any_limit_keeps_what_follows_the_frame():
    frame = zelk.compress(DATA, block_size=1 << 16)
    decompressor = zelk.ZelkDecompressor(threads=2)
    assert decompress_in_pieces(frame + b"next", 5, decompressor) == DATA
    assert decompressor.eof and not decompressor.needs_input
    assert decompressor.unused_data == b"next"
    with pytest.raises(EOFError):
        decompressor.decompress(b"")
    cut = zelk.ZelkDecompressor()
    assert DATA.startswith(cut.decompress(frame[:-10]))
    assert cut.needs_input and not cut.eof and cut.unused_data == b""


def test_a_bomb_is_held_to_the_output_limit_in_bounded_memory():
    compressor = zelk.ZelkCompressor(1, block_size=1 << 22)
    zeros = bytes(1 << 22)
    bomb = b"".join(compressor.compress(zeros) for _ in range(64)) + compressor.flush()  # 256 MiB
    assert len(bomb) < 1 << 18
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    decompressor = zelk.ZelkDecompressor(threads=2)
    for _ in range(3):
        assert len(decompressor.decompress(bomb if _ == 0 else b"", 1 << 20)) == 1 << 20
        assert not decompressor.needs_input
    grown_mib = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - peak) / 1024
    assert grown_mib < 100, f"{grown_mib:.0f} MiB for 3 MiB of output"
    with pytest.raises(zelk.ZelkError, match="max_length"):
        zelk.decompress(bomb, max_length=(1 << 28) - 1)


def test_damage_and_wrong_arguments_raise_and_leave_the_module_usable():
    frame = zelk.compress(DATA, block_size=1 << 16)
    damaged = bytearray(frame)
    damaged[len(frame) // 2] ^= 0x10
    decompressor = zelk.ZelkDecompressor()
    with pytest.raises(zelk.ZelkError, match="block"):
        decompressor.decompress(damaged)
    with pytest.raises(zelk.ZelkError, match="block"):  # and stays broken
        decompressor.decompress(b"")
    with pytest.raises(zelk.ZelkError, match="not in zelk format"):
        zelk.ZelkDecompressor().decompress(b"PK\x03\x04 an archive of another kind")
    with pytest.raises(TypeError):
        zelk.ZelkCompressor().compress("text")
    with pytest.raises(ValueError):
        zelk.ZelkCompressor().flush(zelk.ZelkCompressor.CONTINUE)
    with pytest.raises(ValueError):
        zelk.ZelkCompressor(block_size=(2048 << 20) + 1)
    assert decompress_in_pieces(frame, 1) == DATA


def test_files_read_and_write_like_the_standard_compressed_files(tmp_path):
    path = tmp_path / "data.zlk"
    with zelk.open(path, "wb", block_size=1 << 16) as f:
        for piece in pieces(DATA, 7):
            assert f.write(memoryview(piece)) == len(piece)
        assert f.tell() == len(DATA)
    with zelk.open(path, "ab", level=1) as f:  # a second frame
        f.write(b"appended\n")
    with open(path, "ab") as f:
        f.write(bytes(512))  # padding, as a block device leaves
    whole = DATA + b"appended\n"
    with zelk.ZelkFile(path) as f:
        assert f.read(5) == whole[:5] and f.peek(1)[:1] == whole[5:6]
        buffer = bytearray(100)
        assert f.readinto(buffer) == 100 and buffer == whole[5:105]
        assert f.readline() == whole[105:whole.index(b"\n", 105) + 1]
        assert f.seek(-9, io.SEEK_END) == len(whole) - 9 and f.read() == b"appended\n"
        assert f.seek(1000) == 1000 and f.read(10) == whole[1000:1010] and f.tell() == 1010
        f.seek(0)
        assert list(f) == whole.splitlines(keepends=True)
    with zelk.open(path, "rt", encoding="latin-1", newline="") as text:
        assert text.read() == whole.decode("latin-1")
    if os.path.exists(ZELK_COMMAND):  # the command reads it too, warning of the padding (status 2)
        command = subprocess.run([ZELK_COMMAND, "-dc", str(path)], capture_output=True)
        assert command.stdout == whole and command.returncode == 2
    with zelk.open(path, "wt", encoding="utf-16") as text:
        text.write("ünïcode\n")
    assert zelk.decompress(path.read_bytes()).decode("utf-16") == "ünïcode\n"
    zelk.open(path, "wb").close()
    assert zelk.decompress(path.read_bytes()) == b"" and zelk.open(path).read() == b""


def test_files_refuse_damage_truncation_and_misuse(tmp_path):
    frame = zelk.compress(DATA)
    with pytest.raises(EOFError):
        zelk.open(io.BytesIO(frame[:-1])).read()
    with pytest.raises(zelk.ZelkError, match="unknown data at offset %d after frame 0" % len(frame)):
        zelk.open(io.BytesIO(frame + bytes(10) + b"x")).read()
    with pytest.raises(zelk.ZelkError, match="not in zelk format"):
        zelk.open(io.BytesIO(b"\x1f\x8b gzip, not zelk")).read()
    for mode, arguments in (("rw", {}), ("rb", {"level": 3}), ("wb", {"memory_limit": 1}), ("rbt", {}),
                            ("rb", {"encoding": "utf-8"})):
        with pytest.raises(ValueError):
            zelk.open(io.BytesIO(frame), mode, **arguments)
    reader = zelk.ZelkFile(io.BytesIO(frame))
    with pytest.raises(io.UnsupportedOperation):
        reader.write(b"x")
    reader.close()
    with pytest.raises(ValueError):
        reader.read()


def test_tar_archives_stream_through_files_and_shutil(tmp_path):
    source = tmp_path / "tree"
    (source / "sub").mkdir(parents=True)
    (source / "sub" / "signal.bin").write_bytes(signal(100_000))
    (source / "text.txt").write_bytes(TEXT[:50_000])
    stream = io.BytesIO()
    with zelk.ZelkFile(stream, "w") as compressed, tarfile.open(fileobj=compressed, mode="w|") as tar:
        tar.add(source, arcname="tree")
    with zelk.ZelkFile(io.BytesIO(stream.getvalue())) as compressed, \
            tarfile.open(fileobj=compressed, mode="r|") as tar:
        names = {member.name: member.size for member in tar}
    assert names["tree/sub/signal.bin"] == 100_000 and names["tree/text.txt"] == 50_000

    zelk.register_archive_formats()
    archive = shutil.make_archive(str(tmp_path / "archive"), "zelktar", root_dir=tmp_path, base_dir="tree")
    assert archive.endswith(".tar.zlk")
    shutil.unpack_archive(archive, tmp_path / "out")
    assert (tmp_path / "out" / "tree" / "sub" / "signal.bin").read_bytes() == signal(100_000)


def test_threads_share_objects_and_run_apart():
    chunks = [bytes([n]) * 50_000 + signal(20_000, n) for n in range(8)]
    stream = io.BytesIO()
    shared = zelk.ZelkFile(stream, "w", threads=2, block_size=1 << 15)
    threads = [threading.Thread(target=shared.write, args=(c,)) for c in chunks]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    shared.close()
    restored = zelk.decompress(stream.getvalue())
    # Calls took turns: each chunk is whole, in some order.
    assert sorted(restored[i:i + 70_000] for i in range(0, len(restored), 70_000)) == sorted(chunks)

    frames = [zelk.compress(c) for c in chunks]
    results = {}
    threads = [threading.Thread(target=lambda n=n: results.update({n: decompress_in_pieces(frames[n], n)}))
               for n in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert [results[n] for n in range(8)] == chunks


def test_many_calls_and_objects_do_not_leak():
    data = b"some data " * 100
    frame, chunk = zelk.compress(data), zelk.encode_chunk(data)

    def rss_kib():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024

    def calls(rounds):  # four one-shot calls and three objects a round, damage included
        for n in range(rounds):
            zelk.decompress(zelk.compress(data, 1))
            zelk.decode_chunk(chunk)
            with pytest.raises(zelk.ZelkError):
                zelk.decompress(frame[:-1 - n % 40])
            if n % 8 == 0:
                compressor = zelk.ZelkCompressor(1)
                compressor.compress(data)
                compressor.flush()
                zelk.ZelkDecompressor().decompress(frame)
                with pytest.raises(zelk.ZelkError):
                    zelk.ZelkDecompressor().decompress(frame[:20] + b"\xff" * 30)

    calls(2_000)
    before = rss_kib()
    calls(25_000)
    assert rss_kib() - before < 8 << 10
