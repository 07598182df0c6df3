"""The fixed cost of a call: zelk's encode and decode times on short inputs,
beside zlib's at its default level, which costs next to nothing per call."""
from .codecs import Codec
from .inputs import Input
from .measure import Measurement, measure
from .timing import Budget

CALL_COST_CODECS = ("zelk", "zlib-6")


def run(sample: Input, codecs: list[Codec], sizes: tuple[int, ...], budget: Budget) -> list[Measurement]:
    """Measures prefixes of the sample input; sizes longer than it are skipped."""
    chosen = [c for c in codecs if c.name in CALL_COST_CODECS]
    return [measure(codec, sample.name, sample.data[:size], budget)
            for size in sizes if size <= len(sample.data)
            for codec in chosen]
