"""The PNG chart of a run: compression ratio against encode and against
decode speed, one point per codec and input; colour tells the codec,
marker the input."""
from __future__ import annotations

from typing import TYPE_CHECKING

import matplotlib
import matplotlib.pyplot as plt
from matplotlib.lines import Line2D

if TYPE_CHECKING:  # the typed and raster runs need none of the peers that module loads
    from .measure import Measurement

matplotlib.use("Agg")  # files only, no display

MARKERS = "osD^v<>pPX*h"


def _legend_handle(label: str, color: str = "grey", marker: str = "o") -> Line2D:
    return Line2D([], [], linestyle="", marker=marker, color=color, label=label)


def draw(rows: list[Measurement], path: str, title: str) -> None:
    codecs = list(dict.fromkeys(r.codec for r in rows))
    inputs = list(dict.fromkeys(r.input for r in rows))
    colors = {c: ("black" if c == "zelk" else plt.cm.tab10(i % 10)) for i, c in enumerate(codecs)}
    markers = {name: MARKERS[i % len(MARKERS)] for i, name in enumerate(inputs)}
    figure, axes = plt.subplots(1, 2, figsize=(14, 6.5), sharey=True)
    for axis, field, label in ((axes[0], "encode_mbps", "encode"), (axes[1], "decode_mbps", "decode")):
        for r in rows:
            speed = getattr(r, field)
            if speed and r.ratio:
                axis.scatter(speed, r.ratio, color=colors[r.codec], marker=markers[r.input],
                             s=70 if r.codec == "zelk" else 40, alpha=0.85, edgecolors="none")
        axis.set_xscale("log")
        axis.set_xlabel(f"{label} speed, MB/s of input (log scale)")
        axis.grid(True, which="both", alpha=0.3)
    axes[0].set_ylabel("compression ratio (input / output)")
    codec_legend = figure.legend(handles=[_legend_handle(c, colors[c]) for c in codecs], title="codec",
                                 loc="upper left", bbox_to_anchor=(0.86, 0.92))
    figure.add_artist(codec_legend)
    figure.legend(handles=[_legend_handle(n, marker=markers[n]) for n in inputs], title="input",
                  loc="lower left", bbox_to_anchor=(0.86, 0.08))
    figure.suptitle(title)
    figure.tight_layout(rect=(0, 0, 0.85, 0.95))
    figure.savefig(path, dpi=110)
    plt.close(figure)


def draw_kinds(summary: dict[str, dict[str, dict | None]], path: str, title: str) -> None:
    """Per kind of data, the ratio against encode and against decode speed
    of every codec measured on all of that kind (its totals), each point
    named; zelk's in black."""
    kinds = [k for k, codecs in summary.items() if any(codecs.values())]
    figure, axes = plt.subplots(len(kinds), 2, figsize=(14, 5 * len(kinds)), squeeze=False)
    for row, kind in zip(axes, kinds):
        for axis, field, label in ((row[0], "enc_mbps", "encode"), (row[1], "dec_mbps", "decode")):
            for codec, figures in summary[kind].items():
                if not figures or not figures[field]:
                    continue
                ours = codec.startswith("zelk")
                axis.scatter(figures[field], figures["ratio"], color="black" if ours else "tab:blue",
                             s=60 if ours else 30)
                axis.annotate(codec, (figures[field], figures["ratio"]), textcoords="offset points", xytext=(4, 3),
                              fontsize=8, fontweight="bold" if ours else "normal")
            axis.set_xscale("log")
            axis.set_xlabel(f"{label} speed, MB/s of input, one thread (log scale)")
            axis.set_ylabel("compression ratio (input / output)")
            axis.set_title(f"{kind}: {label}")
            axis.grid(True, which="both", alpha=0.3)
    figure.suptitle(title)
    figure.tight_layout(rect=(0, 0, 1, 0.97))
    figure.savefig(path, dpi=100)
    plt.close(figure)
