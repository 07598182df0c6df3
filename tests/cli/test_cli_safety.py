"""What a failed or interrupted zelk leaves behind: the input untouched,
no partial output and no temporary file."""

import os
import signal
import stat
import subprocess
import time

import pytest

from conftest import leftovers, signal_bytes


TERMINATING = [signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT, signal.SIGPIPE, signal.SIGALRM,
               signal.SIGUSR1, signal.SIGUSR2, signal.SIGXCPU, signal.SIGXFSZ]


@pytest.mark.parametrize("sig", TERMINATING, ids=[s.name for s in TERMINATING])
def test_interrupted_run_leaves_no_output(zelk_bin, tmp_path, sig):
    # The input comes through a pipe kept open, so the run cannot end before the signal.
    process = subprocess.Popen([zelk_bin, "-T", "1", "-B", "64K", "-o", "big.zlk", "-"], cwd=tmp_path,
                               stdin=subprocess.PIPE, stderr=subprocess.PIPE)
    process.stdin.write(signal_bytes(1_500_000))
    process.stdin.flush()
    deadline = time.monotonic() + 60
    # Wait until the temporary output exists and holds some blocks.
    while time.monotonic() < deadline:
        temps = leftovers(tmp_path, set())
        if temps and (tmp_path / temps[0]).stat().st_size > 50_000:
            break
        time.sleep(0.05)
    else:
        pytest.fail("no temporary output appeared")
    assert temps[0].startswith(".big.zlk.")
    process.send_signal(sig)
    assert process.wait(timeout=60) == -sig
    process.stdin.close()
    assert leftovers(tmp_path, set()) == []


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


# Special files of the test's own (a regression must not replace the
# system's /dev/null or /dev/stdout).
@pytest.mark.parametrize("force", [[], ["-f"]])
def test_special_files_are_written_into_never_replaced(zelk_bin, tmp_path, force):
    data = signal_bytes(30_000)
    (tmp_path / "f").write_bytes(data)
    packed = subprocess.run([zelk_bin, "-c", "f"], cwd=tmp_path, capture_output=True, check=True).stdout
    (tmp_path / "f.zlk").write_bytes(packed)
    os.mkfifo(tmp_path / "pipe")
    (tmp_path / "to-pipe").symlink_to("pipe")
    for target in ("pipe", "to-pipe"):
        with subprocess.Popen(["cat", "pipe"], cwd=tmp_path, stdout=subprocess.PIPE) as reader:
            subprocess.run([zelk_bin, "-d", *force, "-o", target, "f.zlk"], cwd=tmp_path, check=True)
            assert reader.stdout.read() == data
    assert stat.S_ISFIFO(os.lstat(tmp_path / "pipe").st_mode) and os.path.islink(tmp_path / "to-pipe")
    if os.geteuid() == 0:
        os.mknod(tmp_path / "null", 0o666 | stat.S_IFCHR, os.makedev(1, 3))
        result = subprocess.run([zelk_bin, "-d", *force, "-o", "null", "f.zlk"], cwd=tmp_path, capture_output=True)
        assert result.returncode == 0, result.stderr
        assert stat.S_ISCHR(os.lstat(tmp_path / "null").st_mode)
    (tmp_path / "stdout").symlink_to("/proc/self/fd/1")
    with open(tmp_path / "out", "wb") as out:
        subprocess.run([zelk_bin, "-d", *force, "-o", "stdout", "f.zlk"], cwd=tmp_path, stdout=out, check=True)
    assert (tmp_path / "out").read_bytes() == data and os.path.islink(tmp_path / "stdout")


def test_names_up_to_the_systems_limit(zelk_bin, tmp_path):
    name = "n" * (os.pathconf(tmp_path, "PC_NAME_MAX") - len(".zlk"))
    (tmp_path / name).write_bytes(signal_bytes(5_000))
    assert subprocess.run([zelk_bin, name], cwd=tmp_path).returncode == 0
    assert (tmp_path / (name + ".zlk")).exists()


@pytest.mark.skipif(os.geteuid() != 0, reason="only root may give a file to another owner")
def test_owner_and_group_are_kept(zelk_bin, tmp_path):
    (tmp_path / "f").write_bytes(signal_bytes(5_000))
    os.chown(tmp_path / "f", 1234, 5678)
    assert subprocess.run([zelk_bin, "f"], cwd=tmp_path).returncode == 0
    kept = os.stat(tmp_path / "f.zlk")
    assert (kept.st_uid, kept.st_gid) == (1234, 5678)


@pytest.mark.parametrize("args", [["--help"], ["-V"], ["-l", "f.zlk"]])
def test_output_to_standard_output_that_fails_is_an_error(zelk_bin, tmp_path, args):
    (tmp_path / "f").write_bytes(signal_bytes(5_000))
    subprocess.run([zelk_bin, "f"], cwd=tmp_path, check=True)
    with open("/dev/full", "wb") as full:
        result = subprocess.run([zelk_bin, *args], cwd=tmp_path, stdout=full, stderr=subprocess.PIPE)
    assert result.returncode == 1 and b"write error" in result.stderr
