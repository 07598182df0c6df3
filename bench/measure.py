"""One codec on one input: compressed size, and the median encode and decode
times, with the warm-up's output checked for an exact round trip."""
from dataclasses import dataclass
from typing import Optional

from .codecs import Codec, refusal_text, reraise_interrupts
from .timing import Budget, time_call


@dataclass(frozen=True)
class Measurement:
    input: str
    size: int
    codec: str
    compressed_size: Optional[int] = None
    encode_s: Optional[float] = None
    decode_s: Optional[float] = None
    runs: int = 0
    note: str = ""

    @property
    def ratio(self) -> Optional[float]:
        return self.size / self.compressed_size if self.compressed_size else None

    @property
    def encode_mbps(self) -> Optional[float]:
        """Megabytes (10^6 bytes) of uncompressed input per second."""
        return self.size / self.encode_s / 1e6 if self.encode_s else None

    @property
    def decode_mbps(self) -> Optional[float]:
        return self.size / self.decode_s / 1e6 if self.decode_s else None


def measure(codec: Codec, name: str, data: bytes, budget: Budget) -> Measurement:
    row = dict(input=name, size=len(data), codec=codec.name)
    try:
        chunk, encode = time_call(codec.compress, (data,), budget)
    except BaseException as exc:  # a refusal or a failure is a result to report
        reraise_interrupts(exc)
        return Measurement(**row, note=refusal_text(exc))
    row.update(compressed_size=len(chunk), encode_s=encode.median_s, runs=encode.runs)
    try:
        restored, decode = time_call(codec.decompress, (chunk,), budget)
    except BaseException as exc:
        reraise_interrupts(exc)
        return Measurement(**row, note=f"decode {refusal_text(exc)}")
    note = "" if restored == data else "ROUND TRIP DIFFERS"
    return Measurement(**row, decode_s=decode.median_s, note=note)
