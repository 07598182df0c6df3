"""What a failed or interrupted zelk leaves behind: the input untouched,
no partial output and no temporary file."""

import signal
import subprocess
import time

import pytest

from conftest import leftovers, signal_bytes


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_interrupted_run_leaves_no_output(zelk_bin, tmp_path, sig):
    data = signal_bytes(1_500_000)
    (tmp_path / "big").write_bytes(data)
    process = subprocess.Popen([zelk_bin, "-T", "1", "-B", "64K", "big"], cwd=tmp_path, stderr=subprocess.PIPE)
    deadline = time.monotonic() + 60
    # Wait until the temporary output exists and holds some blocks.
    while time.monotonic() < deadline:
        temps = leftovers(tmp_path, {"big"})
        if temps and (tmp_path / temps[0]).stat().st_size > 50_000:
            break
        time.sleep(0.05)
    else:
        pytest.fail("no temporary output appeared")
    assert temps[0].startswith(".big.zlk.")
    process.send_signal(sig)
    assert process.wait(timeout=60) == -sig
    assert leftovers(tmp_path, {"big"}) == []
    assert (tmp_path / "big").read_bytes() == data


def test_write_failure_is_an_error(zelk_bin, tmp_path):
    (tmp_path / "f").write_bytes(signal_bytes(20_000))
    with open("/dev/full", "wb") as full:
        result = subprocess.run([zelk_bin, "-c", "f"], cwd=tmp_path, stdout=full, stderr=subprocess.PIPE)
    assert result.returncode == 1
    assert b"No space left on device" in result.stderr


def test_input_that_is_its_own_output_is_refused(zelk_bin, tmp_path):
    (tmp_path / "f").write_bytes(signal_bytes(5_000))
    (tmp_path / "f.zlk").symlink_to("f")
    result = subprocess.run([zelk_bin, "-d", "-f", "f.zlk"], cwd=tmp_path, stderr=subprocess.PIPE)
    assert result.returncode == 1
    assert b"input and output are the same file" in result.stderr
    assert (tmp_path / "f").read_bytes() == signal_bytes(5_000)
