"""Ratio and encode/decode throughput of every codec on every input."""
import time

from .codecs import Codec
from .inputs import Input
from .measure import Measurement, measure
from .timing import Budget


def run(inputs: list[Input], codecs: list[Codec], budget: Budget) -> list[Measurement]:
    rows = []
    for item in inputs:
        start = time.perf_counter()
        rows += [measure(codec, item.name, item.data, budget) for codec in codecs]
        print(f"  {item.name:18} {len(item.data) / 2**20:6.2f} MiB  {time.perf_counter() - start:6.1f} s")
    return rows
