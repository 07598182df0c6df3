"""zelk's speed and memory targets, judged from the figures of one run as
ratios to the peers measured in the same process on the same bytes."""
import statistics
from dataclasses import dataclass
from typing import Optional

from .measure import Measurement
from .memory import MemoryRow

LARGE = 1 << 20            # the throughput targets hold for inputs of 1 MiB and more
CALL_COST_SIZE = 1024
MEMORY_ALLOWANCE_MIB = 26  # beyond the output, which the call has to allocate


@dataclass(frozen=True)
class Verdict:
    target: str
    figure: str
    met: Optional[bool]  # None: not measured


def _pairs(rows: list[Measurement], codec: str, peer: str, field: str, min_size: int) -> list[float]:
    """zelk's speed over the peer's, per input, where both have a time."""
    by_key = {(r.input, r.size, r.codec): r for r in rows}
    ratios = []
    for r in rows:
        other = by_key.get((r.input, r.size, peer))
        if r.codec == codec and r.size >= min_size and other and getattr(r, field) and getattr(other, field):
            ratios.append(getattr(other, field) / getattr(r, field))
    return ratios


def _speed_verdict(target: str, ratios: list[float], at_least: float) -> Verdict:
    if not ratios:
        return Verdict(target, "not measured", None)
    figure = f"{min(ratios):.3g}x to {max(ratios):.3g}x, median {statistics.median(ratios):.3g}x over {len(ratios)} inputs"
    return Verdict(target, figure, min(ratios) >= at_least)


def _call_cost_verdict(rows: list[Measurement]) -> Verdict:
    target = "1 KiB encode + decode at most 3x zlib-6's"
    cells = {r.codec: r for r in rows if r.size == CALL_COST_SIZE and r.encode_s and r.decode_s}
    if "zelk" not in cells or "zlib-6" not in cells:
        return Verdict(target, "not measured", None)
    zelk, zlib = cells["zelk"], cells["zlib-6"]
    times = (zelk.encode_s + zelk.decode_s) / (zlib.encode_s + zlib.decode_s)
    figure = f"{(zelk.encode_s + zelk.decode_s) * 1e6:.0f} us, {times:.3g}x zlib-6's"
    return Verdict(target, figure, times <= 3)


def _memory_verdict(rows: list[MemoryRow]) -> Verdict:
    target = f"peak of one call at most {MEMORY_ALLOWANCE_MIB} MiB plus input and output"
    zelk = [r for r in rows if r.codec == "zelk" and r.peak_rise_mib is not None]
    if not zelk:
        return Verdict(target, "not measured", None)
    worst = max(zelk, key=lambda r: r.peak_rise_mib - r.output_size / 2**20)
    beyond = worst.peak_rise_mib - worst.output_size / 2**20
    figure = (f"worst {worst.direction} of {worst.input_size} B: rise {worst.peak_rise_mib:.1f} MiB "
              f"(input already resident), {beyond:.1f} MiB beyond its output")
    return Verdict(target, figure, beyond <= MEMORY_ALLOWANCE_MIB)


def judge(throughput: list[Measurement], call_cost: list[Measurement], memory: list[MemoryRow]) -> list[Verdict]:
    return [
        _speed_verdict("encode speed on inputs >= 1 MiB at least 1.5x zlib-6's",
                       _pairs(throughput, "zelk", "zlib-6", "encode_s", LARGE), 1.5),
        _speed_verdict("decode speed on inputs >= 1 MiB at least bz2-9's",
                       _pairs(throughput, "zelk", "bz2-9", "decode_s", LARGE), 1.0),
        _call_cost_verdict(call_cost),
        _memory_verdict(memory),
    ]
