"""Round trips through the zelk command: real and generated files, pipes,
several blocks, several threads, concatenated files, and the promise that
the frame's bytes do not depend on the thread count."""

import hashlib
import os
import subprocess
import threading

import pytest

from conftest import (
    BLOCK_RECORD_SIZE,
    END_RECORD_SIZE,
    HEADER_SIZE,
    MAGIC,
    block_records,
    host_file_bytes,
    noise_bytes,
    signal_bytes,
    text_bytes,
)

INPUTS = {
    "text": lambda: text_bytes(60_000),
    "binary": lambda: host_file_bytes("/usr/bin/true", 60_000),
    "signal": lambda: signal_bytes(60_000),
    "noise": lambda: noise_bytes(20_000),
    "empty": lambda: b"",
    "one byte": lambda: b"x",
}


@pytest.mark.parametrize("name", list(INPUTS))
def test_file_round_trip_keeps_input_and_restores_it(zelk, tmp_path, name):
    data = INPUTS[name]()
    src = tmp_path / "data.bin"
    src.write_bytes(data)
    assert zelk("data.bin").returncode == 0
    frame = (tmp_path / "data.bin.zlk").read_bytes()
    assert frame.startswith(MAGIC)
    # Never grows by more than the records around the blocks.
    assert len(frame) <= len(data) + HEADER_SIZE + END_RECORD_SIZE + BLOCK_RECORD_SIZE * max(1, len(block_records(frame)))
    assert src.read_bytes() == data  # kept by default
    src.unlink()
    assert zelk("-d", "data.bin.zlk").returncode == 0
    assert src.read_bytes() == data
    assert (tmp_path / "data.bin.zlk").exists()


def test_signal_shrinks_and_is_stored_as_chunks(zelk, tmp_path):
    (tmp_path / "s").write_bytes(signal_bytes(100_000))
    assert zelk("-B", "32K", "s").returncode == 0
    frame = (tmp_path / "s.zlk").read_bytes()
    assert len(frame) < 80_000
    assert [r[1] for r in block_records(frame)] == [2, 2, 2, 2]


def test_pipe_round_trip_without_file_names(zelk):
    data = signal_bytes(30_000) + noise_bytes(5_000)
    packed = zelk(input=data)
    assert packed.returncode == 0 and packed.stdout.startswith(MAGIC)
    assert zelk("-", input=data).stdout == packed.stdout
    restored = zelk("-d", input=packed.stdout)
    assert restored.returncode == 0 and restored.stdout == data


def test_frame_bytes_do_not_depend_on_thread_count(zelk, tmp_path):
    data = signal_bytes(80_000) + noise_bytes(30_000) + text_bytes(40_000)
    (tmp_path / "f").write_bytes(data)
    frames = {t: zelk("-c", "-B", "16K", "-T", t, "f").stdout for t in (1, 2, 5, 0)}
    assert len(set(frames.values())) == 1
    assert len(block_records(frames[1])) >= 10
    for t in (1, 3):
        assert zelk("-dc", "-T", t, input=frames[1]).stdout == data
        assert zelk("-dc", f"--threads={t}", input=frames[1]).stdout == data


def test_concatenated_files_restore_to_the_concatenation(zelk, tmp_path):
    a, b = text_bytes(20_000), signal_bytes(20_000)
    (tmp_path / "a").write_bytes(a)
    (tmp_path / "b").write_bytes(b)
    both = zelk("-c", "a", "b").stdout  # -c with several inputs writes one frame each
    assert zelk("-dc", input=both).stdout == a + b
    (tmp_path / "ab.zlk").write_bytes(zelk("-c", "a").stdout + zelk("-c", "b").stdout)
    assert zelk("-d", "ab.zlk").returncode == 0
    assert (tmp_path / "ab").read_bytes() == a + b


def test_a_damaged_later_frame_is_an_error_that_keeps_the_input(zelk, tmp_path):
    a, b = signal_bytes(20_000), signal_bytes(20_000, seed=9)
    first, second = zelk("-c", input=a).stdout, bytearray(zelk("-c", input=b).stdout)
    second[2] ^= 0x01  # the later frame's magic
    (tmp_path / "ab.zlk").write_bytes(first + bytes(second))
    result = zelk("-d", "--rm", "ab.zlk")
    assert result.returncode == 1 and b"after frame 0" in result.stderr
    assert (tmp_path / "ab.zlk").exists() and not (tmp_path / "ab").exists()


@pytest.mark.parametrize("fast,best", [("-1", "-9"), ("--fast", "--best")])
def test_levels_trade_speed_for_size(zelk, tmp_path, fast, best):
    data = text_bytes(60_000) + signal_bytes(60_000)
    (tmp_path / "f").write_bytes(data)
    small, large = zelk("-c", best, "f").stdout, zelk("-c", fast, "f").stdout
    assert len(small) < len(large)
    for packed in (small, large):
        assert zelk("-dc", input=packed).stdout == data
    assert zelk("-c", "-3", "f").stdout == zelk("-c", "f").stdout  # the default level


def test_zelkcat_restores_to_standard_output_and_each_name_has_its_help(zelk, zelk_bin, tmp_path):
    (tmp_path / "t").write_bytes(signal_bytes(10_000))
    zelk("t")
    for name, help_line in (("zelkcat", b"to standard output"), ("unzelk", b"Restore FILE.zlk"), ("zelk", b"Compress")):
        (tmp_path / name).symlink_to(zelk_bin)
        assert help_line in zelk("--help", program=tmp_path / name).stdout.splitlines()[1]
    assert zelk("t.zlk", program=tmp_path / "zelkcat").stdout == signal_bytes(10_000)


def test_unzelk_name_decompresses(zelk, zelk_bin, tmp_path):
    (tmp_path / "t").write_bytes(text_bytes(10_000))
    zelk("t")
    (tmp_path / "t").unlink()
    unzelk = tmp_path / "unzelk"
    unzelk.symlink_to(zelk_bin)
    assert zelk("t.zlk", program=unzelk).returncode == 0
    assert (tmp_path / "t").read_bytes() == text_bytes(10_000)
    # -z compresses whatever the name.
    assert zelk("-z", "-c", "t", program=unzelk).stdout.startswith(MAGIC)


def stream_through_pipes(zelk_bin, total, piece, block="1M"):
    """Generates `total` bytes into `zelk -c | zelk -dc` without storing them;
    returns the SHA-256 of what went in and of what came out."""
    compress = subprocess.Popen([zelk_bin, "-c", "-B", block], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    decompress = subprocess.Popen([zelk_bin, "-dc"], stdin=compress.stdout, stdout=subprocess.PIPE)
    compress.stdout.close()
    sent, got = hashlib.sha256(), hashlib.sha256()

    def feed():
        chunk = signal_bytes(piece, seed=3) + noise_bytes(piece // 4, seed=4)
        done = 0
        while done < total:
            part = chunk[: total - done]
            compress.stdin.write(part)
            sent.update(part)
            done += len(part)
        compress.stdin.close()

    feeder = threading.Thread(target=feed)
    feeder.start()
    for block_bytes in iter(lambda: decompress.stdout.read(1 << 16), b""):
        got.update(block_bytes)
    feeder.join()
    assert compress.wait() == 0 and decompress.wait() == 0
    return sent.hexdigest(), got.hexdigest()


def test_streamed_input_round_trips_through_a_pipe(zelk_bin):
    sent, got = stream_through_pipes(zelk_bin, total=600_000, piece=50_000, block="64K")
    assert sent == got


@pytest.mark.skipif(not os.environ.get("ZELK_LONG_CHECKS"), reason="long check: set ZELK_LONG_CHECKS=1")
def test_several_hundred_mebibytes_stream_through_a_pipe(zelk_bin):
    size = int(os.environ.get("ZELK_LONG_MIB", "300")) << 20
    sent, got = stream_through_pipes(zelk_bin, total=size, piece=1 << 20)
    assert sent == got
