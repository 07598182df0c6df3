"""The zelk package beside zlib, bz2, lzma and zstandard in one process: `python -m bench.package`.

On the files of bench/corpus.py (8 MiB each at most, 1 MiB with --quick) and
two generated 8-bit signals, in one run:
- ratio and MB/s (10^6 input bytes per second) of one-shot compress and
  decompress on one thread, and zelk's with `threads=0` (every core);
- N Python threads (N = the cores) each decompressing data of its own at
  once, as a multiple of one thread's throughput, for every codec;
- the 1 KiB compress + decompress round trip, zelk beside zlib-6;
- the interpreter lock: how fast a pure-Python counter thread runs during each
  of the package's calls, against its speed alone;
and judges the package's targets. Prints the tables and writes them to
bench/results/package.md.
"""
import argparse
import bz2
import datetime
import lzma
import os
import statistics
import sys
import tempfile
import threading
import time
import zlib
from dataclasses import dataclass
from typing import Callable, Optional

import zstandard

import zelk

from . import corpus
from .inputs import random_walk, sine_with_noise
from .results_file import publish
from .timing import Budget, time_call

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RESULTS = os.path.join(ROOT, "bench", "results", "package.md")
FULL_CAP, QUICK_CAP = 8 << 20, 1 << 20
BUDGET = Budget(seconds=1.0, min_runs=1, max_runs=7)
CORES = len(os.sched_getaffinity(0))
# 8-bit signals that level 3 stores as zelk chunks (bench.frames counts the kinds of block).
SIGNALS = ("sine-noise-8bit", "random-walk-8bit", "image-gray8")


@dataclass(frozen=True)
class Codec:
    name: str
    compress: Callable[[bytes], bytes]
    decompress: Callable[[bytes], bytes]
    all_cores: bool = False  # zelk with threads=0


def codecs() -> list[Codec]:
    def zelk_codec(level: int, all_cores: bool = False, block_size: Optional[int] = None) -> Codec:
        threads = 0 if all_cores else 1
        name = f"zelk-{level}" + (" all cores" if all_cores else "") + (f" {block_size >> 10} KiB blocks" if block_size else "")
        return Codec(name, lambda data: zelk.compress(data, level, threads=threads, block_size=block_size),
                     lambda frame: zelk.decompress(frame, threads=threads), all_cores)

    # zstandard's objects must not be shared by threads: a pair per thread.
    zstd_local = threading.local()

    def zstd_objects() -> tuple[zstandard.ZstdCompressor, zstandard.ZstdDecompressor]:
        if not hasattr(zstd_local, "pair"):
            zstd_local.pair = zstandard.ZstdCompressor(level=3), zstandard.ZstdDecompressor()
        return zstd_local.pair

    return [
        zelk_codec(1), zelk_codec(3), zelk_codec(9), zelk_codec(3, True), zelk_codec(9, True),
        zelk_codec(3, True, 256 << 10),
        Codec("zlib-6", lambda d: zlib.compress(d, 6), zlib.decompress),
        Codec("bz2-9", lambda d: bz2.compress(d, 9), bz2.decompress),
        Codec("lzma-6", lambda d: lzma.compress(d, preset=6), lzma.decompress),
        Codec("zstd-3", lambda d: zstd_objects()[0].compress(d), lambda f: zstd_objects()[1].decompress(f)),
    ]


@dataclass(frozen=True)
class Cell:
    ratio: float
    encode_mbps: float
    decode_mbps: float


def measure(data: bytes, codec: Codec) -> Cell:
    packed, encode = time_call(codec.compress, (data,), BUDGET)
    restored, decode = time_call(codec.decompress, (packed,), BUDGET)
    if restored != data:
        raise AssertionError(f"{codec.name}: the round trip changed the data")
    return Cell(len(data) / len(packed), len(data) / encode.median_s / 1e6, len(data) / decode.median_s / 1e6)


def parallel_decode_scaling(data: bytes, codec: Codec, threads: int) -> float:
    """Throughput of `threads` Python threads each decompressing data of its
    own at once, over one thread's; median of three trials of at least 0.3 s."""
    frames = [codec.compress(data) for _ in range(threads)]
    start = time.perf_counter()
    codec.decompress(frames[0])
    repeats = max(1, int(0.3 / (time.perf_counter() - start)))

    def decompress_repeatedly(frame: bytes) -> None:
        for _ in range(repeats):
            codec.decompress(frame)

    def run(count: int) -> float:
        start = time.perf_counter()
        workers = [threading.Thread(target=decompress_repeatedly, args=(frames[i],)) for i in range(count)]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
        return time.perf_counter() - start

    run(threads)  # warm-up
    ratios = [threads * run(1) / run(threads) for _ in range(3)]
    return statistics.median(ratios)


def counter_speed(during: Callable[[], object]) -> float:
    """Counts a pure-Python thread makes per second while `during` runs
    (repeated for at least 0.3 s)."""
    stop, count = threading.Event(), [0]

    def counter() -> None:
        while not stop.is_set():
            count[0] += 1

    thread = threading.Thread(target=counter)
    thread.start()
    time.sleep(0.01)
    start_count, start = count[0], time.perf_counter()
    while time.perf_counter() - start < 0.3:
        during()
    counted, elapsed = count[0] - start_count, time.perf_counter() - start
    stop.set()
    thread.join()
    return counted / elapsed


def lock_table(data: bytes) -> list[str]:
    """The counter thread's speed during each call, over its speed beside a sleep."""
    frame, chunk = zelk.compress(data, 9), zelk.encode_chunk(data, 9)

    def file_read() -> None:
        with tempfile.TemporaryFile() as f:
            f.write(frame)
            f.seek(0)
            with zelk.ZelkFile(f) as compressed:
                compressed.read()

    def stream_compress() -> None:
        compressor = zelk.ZelkCompressor(9)
        compressor.compress(data)
        compressor.flush()

    calls = {
        "zelk.compress": lambda: zelk.compress(data, 9),
        "zelk.decompress": lambda: zelk.decompress(frame),
        "ZelkCompressor.compress + flush": stream_compress,
        "ZelkDecompressor.decompress": lambda: zelk.ZelkDecompressor().decompress(frame),
        "ZelkFile.read": file_read,
        "zelk.encode_chunk": lambda: zelk.encode_chunk(data, 9),
        "zelk.decode_chunk": lambda: zelk.decode_chunk(chunk),
        "sorted(data), for comparison: it holds the lock": lambda: sorted(data),
    }
    idle = statistics.median(counter_speed(lambda: time.sleep(0.3)) for _ in range(3))
    lines = ["| call | its time | counter thread's speed during it (median of 3) |", "|---|---|---|"]
    worst = 1.0
    for name, call in calls.items():
        start = time.perf_counter()
        call()
        took = time.perf_counter() - start
        ratio = statistics.median(counter_speed(call) for _ in range(3)) / idle
        if not name.startswith("sorted"):
            worst = min(worst, ratio)
        lines.append(f"| {name} | {took * 1e3:.0f} ms | {ratio:.2f} of its speed alone |")
    return lines + ["", f"lowest for the package's calls: {worst:.2f}"]


def round_trip_us(data: bytes, compress: Callable[[bytes], bytes], decompress: Callable[[bytes], bytes]) -> float:
    _, timing = time_call(lambda: decompress(compress(data)), (), Budget(0.5, 200, 20000))
    return timing.median_s * 1e6


def inputs(directory: str, cap: int) -> tuple[dict[str, bytes], list[str]]:
    paths, notes = corpus.build(directory, cap)
    data = {os.path.basename(p): open(p, "rb").read() for p in paths}
    data["sine-noise-8bit"] = sine_with_noise(cap)
    data["random-walk-8bit"] = random_walk(cap)
    return data, notes


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(prog="python -m bench.package", description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="1 MiB prefixes of the files")
    args = parser.parse_args(argv)
    started, load = time.perf_counter(), os.getloadavg()[0]
    cap = QUICK_CAP if args.quick else FULL_CAP
    with tempfile.TemporaryDirectory(prefix="zelk-package-") as work:
        data, notes = inputs(work, cap)
    for note in notes:
        print(f"note: {note}")
    all_codecs = codecs()
    results: dict[tuple[str, str], Cell] = {}
    for name, content in data.items():
        for codec in all_codecs:
            results[name, codec.name] = measure(content, codec)
        print(f"measured {name}", flush=True)

    lines = ["| input | " + " | ".join(c.name for c in all_codecs) + " |", "|---" * (len(all_codecs) + 1) + "|"]
    for name in data:
        cells = [results[name, c.name] for c in all_codecs]
        lines.append(f"| {name} ({len(data[name]) >> 10} KiB) | " +
                     " | ".join(f"{c.ratio:.2f} · {c.encode_mbps:.1f}/{c.decode_mbps:.1f}" for c in cells) + " |")

    scaling_inputs = [n for n in ("image-gray8", "text-english") if n in data]
    scaling_codecs = [c for c in all_codecs if c.name in ("zelk-1", "zelk-3", "zlib-6", "bz2-9", "lzma-6", "zstd-3")]
    scaling = {(n, c.name): parallel_decode_scaling(data[n][: 2 << 20], c, CORES)
               for n in scaling_inputs for c in scaling_codecs}
    lines += ["", f"{CORES} Python threads decompressing 2 MiB each at once, throughput over one thread's "
              "(median of three trials):", "",
              "| input | " + " | ".join(c.name for c in scaling_codecs) + " |", "|---" * (len(scaling_codecs) + 1) + "|"]
    lines += [f"| {n} | " + " | ".join(f"{scaling[n, c.name]:.2f}x" for c in scaling_codecs) + " |"
              for n in scaling_inputs]

    small = data.get("sine-noise-8bit", b"")[:1024]
    zelk_us = round_trip_us(small, zelk.compress, zelk.decompress)
    zlib_us = round_trip_us(small, lambda d: zlib.compress(d, 6), zlib.decompress)
    lines += ["", f"1 KiB of sine-noise-8bit, compress + decompress: zelk {zelk_us:.1f} µs, zlib-6 {zlib_us:.1f} µs", ""]
    lines += ["The interpreter lock, on 2 MiB of sine-noise-8bit at level 9:", ""] + lock_table(data["sine-noise-8bit"][: 2 << 20])

    lines += ["", "Targets:"] + targets(results, scaling, scaling_inputs, zelk_us, zlib_us, data)
    about = (f"{datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M UTC}, {'quick' if args.quick else 'full'} "
             f"run, {time.perf_counter() - started:.0f} s; load average {load:.1f} at start, "
             f"{os.getloadavg()[0]:.1f} at end, {CORES} cores; zstandard {zstandard.__version__}")
    lines = [f"Ran {about}.", "",
             "Each cell: ratio · compress/decompress MB/s, one-shot calls in one process; median of up to "
             f"{BUDGET.max_runs} runs within {BUDGET.seconds:.0f} s after a warm-up. zelk-N is level N on one "
             "thread; 'all cores' is threads=0. Every round trip is checked.", ""] + lines
    publish(RESULTS, "The zelk package beside zlib, bz2, lzma and zstandard", lines)
    return 0


def targets(results: dict[tuple[str, str], Cell], scaling: dict[tuple[str, str], float], scaling_inputs: list[str],
            zelk_us: float, zlib_us: float, data: dict[str, bytes]) -> list[str]:
    def line(met: bool, text: str) -> str:
        return f"  [{'MET' if met else 'NOT MET'}] {text}"

    out = []
    worst_scaling = min((scaling[n, c] for n in scaling_inputs for c in ("zelk-1", "zelk-3")), default=0.0)
    out.append(line(worst_scaling >= 0.8 * CORES,
                    f"{CORES} Python threads decompressing at once at least {0.8 * CORES:.1f}x one thread: "
                    f"lowest {worst_scaling:.2f}x"))
    signals = [n for n in SIGNALS if n in data and len(data[n]) >= 1 << 20]
    # Level 3 stores these signals as zelk chunks (its ratio is level 9's) without level 9's slow zstd -19.
    encode = {n: results[n, "zelk-3 all cores"].encode_mbps / results[n, "zlib-6"].encode_mbps for n in signals}
    decode = {n: results[n, "zelk-3 all cores"].decode_mbps / results[n, "bz2-9"].decode_mbps for n in signals}
    out.append(line(bool(signals) and min(encode.values()) >= 1.5,
                    "8-bit signals of 1 MiB or more, zelk-3 on all cores compressing at least 1.5x zlib-6: " +
                    ", ".join(f"{n} {r:.2f}x" for n, r in encode.items())))
    out.append(line(bool(signals) and min(decode.values()) >= 1.0,
                    "and decompressing at least bz2-9's speed: " + ", ".join(f"{n} {r:.2f}x" for n, r in decode.items())))
    out.append(line(zelk_us <= 3 * zlib_us, f"1 KiB round trip at most 3x zlib-6's: {zelk_us / zlib_us:.2f}x"))
    return out


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
