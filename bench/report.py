"""The Markdown report of a run: the inputs, every table, the targets and the
conditions the figures were taken under."""
from dataclasses import dataclass
from typing import Optional

from .inputs import Input
from .matrix import THRESHOLD, MatrixRow
from .measure import Measurement
from .memory import MemoryRow
from .targets import Verdict

NOTES = [
    "MB/s is 10^6 bytes of uncompressed input per second, from the median of the timed runs; "
    "one warm-up call before them is not counted.",
    "All codecs ran in one process on the same bytes, one after another; the machine is shared, "
    "so compare codecs within this run as ratios, not against other runs.",
    "zelk's encoder writes a debug line to descriptor 1 on every call; the harness sends "
    "descriptor 1 to /dev/null, and that write is part of zelk's encode time.",
    "'expansion detected' is zelk's refusal of an input that does not shrink: the format's answer, not a crash.",
    "Peak memory: one call in a fresh interpreter; the rise of the resident high-water mark above "
    "the resident size just before the call (the input is already resident then, the output is not). "
    "Zero-filled memory the kernel hands out counts only once a page is touched.",
]


@dataclass(frozen=True)
class Run:
    about: dict
    inputs: list[Input]
    notes: list[str]
    sample: str  # the input whose prefixes the per-call and memory figures use
    throughput: list[Measurement]
    call_cost: list[Measurement]
    memory: list[MemoryRow]
    matrix: list[MatrixRow]
    verdicts: list[Verdict]


def number(value: Optional[float], digits: int = 3) -> str:
    """Significant digits without exponents; large values as whole numbers."""
    if value is None:
        return "–"
    return f"{value:.0f}" if abs(value) >= 10**digits else f"{value:.{digits}g}"


def table(headers: list[str], rows: list[list[str]]) -> list[str]:
    return ["| " + " | ".join(headers) + " |", "|" + "---|" * len(headers)] + ["| " + " | ".join(r) + " |" for r in rows]


def _throughput(rows: list[Measurement]) -> list[str]:
    return table(["input", "bytes", "codec", "compressed", "ratio", "encode MB/s", "decode MB/s", "timed runs", "note"],
                 [[r.input, str(r.size), r.codec, str(r.compressed_size or "–"), number(r.ratio),
                   number(r.encode_mbps), number(r.decode_mbps), str(r.runs), r.note] for r in rows])


def _call_cost(rows: list[Measurement]) -> list[str]:
    def us(value: Optional[float]) -> str:
        return number(value * 1e6 if value else None, 4)
    return table(["codec", "bytes", "encode µs", "decode µs", "ratio", "note"],
                 [[r.codec, str(r.size), us(r.encode_s), us(r.decode_s), number(r.ratio), r.note] for r in rows])


def _memory(rows: list[MemoryRow]) -> list[str]:
    return table(["codec", "call", "input bytes", "output bytes", "peak rise MiB", "note"],
                 [[r.codec, r.direction, str(r.input_size), str(r.output_size or "–"),
                   number(r.peak_rise_mib), r.note] for r in rows])


def _matrix(rows: list[MatrixRow]) -> list[str]:
    def ms(value: Optional[float]) -> str:
        return number(value * 1e3 if value else None)
    return table(["shape", "values", "compress_matrix_v1 ms", "building a list of as many floats, ms",
                  "ratio", "coefficients zeroed", "note"],
                 [[f"{r.rows}×{r.cols}", str(r.rows * r.cols), ms(r.compress_s), ms(r.list_s),
                   number(r.compress_s / r.list_s if r.compress_s else None),
                   str(r.zeroed if r.zeroed is not None else "–"), r.note] for r in rows])


def _verdicts(verdicts: list[Verdict]) -> list[str]:
    met = {True: "met", False: "not met", None: "–"}
    return table(["target", "measured (zelk over the peer, speed ratios)", "verdict"],
                 [[v.target, v.figure, met[v.met]] for v in verdicts])


def markdown(run: Run) -> str:
    lines = ["# zelk benchmark", ""]
    lines += [f"- {key}: {value}" for key, value in run.about.items()]
    lines += ["", "## Notes", ""] + [f"- {n}" for n in NOTES + run.notes]
    lines += ["", "## Inputs", ""] + table(["input", "bytes", "source"],
                                           [[i.name, str(len(i.data)), i.source] for i in run.inputs])
    lines += ["", "## Targets", ""] + _verdicts(run.verdicts)
    lines += ["", "## Ratio and throughput", ""] + _throughput(run.throughput)
    lines += ["", f"## Cost per call (prefixes of {run.sample})", ""] + _call_cost(run.call_cost)
    lines += ["", f"## Peak memory of one call (prefixes of {run.sample})", ""] + _memory(run.memory)
    lines += ["", f"## compress_matrix_v1 (threshold {THRESHOLD})", ""] + _matrix(run.matrix)
    return "\n".join(lines) + "\n"
