"""The zelk package: frames and chunks from Python, over any buffer, with
the interpreter lock released, and in agreement with the zelk command and
with zelk_native."""
import array
import os
import random
import subprocess
import sysconfig
import threading

import pytest

import zelk
import zelk_native
from sample_data import TEXT, signal

ZELK_COMMAND = os.path.join(sysconfig.get_path("scripts"), "zelk")


INPUTS = {"empty": b"", "byte": b"x", "signal": signal(300_000), "text": TEXT, "noise": random.Random(2).randbytes(70_000)}


@pytest.mark.parametrize("name", list(INPUTS))
@pytest.mark.parametrize("level", [1, None, 9])
def test_frames_round_trip_at_every_level(name, level):
    data = INPUTS[name]
    frame = zelk.compress(data, level)
    assert frame[:4] == b"\x89ZLK"
    assert zelk.decompress(frame) == data
    assert zelk.compress(data, level, threads=3) == frame


def test_any_buffer_is_accepted_and_strings_are_not():
    data = signal(50_000)
    frame = zelk.compress(data)
    numpy = pytest.importorskip("numpy")
    for view in (bytearray(data), memoryview(data), array.array("B", data), numpy.frombuffer(data, numpy.uint8)):
        if not isinstance(view, numpy.ndarray):  # a numpy array of bytes is typed samples
            assert zelk.compress(view) == frame
        assert zelk.decompress(type(view)(frame) if isinstance(view, bytearray) else memoryview(frame)) == data
    with pytest.raises(TypeError):
        zelk.compress("text")
    with pytest.raises(TypeError):
        zelk.decode_chunk(12)


def test_frames_of_the_command_and_of_python_are_the_same():
    if not os.path.exists(ZELK_COMMAND):
        pytest.skip(f"no zelk command at {ZELK_COMMAND}")
    data = TEXT + signal(100_000)
    written = subprocess.run([ZELK_COMMAND, "-c", "-9"], input=data, capture_output=True, check=True).stdout
    assert written == zelk.compress(data, 9)
    assert zelk.decompress(written) == data
    restored = subprocess.run([ZELK_COMMAND, "-dc"], input=zelk.compress(data), capture_output=True, check=True)
    assert restored.stdout == data


def test_long_matching_reaches_past_the_levels_window():
    noise = random.Random(5).randbytes(3 << 20)
    frame = zelk.compress(noise + noise, 1, long=24)
    assert len(frame) < (3 << 20) + (64 << 10) < len(zelk.compress(noise + noise, 1))
    compressor = zelk.ZelkCompressor(1, long=True)
    assert zelk.decompress(compressor.compress(noise + noise, compressor.FLUSH_FRAME)) == noise + noise
    with pytest.raises(ValueError, match="long must be between 10 and 31, not 9"):
        zelk.compress(b"x", long=9)
    with pytest.raises(TypeError):
        zelk.compress(b"x", long="27")


def test_concatenated_frames_padding_damage_and_limits():
    a, b = signal(20_000), TEXT[:30_000]
    frames = zelk.compress(a) + zelk.compress(b, 1)
    assert zelk.decompress(frames + bytes(100)) == a + b
    assert zelk.decompress(frames, max_length=len(a + b)) == a + b
    for bad, message in ((frames[:-1], "truncated"), (frames + b"\x01", "unknown data"), (b"plain", "not in zelk format")):
        with pytest.raises(zelk.ZelkError, match=message):
            zelk.decompress(bad)
    for limit in (len(a + b) - 1, len(a) - 1):  # the limit passed in the second frame, in the first
        with pytest.raises(zelk.ZelkError, match="max_length"):
            zelk.decompress(frames, max_length=limit)
    with pytest.raises(zelk.ZelkError, match="memory limit"):
        zelk.decompress(frames, memory_limit=1 << 20)
    for bad_argument in ({"level": 0}, {"level": 10}, {"threads": -1}, {"block_size": 0}):
        with pytest.raises(ValueError):
            zelk.compress(a, **bad_argument)
    with pytest.raises(TypeError):
        zelk.compress(a, level="3")


@pytest.mark.parametrize("name", list(INPUTS))
def test_chunks_are_never_refused_and_say_what_they_are(name):
    data = INPUTS[name]
    chunk = zelk.encode_chunk(data)
    mode, length = zelk.chunk_info(chunk)
    assert length == len(data) and mode in (0, 1)
    assert zelk.decode_chunk(chunk) == data
    if mode == 0:  # the zelk chunk is exactly what zelk_native writes and reads
        assert zelk_native.decode_bytes(chunk) == data
    else:
        assert chunk[0] == 0xA1 and len(chunk) <= len(data) + 64


def test_chunks_of_zelk_native_decode_as_it_decodes_them():
    data = signal(40_000, seed=3)
    weights = bytes(range(48))
    for given in (None, weights[:10], weights):
        chunk = zelk_native.encode_bytes(data, 0, given)
        assert zelk.chunk_info(chunk)[0] == (0 if not given else 2)
        assert zelk.decode_chunk(chunk, given) == zelk_native.decode_bytes(chunk, 0, given) == data
    with pytest.raises(zelk.ZelkError, match="max_length"):
        zelk.decode_chunk(zelk_native.encode_bytes(data), max_length=len(data) - 1)
    zstd_chunk = zelk.encode_chunk(TEXT[:50_000])
    with pytest.raises(zelk.ZelkError, match="more than the 10 allowed"):
        zelk.decode_chunk(zstd_chunk, max_length=10)
    for foreign in (b"", b"\xa0\x01", b"\xb0\x00\x00\x00\x00", zstd_chunk[:-1]):
        with pytest.raises(zelk.ZelkError):
            zelk.decode_chunk(foreign)
    with pytest.raises(zelk.ZelkError):
        zelk.chunk_info(b"\xb0\x00\x00\x00\x00")


def test_the_interpreter_lock_is_released_while_coding():
    data = open(__file__, "rb").read() * 20 + signal(600_000)
    results = []
    worker = threading.Thread(target=lambda: results.append(zelk.compress(data, 6)))
    counted = 0
    worker.start()
    while worker.is_alive():
        counted += 1
    worker.join()
    assert zelk.decompress(results[0]) == data
    # Had the call kept the lock, this thread could not have run meanwhile.
    assert counted > 10_000


def test_the_types_are_visible_to_a_strict_checker(tmp_path):
    mypy = pytest.importorskip("mypy.api")
    (tmp_path / "use.py").write_text(
        "import zelk, zelk_native\n"
        "frame: bytes = zelk.compress(bytearray(b'ab'), 3, threads=2)\n"
        "mode, length = zelk.chunk_info(zelk.encode_chunk(memoryview(zelk.decompress(frame))))\n"
        "with zelk.open('f', 'rt') as text, zelk.open('g') as binary:\n"
        "    line: str = text.readline() + binary.read().decode()\n"
        "chunk: bytes = zelk_native.encode_bytes(zelk.ZelkCompressor().flush())\n"
        "wrong: str = zelk.decode_chunk(b'')\n")
    report, _, status = mypy.run(["--strict", "--no-incremental", str(tmp_path / "use.py")])
    assert status == 1 and report.count("error:") == 1 and 'has type "bytes", variable has type "str"' in report, report


def test_version_is_the_projects():
    import tomllib
    from pathlib import Path

    project = tomllib.loads((Path(__file__).parents[2] / "pyproject.toml").read_text())["project"]
    assert zelk.__version__ == project["version"]


def test_the_manual_page_is_installed_from_the_commands_help():
    page = os.path.join(sysconfig.get_path("data"), "share", "man", "man1", "zelk.1")
    with open(page, encoding="utf-8") as f:
        text = f.read()
    assert text.startswith(".TH ZELK 1") and f"zelk {zelk.__version__}" in text and "--recursive" in text
