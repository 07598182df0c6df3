"""Shared helpers of the command-line tests: the zelk binary under test
(ZELK_BIN, else the one on PATH), a runner, test data, and a reader of the
frame layout that knows only what docs/frame-format.md says."""

import math
import os
import random
import shutil
import struct
import subprocess
from pathlib import Path

import pytest

HEADER_SIZE = 18
BLOCK_RECORD_SIZE = 17
END_RECORD_SIZE = 25
MAGIC = b"\x89ZLK"


@pytest.fixture(scope="session")
def zelk_bin():
    path = os.environ.get("ZELK_BIN") or shutil.which("zelk")
    if not path or not os.access(path, os.X_OK):
        pytest.fail("no zelk binary: set ZELK_BIN or put zelk on PATH")
    return str(Path(path).resolve())


@pytest.fixture
def zelk(zelk_bin, tmp_path):
    """Runs zelk in tmp_path: zelk("-d", "f.zlk", input=b"...")."""

    def run(*args, input=b"", cwd=None, program=None):
        return subprocess.run(
            [program or zelk_bin, *map(str, args)],
            input=input,
            capture_output=True,
            cwd=cwd or tmp_path,
            timeout=120,
        )

    return run


def signal_bytes(n, seed=1):
    """A slowly varying 8-bit signal with noise: what zelk shrinks well."""
    rng = random.Random(seed)
    return bytes(
        max(0, min(255, int(128 + 80 * math.sin(i * 0.01) + 25 * math.sin(i * 0.0023) + rng.gauss(0, 2))))
        for i in range(n)
    )


def noise_bytes(n, seed=2):
    return random.Random(seed).randbytes(n)


LICENCES = Path("/usr/share/common-licenses")


def text_bytes(n):
    """n bytes of real text from the machine's licences; in a test, skips it
    (visibly) where the machine has fewer."""
    licences = sorted(LICENCES.glob("*"))
    data = b"".join(p.read_bytes() for p in licences if p.is_file())
    if len(data) < n:
        pytest.skip(f"fewer than {n} bytes of licence text under {LICENCES}")
    return data[:n]


def host_file_bytes(path, n):
    """The first n bytes of a file of the machine; in a test, skips it
    (visibly) where the file is missing."""
    if not Path(path).is_file():
        pytest.skip(f"{path} is not on this machine")
    return Path(path).read_bytes()[:n]


def block_records(frame):
    """(offset, type, size, stored size) of every block record of a one-frame file."""
    records = []
    at = HEADER_SIZE
    while frame[at] != 0xFF:
        kind, size, stored = struct.unpack_from("<BII", frame, at)
        records.append((at, kind, size, stored))
        at += BLOCK_RECORD_SIZE + stored
    return records


def leftovers(directory, keep):
    """Files in `directory` other than those named in `keep` (temporary files included)."""
    return sorted(p.name for p in Path(directory).iterdir() if p.name not in keep)
