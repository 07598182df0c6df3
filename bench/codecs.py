"""The codecs under test: zelk and its peers, each a pair of functions from
bytes to bytes, and the selection by --only.

Peers run at the levels people use: zlib at 1, 6 (its default) and 9, bz2 at
9 (its default), lzma at preset 6 (its default), zstandard at 3 (its default)
and 19, brotli at 5 and 9. brotli at 11, its default, manages well under
1 MB/s here and would take most of a run: it runs only when named in --only.
"""
import bz2
import lzma
import zlib
from dataclasses import dataclass
from types import ModuleType
from typing import Callable, Optional

import brotli
import zstandard

EXPANSION_TEXT = "Expansion detected"


@dataclass(frozen=True)
class Codec:
    name: str
    compress: Callable[[bytes], bytes]
    decompress: Callable[[bytes], bytes]
    by_default: bool = True

    @property
    def family(self) -> str:
        return self.name.split("-")[0]


def _zlib(level: int) -> Codec:
    return Codec(f"zlib-{level}", lambda d: zlib.compress(d, level), zlib.decompress)


def _zstd(level: int) -> Codec:
    compressor = zstandard.ZstdCompressor(level=level)
    decompressor = zstandard.ZstdDecompressor()
    return Codec(f"zstd-{level}", compressor.compress, decompressor.decompress)


def _brotli(quality: int, by_default: bool = True) -> Codec:
    return Codec(f"brotli-{quality}", lambda d: brotli.compress(d, quality=quality), brotli.decompress, by_default)


def peer_codecs() -> list[Codec]:
    return [
        _zlib(1), _zlib(6), _zlib(9),
        Codec("bz2-9", bz2.compress, bz2.decompress),
        Codec("lzma-6", lzma.compress, lzma.decompress),
        _zstd(3), _zstd(19),
        _brotli(5), _brotli(9), _brotli(11, by_default=False),
    ]


def import_zelk() -> tuple[Optional[ModuleType], str]:
    """The zelk_native module and its version, or None and why it is missing."""
    try:
        import zelk_native
    except ImportError as exc:
        return None, f"zelk_native cannot be imported ({exc})"
    return zelk_native, zelk_native.__version__


def load_zelk() -> tuple[Optional[Codec], str]:
    module, about = import_zelk()
    return (Codec("zelk", module.encode_bytes, module.decode_bytes) if module else None), about


def all_codecs() -> tuple[list[Codec], str]:
    zelk, zelk_version = load_zelk()
    return ([zelk] if zelk else []) + peer_codecs(), zelk_version


def codec_by_name(name: str) -> Codec:
    for codec in all_codecs()[0]:
        if codec.name == name:
            return codec
    raise KeyError(f"no codec named {name!r}")


def select(codecs: list[Codec], only: Optional[str]) -> list[Codec]:
    """The codecs run by default, or those named in a comma list: a full name
    (zlib-6, brotli-11) or a family (zlib: those of its codecs run by default)."""
    if not only:
        return [c for c in codecs if c.by_default]
    wanted = {w.strip() for w in only.split(",") if w.strip()}
    return [c for c in codecs if c.name in wanted or (c.by_default and c.family in wanted)]


def reraise_interrupts(exc: BaseException) -> None:
    """Call sites catch BaseException, since zelk's InternalFault derives from
    it directly; an interrupt or an exit still ends the run."""
    if isinstance(exc, (KeyboardInterrupt, SystemExit)):
        raise exc


def refusal_text(exc: BaseException) -> str:
    """How a failed call reads in the tables: the format's refusal of data
    that does not shrink is an answer, anything else a failure."""
    if isinstance(exc, OSError) and EXPANSION_TEXT in str(exc):
        return "expansion detected"
    return f"failed: {type(exc).__name__}: {exc}"
