"""Real files through the zelk command, beside gzip, zstd and xz.

Usage: demo.py [FILE ...]   (without files: a text, a binary, an 8-bit
signal, 16-bit audio and an image found or made on this machine)

Each file (its first 4 MiB) is compressed by `zelk` at its default level,
restored and compared; the table gives zelk's ratio, its speed, the blocks
stored as zelk chunks, Zstandard chunks, sample blocks and raw bytes, and the ratios of
gzip -6, zstd -3 and xz -6 on the same bytes.
"""
import math
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

LIMIT = 4 << 20  # bytes read from each file: keeps the demo short
BIN = os.path.dirname(sys.executable)  # the environment the command was installed into

DEFAULT_FILES = [
    ("text", ["/usr/share/common-licenses/GPL-3"]),
    ("binary", ["/usr/bin/python3.11", "/usr/bin/bash"]),
    ("16-bit audio", ["/usr/share/sounds/alsa/Front_Center.wav", "/usr/share/sounds/alsa/Noise.wav"]),
    ("8-bit image", ["/usr/share/libjxl-testdata/jxl/flower/flower.pgm"]),
]
PEERS = [("gzip -6", ["gzip", "-6", "-c"]), ("zstd -3", ["zstd", "-3", "-c", "-q"]), ("xz -6", ["xz", "-6", "-c"])]


def generated_signal(n=1 << 20):
    rng = random.Random(7)
    return bytes(int(128 + 90 * math.sin(i / 40) + rng.randint(-3, 3)) & 0xFF for i in range(n))


def inputs(paths):
    if paths:
        for path in paths:
            with open(path, "rb") as f:
                yield os.path.basename(path), f.read(LIMIT)
        return
    for kind, candidates in DEFAULT_FILES:
        found = next((path for path in candidates if os.path.exists(path)), None)
        if found is None:
            print(f"({kind}: none of {', '.join(candidates)} is here; left out)")
            continue
        with open(found, "rb") as f:
            yield f"{kind}: {os.path.basename(found)}", f.read(LIMIT)
    yield "8-bit signal (generated)", generated_signal()


def run(command, data):
    start = time.perf_counter()
    result = subprocess.run(command, input=data, capture_output=True, check=True)
    return result.stdout, time.perf_counter() - start


def block_kinds(frame, workdir):
    """zelk chunk, Zstandard chunk, sample and raw block counts, as `zelk -l` lists them."""
    path = os.path.join(workdir, "listed.zlk")
    with open(path, "wb") as f:
        f.write(frame)
    row = subprocess.run([os.path.join(BIN, "zelk"), "-l", path], capture_output=True, check=True, text=True)
    fields = row.stdout.splitlines()[1].split()
    return "/".join(fields[2:6])


def main(argv):
    zelk = os.path.join(BIN, "zelk")
    peers = [(name, cmd) for name, cmd in PEERS if shutil.which(cmd[0])]
    print(subprocess.run([zelk, "-V"], capture_output=True, text=True, check=True).stdout.strip())
    header = (f"{'input':32} {'bytes':>9} {'zelk':>6} {'enc MB/s':>9} {'dec MB/s':>9} {'blocks':>9}"
              + "".join(f" {name:>8}" for name, _ in peers))
    print(header)
    print("-" * len(header))
    failures = 0
    with tempfile.TemporaryDirectory() as workdir:
        for name, data in inputs(argv):
            frame, t_enc = run([zelk, "-c"], data)
            restored, t_dec = run([zelk, "-dc"], frame)
            ok = restored == data
            failures += not ok
            cells = "".join(f" {len(data) / len(run(cmd, data)[0]):8.2f}" for _, cmd in peers)
            print(f"{name[:32]:32} {len(data):9} {len(data) / len(frame):6.2f} {len(data) / 1e6 / t_enc:9.1f} "
                  f"{len(data) / 1e6 / t_dec:9.1f} {block_kinds(frame, workdir):>9}{cells}"
                  + ("" if ok else "  ROUND TRIP FAILED"))
    print("ratios: input size / output size; MB/s: of the input, the command's start included;\n"
          "blocks: zelk chunks / Zstandard chunks / sample blocks (typed data) / raw")
    print("all round trips exact" if not failures else f"{failures} round trip(s) FAILED")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
