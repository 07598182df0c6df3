"""The `zelk` command beside zstd, gzip and xz on whole files: `python -m bench.frames`.

Measures, in one run and on one thread each, the compressed size and the
compression and decompression speed of zelk -1, -3 (the default) and -9,
zstd -3 and -19, gzip -6 and xz -6 on the files of bench/corpus.py (or of
--files DIR), checks every round trip, counts the kinds of blocks zelk chose,
and judges the frame targets (bench/frame_targets.py). Prints one Markdown
table and writes it with the targets to bench/results/frames.md.
"""
import argparse
import datetime
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from typing import Optional

from . import corpus, frame_targets
from .console import divert_native_stdout
from .results_file import publish

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RESULTS = os.path.join(ROOT, "bench", "results", "frames.md")
FULL_CAP, QUICK_CAP = 8 << 20, 1 << 20
FAST_RUNS, SLOW_RUNS = 3, 1


@dataclass(frozen=True)
class Codec:
    name: str
    compress: list[str]    # reads the file named after it, writes standard output
    decompress: list[str]
    runs: int              # timed runs of each direction; the median counts


@dataclass(frozen=True)
class Cell:
    size: int
    stored: int
    encode_s: float
    decode_s: float
    blocks: Optional[tuple[int, int, int]]  # zelk's blocks: zelk chunks, zstd chunks, raw


def codecs(zelk: str) -> list[Codec]:
    def z(level: str, runs: int) -> Codec:
        return Codec(f"zelk {level}", [zelk, "-T", "1", "-q", level, "-c"], [zelk, "-T", "1", "-q", "-d", "-c"], runs)

    return [
        z("-1", FAST_RUNS), z("-3", FAST_RUNS), z("-9", SLOW_RUNS),
        Codec("zstd -3", ["zstd", "-T1", "-q", "-3", "-c"], ["zstd", "-q", "-d", "-c"], FAST_RUNS),
        Codec("zstd -19", ["zstd", "-T1", "-q", "-19", "-c"], ["zstd", "-q", "-d", "-c"], SLOW_RUNS),
        Codec("gzip -6", ["gzip", "-6", "-c"], ["gzip", "-d", "-c"], FAST_RUNS),
        Codec("xz -6", ["xz", "-T1", "-6", "-c"], ["xz", "-T1", "-d", "-c"], SLOW_RUNS),
    ]


def timed(command: list[str], output: str, runs: int) -> float:
    """Median wall time of the command writing its standard output into `output`."""
    times = []
    for _ in range(runs):
        with open(output, "wb") as out:
            start = time.perf_counter()
            subprocess.run(command, stdout=out, check=True)
            times.append(time.perf_counter() - start)
    return statistics.median(times)


def block_counts(zelk: str, path: str) -> tuple[int, int, int]:
    """The zelk, zstd and raw columns of `zelk -l`."""
    listing = subprocess.run([zelk, "-l", path], capture_output=True, text=True, check=True).stdout
    header, row = listing.splitlines()[:2]
    assert header.split()[2:5] == ["zelk", "zstd", "raw"], header
    return tuple(int(n) for n in row.split()[2:5])


def measure(path: str, codec: Codec, zelk: str) -> Cell:
    packed, unpacked = path + ".packed", path + ".unpacked"
    encode_s = timed(codec.compress + [path], packed, codec.runs)
    decode_s = timed(codec.decompress + [packed], unpacked, codec.runs)
    with open(path, "rb") as a, open(unpacked, "rb") as b:
        if a.read() != b.read():
            raise RuntimeError(f"{codec.name} did not restore {path}")
    blocks = block_counts(zelk, packed) if codec.name.startswith("zelk") else None
    cell = Cell(os.path.getsize(path), os.path.getsize(packed), encode_s, decode_s, blocks)
    os.remove(packed), os.remove(unpacked)
    return cell


def mbps(size: int, seconds: float) -> str:
    value = size / seconds / 1e6
    return f"{value:.0f}" if value >= 100 else f"{value:.3g}"


def cell_text(cells: list[Cell]) -> str:
    size, stored = sum(c.size for c in cells), sum(c.stored for c in cells)
    encode, decode = sum(c.encode_s for c in cells), sum(c.decode_s for c in cells)
    return f"{size / stored:.3f} · {mbps(size, encode)}/{mbps(size, decode)}"


def blocks_text(cells: list[Cell]) -> str:
    return "/".join(str(sum(c.blocks[kind] for c in cells)) for kind in range(3))


def table(results: dict, names: list[str], codec_names: list[str]) -> list[str]:
    zelk_names = [c for c in codec_names if c.startswith("zelk")]
    head = ["file", "MB"] + codec_names + [f"blocks {c.split()[1]}" for c in zelk_names]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for label, rows in [(n, [n]) for n in names] + [("TOTAL", names)]:
        size = sum(results[r, codec_names[0]].size for r in rows)
        cells = [cell_text([results[r, c] for r in rows]) for c in codec_names]
        blocks = [blocks_text([results[r, c] for r in rows]) for c in zelk_names]
        lines.append("| " + " | ".join([label, f"{size / 1e6:.2f}"] + cells + blocks) + " |")
    return lines


def versions(zelk: str) -> str:
    first = lambda cmd: subprocess.run(cmd, capture_output=True, text=True).stdout.splitlines()[0].strip("* ")
    return "; ".join(first(c) for c in ([zelk, "-V"], ["zstd", "-V"], ["gzip", "-V"], ["xz", "-V"]))


def prepare(directory: str, files: Optional[str], cap: Optional[int]) -> tuple[list[str], list[str]]:
    """The corpus, or the files of `files` (prefixes of `cap` bytes, if given), written into `directory`."""
    if files is None:
        return corpus.build(directory, cap or FULL_CAP)
    paths = []
    for name in sorted(os.listdir(files)):
        if os.path.isfile(os.path.join(files, name)):
            with open(os.path.join(files, name), "rb") as f:
                data = f.read(cap) if cap else f.read()
            paths.append(os.path.join(directory, name))
            with open(paths[-1], "wb") as f:
                f.write(data)
    return paths, []


def parse_args(argv: list[str]) -> argparse.Namespace:
    default_zelk = os.path.join(ROOT, ".venv", "bin", "zelk")
    parser = argparse.ArgumentParser(prog="python -m bench.frames", description=__doc__.splitlines()[0])
    parser.add_argument("--zelk", default=default_zelk if os.path.exists(default_zelk) else shutil.which("zelk"),
                        help="the zelk command (default: .venv/bin/zelk, else zelk on PATH)")
    parser.add_argument("--quick", action="store_true", help="1 MiB prefixes of the files")
    parser.add_argument("--files", metavar="DIR", help="measure the files in DIR instead of the built corpus")
    return parser.parse_args(argv)


def main(argv: list[str]) -> int:
    args = parse_args(argv)
    if not args.zelk:
        print("no zelk command: pass --zelk PATH")
        return 2
    divert_native_stdout()  # zelk_native's encoder prints a debug line on descriptor 1
    started, load = time.perf_counter(), os.getloadavg()[0]
    all_codecs = codecs(args.zelk)
    results = {}
    scratch = "/dev/shm" if os.path.isdir("/dev/shm") else None
    with tempfile.TemporaryDirectory(prefix="zelk-frames-", dir=scratch) as work:
        paths, notes = prepare(work, args.files, QUICK_CAP if args.quick else None)
        for note in notes:
            print(f"note: {note}")
        names = [os.path.basename(p) for p in paths]
        for path, name in zip(paths, names):
            for codec in all_codecs:
                results[name, codec.name] = measure(path, codec, args.zelk)
            print(f"measured {name}", flush=True)
        chunk_only = frame_targets.zelk_chunk_only_sizes(paths)
    about = (f"{datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M UTC}, {'quick' if args.quick else 'full'} "
             f"run, {time.perf_counter() - started:.0f} s; load average {load:.1f} at start, "
             f"{os.getloadavg()[0]:.1f} at end, {os.cpu_count()} CPUs; {versions(args.zelk)}")
    lines = [f"Ran {about}.", "",
             "Each codec cell: ratio (input size / output size) · compression/decompression MB/s "
             "(10^6 input bytes per second) on one thread. The command reads a file in "
             f"{scratch or 'the temporary folder'} and writes its standard output to another; median of "
             f"{FAST_RUNS} runs, one run for {', '.join(c.name for c in all_codecs if c.runs == 1)}. "
             "Every round trip is checked. blocks: zelk chunks/zstd chunks/raw blocks.", ""]
    lines += table(results, names, [c.name for c in all_codecs])
    lines += ["", "Targets:"] + frame_targets.judge(results, names, chunk_only)
    publish(RESULTS, "zelk frames beside zstd, gzip and xz", lines)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
