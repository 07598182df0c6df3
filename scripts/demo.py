"""Round trip of real files through zelk, beside zlib.

Usage: demo.py [FILE ...]   (without files: a text, a binary, an audio file and
a generated 8-bit signal found or made on this machine)
"""
import math
import os
import random
import sys
import time
import zlib
from contextlib import contextmanager

import zelk_native

LIMIT = 1 << 20  # bytes read from each file: keeps the demo short

DEFAULT_FILES = [
    ("text", ["/usr/share/common-licenses/GPL-3", "/usr/share/common-licenses/Apache-2.0"]),
    ("binary", ["/usr/bin/python3.11", "/usr/bin/bash"]),
    ("audio", ["/usr/share/sounds/alsa/Front_Center.wav", "/usr/share/sounds/alsa/Noise.wav"]),
]


def generated_signal(n=256 * 1024):
    rng = random.Random(7)
    return bytes(int(128 + 90 * math.sin(i / 40) + rng.randint(-3, 3)) & 0xFF for i in range(n))


@contextmanager
def quiet_stdout_fd():
    """The encoder writes a debug line straight to descriptor 1: park it meanwhile."""
    sys.stdout.flush()
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    os.close(devnull)
    try:
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


def timed(fn, *args):
    start = time.perf_counter()
    out = fn(*args)
    return out, time.perf_counter() - start


def mbps(n, seconds):
    return n / 1e6 / seconds if seconds > 0 else float("inf")


def inputs(paths):
    if paths:
        for path in paths:
            with open(path, "rb") as f:
                yield os.path.basename(path), f.read(LIMIT)
        return
    for kind, candidates in DEFAULT_FILES:
        for path in candidates:
            if os.path.exists(path):
                with open(path, "rb") as f:
                    yield f"{kind}: {os.path.basename(path)}", f.read(LIMIT)
                break
    yield "signal: sine + noise (generated)", generated_signal()


def main(argv):
    print(f"zelk {zelk_native.__version__}")
    header = f"{'input':38} {'bytes':>9} {'zelk':>9} {'ratio':>6} {'enc MB/s':>9} {'dec MB/s':>9} {'zlib-6':>9} {'ratio':>6}"
    print(header)
    print("-" * len(header))
    failures = 0
    for name, data in inputs(argv):
        z, _ = timed(zlib.compress, data, 6)
        zlib_cell = f"{len(z):9} {len(data) / len(z):6.2f}"
        try:
            with quiet_stdout_fd():
                chunk, t_enc = timed(zelk_native.encode_bytes, data)
            restored, t_dec = timed(zelk_native.decode_bytes, chunk)
        except OSError as e:  # the format's answer for data that does not shrink
            reason = str(e).split(": ", 1)[-1]
            print(f"{name[:38]:38} {len(data):9} {'refused: ' + reason:>35} {zlib_cell}")
            continue
        ok = restored == data
        failures += not ok
        print(f"{name[:38]:38} {len(data):9} {len(chunk):9} {len(data) / len(chunk):6.2f} "
              f"{mbps(len(data), t_enc):9.2f} {mbps(len(data), t_dec):9.2f} {zlib_cell}"
              + ("" if ok else "  ROUND TRIP FAILED"))
    print("all round trips exact" if not failures else f"{failures} round trip(s) FAILED")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
