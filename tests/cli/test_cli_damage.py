"""Damaged and truncated compressed files through the zelk command: a
flipped bit in a payload or a checksum, truncation at every block boundary
and inside blocks. Each is refused with status 1 and a message naming the
block and its offset; a named output never appears, and standard output
receives only a correct prefix of the data."""

import subprocess

import pytest

from conftest import BLOCK_RECORD_SIZE, END_RECORD_SIZE, HEADER_SIZE, block_records, leftovers, noise_bytes, signal_bytes

DATA = signal_bytes(48_000) + noise_bytes(8_000) + signal_bytes(8_000, seed=5)


@pytest.fixture(scope="module")
def frame(zelk_bin):
    result = subprocess.run([zelk_bin, "-c", "-B", "16K"], input=DATA, capture_output=True, check=True)
    records = block_records(result.stdout)
    assert [r[1] for r in records] == [2, 2, 2, 1]  # three chunks and a raw block
    return result.stdout


def refused(zelk, tmp_path, damaged):
    """Decompresses `damaged` both into a named file and to stdout; checks
    the refusal and returns the error message."""
    (tmp_path / "d.zlk").write_bytes(damaged)
    named = zelk("-d", "d.zlk")
    assert named.returncode == 1
    assert leftovers(tmp_path, {"d.zlk"}) == []  # no output, no temporary file
    piped = zelk("-dc", input=damaged)
    assert piped.returncode == 1
    assert DATA.startswith(piped.stdout)
    assert named.stderr == piped.stderr.replace(b"(stdin)", b"d.zlk")
    return named.stderr.decode()


def test_flipped_bit_in_a_payload(zelk, tmp_path, frame):
    for index, (at, _, _, stored) in enumerate(block_records(frame)):
        damaged = bytearray(frame)
        damaged[at + BLOCK_RECORD_SIZE + stored // 2] ^= 0x20
        message = refused(zelk, tmp_path, bytes(damaged))
        assert f"block {index} at offset {at}" in message
        assert "checksum mismatch" in message


def test_flipped_bit_in_a_checksum(zelk, tmp_path, frame):
    at = block_records(frame)[1][0]
    damaged = bytearray(frame)
    damaged[at + 9] ^= 0x80  # the block's CRC-32C
    message = refused(zelk, tmp_path, bytes(damaged))
    assert f"block 1 at offset {at}" in message
    damaged = bytearray(frame)
    damaged[3] ^= 1  # the magic
    assert "not in zelk format" in refused(zelk, tmp_path, bytes(damaged))
    damaged = bytearray(frame)
    damaged[HEADER_SIZE - 1] ^= 4  # the header's check
    assert "damaged frame header at offset 0" in refused(zelk, tmp_path, bytes(damaged))
    damaged = bytearray(frame)
    damaged[-1] ^= 4  # the end record's check
    assert f"end record at offset {len(frame) - END_RECORD_SIZE}" in refused(zelk, tmp_path, bytes(damaged))


def test_truncated_at_every_block_boundary_and_inside_blocks(zelk, tmp_path, frame):
    records = block_records(frame)
    boundaries = [at for at, *_ in records] + [len(frame) - END_RECORD_SIZE]
    for index, at in enumerate(boundaries):
        message = refused(zelk, tmp_path, frame[:at])
        assert "truncated" in message and f"offset {at}" in message
        # The blocks before the cut are restored in full on a stream.
        restored = zelk("-dc", input=frame[:at]).stdout
        assert restored == DATA[: sum(r[2] for r in records[:index])]
    for at, _, _, stored in records:
        for cut in (at + 5, at + BLOCK_RECORD_SIZE + stored // 3):
            assert f"offset {at}" in refused(zelk, tmp_path, frame[:cut])
    for cut in (1, 7, len(frame) - 3):
        refused(zelk, tmp_path, frame[:cut])


def test_not_a_frame(zelk, tmp_path):
    assert "not in zelk format" in refused(zelk, tmp_path, b"plain text, not compressed\n")
    assert "empty" in refused(zelk, tmp_path, b"")


def test_trailing_garbage_is_a_warning_after_the_data(zelk, tmp_path, frame):
    (tmp_path / "g.zlk").write_bytes(frame + b"\0" * 512)
    result = zelk("-d", "g.zlk")
    assert result.returncode == 2 and b"trailing garbage ignored" in result.stderr
    assert (tmp_path / "g").read_bytes() == DATA
