"""The short console summary of a run: zelk beside zlib-6 and bz2-9 per
input, the cost of a 1 KiB call, the matrix timings and the targets."""
from typing import Optional

from .measure import Measurement
from .report import Run, number

PEERS_SHOWN = ("zlib-6", "bz2-9")


def _cell(row: Optional[Measurement]) -> str:
    if row is None:
        return f"{'not run':>22}"
    if row.note and not row.ratio:
        return f"{row.note[:22]:>22}"
    return f"{number(row.ratio):>6} {number(row.encode_mbps):>7} {number(row.decode_mbps):>7}"


def _best_ratio(rows: list[Measurement]) -> str:
    done = [r for r in rows if r.ratio and not r.note]
    best = max(done, key=lambda r: r.ratio, default=None)
    return f"{number(best.ratio)} {best.codec}" if best else "–"


def lines(run: Run) -> list[str]:
    out = [" · ".join(f"{k} {v}" for k, v in run.about.items()), ""]
    codecs = ("zelk",) + PEERS_SHOWN
    out.append(f"{'input':18} {'MiB':>5}  " + "  ".join(f"{c + ': ratio enc dec MB/s':>22}" for c in codecs)
               + "  best ratio")
    for item in run.inputs:
        rows = [r for r in run.throughput if r.input == item.name]
        cells = [_cell(next((r for r in rows if r.codec == c), None)) for c in codecs]
        out.append(f"{item.name:18} {len(item.data) / 2**20:5.2f}  " + "  ".join(cells) + f"  {_best_ratio(rows)}")
    for r in run.call_cost:
        if r.size == 1024:
            total = (r.encode_s + r.decode_s) * 1e6 if r.encode_s and r.decode_s else None
            out.append(f"1 KiB call, {r.codec}: encode + decode {number(total, 4)} µs {r.note}")
    for m in run.matrix:
        out.append(f"compress_matrix_v1 {m.rows}x{m.cols}: {number(m.compress_s * 1e3 if m.compress_s else None)} ms, "
                   f"a list of {m.rows * m.cols} floats {number(m.list_s * 1e3)} ms {m.note}")
    met = {True: "MET", False: "NOT MET", None: "–"}
    out += ["", "targets:"] + [f"  [{met[v.met]}] {v.target}: {v.figure}" for v in run.verdicts]
    return out
