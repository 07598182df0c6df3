"""Every option of the zelk command and the conventions it shares with
gzip, xz and zstd: output names, keeping and removing inputs, refusing to
overwrite, listing, testing, exit statuses 0/1/2, terminals, progress."""

import os
import pty
import re
import subprocess
import tomllib
from pathlib import Path

import pytest

from conftest import MAGIC, block_records, leftovers, noise_bytes, signal_bytes

# Text made here: these tests are about the options, not the data.
TEXT = b"".join(b"%d: the quick brown fox jumps over the lazy dog\n" % i for i in range(300))[:12_000]


@pytest.fixture
def text_file(tmp_path):
    (tmp_path / "t.txt").write_bytes(TEXT)
    return tmp_path / "t.txt"


def test_keep_is_the_default_and_rm_removes_inputs(zelk, tmp_path, text_file):
    assert zelk("-k", "t.txt").returncode == 0
    assert text_file.exists()
    (tmp_path / "t.txt.zlk").unlink()
    assert zelk("--rm", "t.txt").returncode == 0
    assert leftovers(tmp_path, set()) == ["t.txt.zlk"]
    assert zelk("-d", "--rm", "t.txt.zlk").returncode == 0
    assert leftovers(tmp_path, set()) == ["t.txt"]
    assert text_file.read_bytes() == TEXT


def test_existing_output_is_kept_without_force(zelk, tmp_path, text_file):
    (tmp_path / "t.txt.zlk").write_bytes(b"precious")
    result = zelk("t.txt")
    assert result.returncode == 2
    assert b"already exists" in result.stderr
    assert (tmp_path / "t.txt.zlk").read_bytes() == b"precious"
    assert leftovers(tmp_path, {"t.txt", "t.txt.zlk"}) == []
    assert zelk("-f", "t.txt").returncode == 0
    assert (tmp_path / "t.txt.zlk").read_bytes().startswith(MAGIC)


def test_output_option_names_the_output(zelk, tmp_path, text_file):
    assert zelk("-o", "packed", "t.txt").returncode == 0
    assert zelk("-d", "-opacked.out", "packed").returncode == 0  # no suffix needed with -o
    assert (tmp_path / "packed.out").read_bytes() == TEXT
    assert zelk("--output=-", "t.txt").stdout == zelk("-c", "t.txt").stdout
    assert zelk("-d", "-o", "fromstdin", input=(tmp_path / "packed").read_bytes()).returncode == 0
    assert (tmp_path / "fromstdin").read_bytes() == TEXT


def test_stdout_keeps_inputs_and_writes_no_file(zelk, tmp_path, text_file):
    out = zelk("--stdout", "t.txt")
    assert out.returncode == 0 and out.stdout.startswith(MAGIC)
    assert leftovers(tmp_path, {"t.txt"}) == []
    assert zelk("-dc", input=out.stdout).stdout == TEXT


def test_output_carries_the_input_permissions_and_times(zelk, tmp_path, text_file):
    os.chmod(text_file, 0o640)
    os.utime(text_file, (1_000_000_000, 1_200_000_000))
    zelk("t.txt")
    packed = (tmp_path / "t.txt.zlk").stat()
    assert packed.st_mode & 0o777 == 0o640
    assert packed.st_mtime == 1_200_000_000


def test_test_mode_checks_and_writes_nothing(zelk, tmp_path, text_file):
    zelk("t.txt")
    result = zelk("-t", "-v", "t.txt.zlk")
    assert result.returncode == 0 and result.stdout == b""
    assert b"OK" in result.stderr
    assert leftovers(tmp_path, {"t.txt", "t.txt.zlk"}) == []
    damaged = bytearray((tmp_path / "t.txt.zlk").read_bytes())
    damaged[40] ^= 1
    (tmp_path / "bad.zlk").write_bytes(damaged)
    assert zelk("--test", "bad.zlk").returncode == 1
    assert zelk("-dt", "t.txt.zlk").returncode == 0


def test_list_shows_blocks_storage_and_ratio(zelk, tmp_path):
    (tmp_path / "mix").write_bytes(signal_bytes(40_000) + noise_bytes(20_000))
    zelk("-B", "20000", "mix")
    frame = (tmp_path / "mix.zlk").read_bytes()
    kinds = [r[1] for r in block_records(frame)]
    result = zelk("-l", "mix.zlk")
    assert result.returncode == 0
    header, row = result.stdout.decode().splitlines()
    assert header.split() == ["frames", "blocks", "zelk", "zstd", "sample", "raw", "compressed", "uncompressed",
                              "ratio", "name"]
    fields = row.split()
    assert fields[:8] == ["1", "3", *(str(kinds.count(kind)) for kind in (2, 3, 4, 1)), str(len(frame)), "60000"]
    assert float(fields[8]) == pytest.approx(len(frame) / 60000, abs=0.001)
    detail = zelk("-lv", "mix.zlk").stdout.decode()
    assert len(re.findall(r"block \d+ at offset \d+: (chunk|zstd|raw)", detail)) == 3
    (tmp_path / "again.zlk").write_bytes(frame)
    totals = zelk("--list", "mix.zlk", "again.zlk").stdout.decode().splitlines()
    assert totals[-1].split()[:8] == ["2", "6", *(str(2 * kinds.count(kind)) for kind in (2, 3, 4, 1)),
                                      str(2 * len(frame)), "120000"]


def test_quiet_hides_warnings_but_not_their_status(zelk, tmp_path, text_file):
    (tmp_path / "t.txt.zlk").write_bytes(b"x")
    loud, quiet = zelk("t.txt"), zelk("-q", "t.txt")
    assert loud.returncode == quiet.returncode == 2
    assert loud.stderr and not quiet.stderr


def test_verbose_reports_sizes(zelk, text_file):
    result = zelk("-v", "t.txt")
    assert re.search(rb"t\.txt: 12000 -> \d+ bytes .*blocks.*MB/s -> t\.txt\.zlk", result.stderr)
    assert zelk("t.txt", "-f").stderr == b""  # silent by default


def test_help_and_version(zelk):
    help_ = zelk("--help")
    assert help_.returncode == 0 and b"Usage: zelk" in help_.stdout and b"--threads" in help_.stdout
    assert zelk("-h").stdout == help_.stdout
    pyproject = tomllib.loads((Path(__file__).parents[2] / "pyproject.toml").read_text())
    version = zelk("-V")
    assert version.returncode == 0
    assert version.stdout.decode().startswith("zelk " + pyproject["project"]["version"])


@pytest.mark.parametrize(
    "args",
    [["--bogus"], ["-y"], ["-T"], ["-T", "x"], ["-B", "0"], ["-B", "2049M"], ["-B", "3G"], ["--keep=yes"],
     ["--long=x"], ["--long=9"], ["--long=32"],
     ["-o", "a", "b", "c"], ["-o", "a", "-c", "b"], ["-z", "-d"], ["-t", "-l"], ["-t", "-o", "x", "y"]],
)
def test_bad_command_lines_are_usage_errors(zelk, args):
    result = zelk(*args)
    assert result.returncode == 1
    assert b"--help" in result.stderr


def test_double_dash_ends_options(zelk, tmp_path):
    (tmp_path / "-v").write_bytes(TEXT)
    assert zelk("--", "-v").returncode == 0
    assert (tmp_path / "-v.zlk").exists()


def test_inputs_skipped_with_a_warning(zelk, tmp_path, text_file):
    zelk("t.txt")
    (tmp_path / "dir").mkdir()
    suffix = zelk("t.txt.zlk")
    assert suffix.returncode == 2 and b"already has .zlk suffix" in suffix.stderr
    unknown = zelk("-d", "t.txt")
    assert unknown.returncode == 2 and b"unknown suffix" in unknown.stderr
    directory = zelk("dir")
    assert directory.returncode == 2 and b"is a directory" in directory.stderr
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    special = zelk("fifo")
    assert special.returncode == 2 and b"not a regular file" in special.stderr
    assert leftovers(tmp_path, {"t.txt", "t.txt.zlk", "dir", "fifo"}) == []


def test_an_error_does_not_stop_later_inputs_and_sets_status_1(zelk, tmp_path, text_file):
    (tmp_path / "t.txt.zlk").write_bytes(b"x")  # a warning...
    result = zelk("missing", "t.txt", "-")  # ...an error, and stdin
    assert result.returncode == 1
    assert b"missing: No such file or directory" in result.stderr
    assert result.stdout.startswith(MAGIC)


def run_on_terminal(zelk_bin, args, stdin_tty=False, stdout_tty=False, cwd=None):
    """Runs zelk with a pseudo-terminal as stdin and/or stdout."""
    controller, terminal = pty.openpty()
    try:
        result = subprocess.run(
            [zelk_bin, *args],
            stdin=terminal if stdin_tty else subprocess.DEVNULL,
            stdout=terminal if stdout_tty else subprocess.PIPE,
            stderr=subprocess.PIPE,
            cwd=cwd,
            timeout=60,
        )
    finally:
        os.close(terminal)
        os.close(controller)
    return result


def test_compressed_data_never_goes_to_or_comes_from_a_terminal(zelk_bin, tmp_path, text_file):
    out = run_on_terminal(zelk_bin, ["-c", "t.txt"], stdout_tty=True, cwd=tmp_path)
    assert out.returncode == 1 and b"terminal" in out.stderr
    assert run_on_terminal(zelk_bin, ["-c", "-f", "t.txt"], stdout_tty=True, cwd=tmp_path).returncode == 0
    into = run_on_terminal(zelk_bin, ["-d"], stdin_tty=True, cwd=tmp_path)
    assert into.returncode == 1 and b"terminal" in into.stderr
    # Decompressed data may go to a terminal.
    zelk_packed = subprocess.run([zelk_bin, "t.txt"], cwd=tmp_path)
    assert zelk_packed.returncode == 0
    assert run_on_terminal(zelk_bin, ["-dc", "t.txt.zlk"], stdout_tty=True, cwd=tmp_path).returncode == 0


def test_progress_on_request_and_never_in_the_data(zelk, tmp_path):
    (tmp_path / "s").write_bytes(signal_bytes(60_000))
    shown = zelk("--progress", "-c", "-B", "16K", "s")
    assert re.search(rb"\rzelk: s +\d+% .*MiB -> .*MiB .*MB/s", shown.stderr)
    assert shown.stdout == zelk("-c", "-B", "16K", "s").stdout
    assert zelk("--no-progress", "-c", "s").stderr == b""


def test_encoder_debug_line_never_reaches_the_output(zelk):
    data = signal_bytes(20_000)
    packed = zelk(input=data).stdout
    assert b"DEBUG" not in packed
    assert packed.startswith(MAGIC)
    assert zelk("-d", input=packed).stdout == data


def test_memory_limit_refuses_frames_whose_blocks_do_not_fit(zelk, tmp_path):
    data = signal_bytes(300_000)
    (tmp_path / "s").write_bytes(data)
    assert zelk("-B", "2M", "s").returncode == 0
    refused = zelk("-dc", "--memlimit=20M", "s.zlk")
    assert refused.returncode == 1 and b"more than the memory limit of 20 MiB" in refused.stderr
    assert zelk("-dc", "-M", "1G", "s.zlk").stdout == data
    assert zelk("-c", "-M", "10M", "s").returncode == 1
    assert b"more than the memory limit of 1 byte" in zelk("-dc", "-M", "1", "s.zlk").stderr
    assert zelk("-M", "lots", "s").returncode == 1


def test_out_of_range_values_are_refused_with_the_librarys_message(zelk):
    for args, message in ((["-T", "5000"], b"threads must be between 0 and 1024, not 5000"),
                          (["-B", "2049M"], b"block_size must be between 1 and 2147483648"),
                          (["--long=32"], b"long must be between 10 and 31, not 32")):
        refused = zelk(*args, input=b"x")
        assert refused.returncode == 1 and message in refused.stderr


def test_long_finds_repeats_beyond_the_levels_window(zelk, tmp_path):
    noise = noise_bytes(3 << 20)
    (tmp_path / "twice").write_bytes(noise + noise)
    plain = zelk("-1", "-c", "twice").stdout
    long = zelk("-1", "--long=24", "-c", "twice").stdout
    assert len(plain) > 6 << 20 > 3 << 20 > len(long) - (64 << 10)
    assert zelk("-dc", input=long).stdout == noise + noise
    assert b"version 2, block size 6291456" in zelk("-lv", input=long).stdout  # one block: its length


def test_recursive_walks_directories_and_passes_over_what_does_not_apply(zelk, tmp_path):
    (tmp_path / "d" / "e").mkdir(parents=True)
    (tmp_path / "d" / "a.txt").write_bytes(TEXT)
    (tmp_path / "d" / "e" / "b.txt").write_bytes(TEXT[::-1])
    (tmp_path / "d" / "old.zlk").write_bytes(b"not compressed by us, and not touched")
    os.symlink("a.txt", tmp_path / "d" / "link.txt")
    os.symlink("..", tmp_path / "d" / "e" / "up")  # a walk never follows a link back up
    walked = zelk("-r", "--rm", "d")
    assert walked.returncode == 0, walked.stderr
    assert sorted(p.name for p in (tmp_path / "d").rglob("*")) == ["a.txt.zlk", "b.txt.zlk", "e", "link.txt",
                                                                   "old.zlk", "up"]
    assert zelk("-dr", "--rm", "-f", "d").returncode == 1  # old.zlk is not a frame: an error, the rest restored
    assert (tmp_path / "d" / "a.txt").read_bytes() == TEXT and (tmp_path / "d" / "e" / "b.txt").read_bytes() == TEXT[::-1]


def test_suffix_names_compressed_files_both_ways(zelk, tmp_path, text_file):
    assert zelk("-S", ".zk", "t.txt").returncode == 0 and (tmp_path / "t.txt.zk").exists()
    assert zelk("--suffix=.zk", "-d", "-f", "t.txt.zk").returncode == 0 and text_file.read_bytes() == TEXT
    assert zelk("-S", "a/b", "t.txt").returncode == 1


def test_decompress_to_stdout_with_force_passes_other_data_through(zelk, tmp_path, text_file):
    zelk("t.txt")
    mixed = zelk("-dcf", "t.txt", "t.txt.zlk", "-")
    assert mixed.returncode == 0 and mixed.stdout == TEXT + TEXT
    assert zelk("-dcf", input=b"ab").stdout == b"ab"  # shorter than a frame's magic
    assert zelk("-dc", "t.txt").returncode == 1  # without -f, not a frame is an error


@pytest.mark.parametrize("args", [["-10"], ["-19"], ["-0"], ["--ultra", "-20"], ["-22"]])
def test_zstd_levels_are_refused_naming_the_range(zelk, text_file, args):
    result = zelk(*args, "t.txt")
    assert result.returncode == 1 and (b"1 to 9" in result.stderr or b"above 9" in result.stderr)


def test_symbolic_links_are_skipped_unless_forced(zelk, tmp_path, text_file):
    os.symlink("t.txt", tmp_path / "link")
    skipped = zelk("link")
    assert skipped.returncode == 2 and b"symbolic link" in skipped.stderr and not (tmp_path / "link.zlk").exists()
    assert zelk("-f", "link").returncode == 0 and (tmp_path / "link.zlk").exists()
    assert zelk("-c", "link").returncode == 0  # to standard output, a link is read as any file


def test_the_readmes_quick_start_runs_as_written(zelk_bin, tmp_path):
    readme = (Path(__file__).parents[2] / "README.md").read_text()
    start = readme.index("```sh\n", readme.index("## First thing to try")) + len("```sh\n")
    script = readme[start:readme.index("```", start)]
    commands = tmp_path / "bin"
    commands.mkdir()
    for name in ("zelk", "zelkcat"):
        os.symlink(zelk_bin, commands / name)
    run = subprocess.run(["bash", "-e", "-c", script], cwd=tmp_path, capture_output=True, timeout=120,
                         env={**os.environ, "PATH": f"{commands}:{os.environ['PATH']}"})
    assert run.returncode == 0, run.stderr
    assert b"dir/gpl.txt" in run.stdout and (tmp_path / "dir" / "gpl.txt.zlk").exists()
