"""Peak resident memory of single calls, each in a fresh interpreter (see
memory_probe): an encode of a prefix of the text, then a decode of the chunk
that encode wrote."""
import json
import os
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from typing import Optional

from .codecs import Codec
from .inputs import Input

REPO_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


@dataclass(frozen=True)
class MemoryRow:
    codec: str
    direction: str
    input_size: int
    output_size: Optional[int] = None
    peak_rise_mib: Optional[float] = None
    note: str = ""


def _probe(codec: str, direction: str, in_path: str, out_path: str) -> dict:
    done = subprocess.run([sys.executable, "-m", "bench.memory_probe", codec, direction, in_path, out_path],
                          cwd=REPO_ROOT, capture_output=True, text=True)
    if done.returncode != 0:
        return {"error": f"probe failed: {done.stderr.strip().splitlines()[-1:]}"}
    return json.loads(done.stdout)


def _row(codec: str, direction: str, input_size: int, result: dict) -> MemoryRow:
    if "error" in result:
        return MemoryRow(codec, direction, input_size, note=result["error"])
    note = "" if result["peak_reset"] else "high-water mark not resettable: a lower bound"
    return MemoryRow(codec, direction, input_size, result["output_size"], result["peak_rise_kib"] / 1024, note)


def run(text: Input, codecs: list[Codec], sizes: tuple[int, ...]) -> list[MemoryRow]:
    rows = []
    with tempfile.TemporaryDirectory(prefix="zelk-bench-") as work:
        for size in (s for s in sizes if s <= len(text.data)):
            plain = os.path.join(work, "plain")
            with open(plain, "wb") as f:
                f.write(text.data[:size])
            for codec in codecs:
                chunk, restored = os.path.join(work, "chunk"), os.path.join(work, "restored")
                encoded = _probe(codec.name, "encode", plain, chunk)
                rows.append(_row(codec.name, "encode", size, encoded))
                if "error" not in encoded:
                    rows.append(_row(codec.name, "decode", encoded["output_size"],
                                     _probe(codec.name, "decode", chunk, restored)))
    return rows
