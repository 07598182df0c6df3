"""Peak resident memory of single calls, each in a fresh interpreter (see
memory_probe): an encode of a prefix of the sample input, then a decode of
the chunk that encode wrote."""
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
        last_line = (done.stderr.strip().splitlines() or ["no message"])[-1]
        return {"failure": f"probe failed: {last_line}"}
    return json.loads(done.stdout)


def _row(codec: str, direction: str, input_size: int, result: dict) -> MemoryRow:
    if "failure" in result:
        return MemoryRow(codec, direction, input_size, note=result["failure"])
    notes = [result["refusal"]] + ([] if result["peak_reset"] else ["high-water mark not resettable: a lower bound"])
    return MemoryRow(codec, direction, input_size, result["output_size"], result["peak_rise_kib"] / 1024,
                     "; ".join(n for n in notes if n))


def run(sample: Input, codecs: list[Codec], sizes: tuple[int, ...]) -> list[MemoryRow]:
    """Encodes prefixes of the sample, then decodes each chunk an encode wrote."""
    rows = []
    with tempfile.TemporaryDirectory(prefix="zelk-bench-") as work:
        plain, chunk, restored = (os.path.join(work, name) for name in ("plain", "chunk", "restored"))
        for size in (s for s in sizes if s <= len(sample.data)):
            with open(plain, "wb") as f:
                f.write(sample.data[:size])
            for codec in codecs:
                encoded = _probe(codec.name, "encode", plain, chunk)
                rows.append(_row(codec.name, "encode", size, encoded))
                if encoded.get("output_size") is not None:
                    rows.append(_row(codec.name, "decode", encoded["output_size"],
                                     _probe(codec.name, "decode", chunk, restored)))
    return rows
