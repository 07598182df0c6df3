"""zelk and its peers on rasters: photographs, an MRI slice, elevation grids, MRI volumes.

For each file of the raster corpus manifest and each codec in CODECS this measures the
compression ratio (input bytes / output bytes) and encode / decode speed in MB/s
(10^6 input bytes per second, median of --runs timed runs after one warm-up run).
The warm-up output is decoded and compared with the input: any inexact round trip
aborts the run. Every codec sees the same pixels or voxels (<name>.raw, C order);
zelk is told their dtype and full shape. Everything runs in one thread. The corpus
comes from data bundled in scikit-image, matplotlib and nibabel (bench/raster_corpus.py).

The image codecs (JPEG-LS, PNG, JPEG XL, JPEG 2000, all lossless) take 8- and 16-bit
integer images, gray or with 3 or 4 channels. A volume is given to them slice by slice
and the slices' streams are concatenated, each after its length in 4 bytes. Signed
16-bit values are offset by 32768 to unsigned ones for JPEG-LS, PNG and JPEG XL (an
exact, order-keeping map); JPEG 2000 codes them as signed. Floats are not for them.

    python -m bench.raster [--manifest M] [--runs 3] [--only SUBSTR] [--codecs a,b]

A codec is one (name, encode, decode) entry in CODECS:
    encode(data: bytes, dtype: str, shape: list, meta: dict) -> bytes, or None if n/a
    decode(blob: bytes, dtype: str, shape: list, meta: dict) -> bytes
meta is the file's manifest entry.
"""
import bz2, json, lzma, os, platform, struct, sys, time, zlib
from importlib import metadata

import numpy as np

from bench.chart import draw_kinds
from bench.corpus_runs import cell, corpus_arguments, measure_corpus, totals, zstd_codec

HERE = os.path.dirname(os.path.abspath(__file__))
MANIFEST = os.path.join(HERE, "data", "raster", "manifest.json")
RESULTS = os.path.join(HERE, "results", "raster.json")
KINDS = ("gray8", "rgb8", "rgba8", "gray16", "grid-int", "grid-float", "volume")


# ---- image codecs: the raster as the images they are given
def images(data, dtype, shape, meta, signed_ok):
    """The 2-D (h, w) or (h, w, 3|4) unsigned (or, if signed_ok, signed) integer images of
    8 or 16 bits an image codec codes for this raster (one, or a volume's slices), else None."""
    dt = np.dtype(dtype)
    if dt.kind not in "iu" or dt.itemsize > 2:
        return None
    arr = np.frombuffer(data, dt).reshape(shape)
    if dt.kind == "i" and not signed_ok:  # offset binary: the same differences, all >= 0
        arr = arr.view(dt.str.replace("i", "u"))
        arr = arr ^ np.array(1 << (8 * dt.itemsize - 1), arr.dtype)
    if meta["kind"] == "volume" and arr.ndim == 3:
        return list(arr)
    if arr.ndim == 2 or (arr.ndim == 3 and arr.shape[2] in (3, 4)):
        return [arr]
    return None


def image_codec(encode, decode, signed_ok=False):
    def enc(data, dtype, shape, meta):
        imgs = images(data, dtype, shape, meta, signed_ok)
        if imgs is None:
            return None
        if meta["kind"] != "volume":
            return bytes(encode(imgs[0]))
        return b"".join(struct.pack("<I", len(b)) + b for b in map(bytes, map(encode, imgs)))

    def dec(blob, dtype, shape, meta):
        if meta["kind"] == "volume":
            streams, pos = [], 0
            while pos < len(blob):
                n = struct.unpack_from("<I", blob, pos)[0]
                streams.append(blob[pos + 4:pos + 4 + n])
                pos += 4 + n
        else:
            streams = [blob]
        out = np.concatenate([np.asarray(decode(p)).ravel() for p in streams])
        dt = np.dtype(dtype)
        if dt.kind == "i" and out.dtype.kind == "u":  # undo the offset
            out = (out ^ np.array(1 << (8 * dt.itemsize - 1), out.dtype)).view(dt)
        return out.astype(dt, copy=False).tobytes()
    return enc, dec


def image_codecs():
    import imagecodecs as ic
    return [
        ("jpegls", *image_codec(ic.jpegls_encode, ic.jpegls_decode)),
        ("png-9", *image_codec(lambda a: ic.png_encode(a, level=9), ic.png_decode)),
        ("jpegxl-e7", *image_codec(lambda a: ic.jpegxl_encode(a, lossless=True, effort=7, numthreads=1),
                                   lambda b: ic.jpegxl_decode(b, numthreads=1))),
        ("jpegxl-e9", *image_codec(lambda a: ic.jpegxl_encode(a, lossless=True, effort=9, numthreads=1),
                                   lambda b: ic.jpegxl_decode(b, numthreads=1))),
        # level None (0) with the 5/3 wavelet and, for colour, the reversible colour transform
        ("jpeg2k-rev", *image_codec(lambda a: ic.jpeg2k_encode(a, reversible=True, numthreads=1),
                                    lambda b: ic.jpeg2k_decode(b, numthreads=1), signed_ok=True)),
    ]


def file_note(e):
    """How the image codecs see a file (and where its pixels come from)."""
    dt, notes = np.dtype(e["dtype"]), []
    if e.get("original_format") == "JPEG":
        notes.append("pixels decoded from a JPEG")
    if dt.kind == "f":
        notes.append("image codecs n/a (floats)")
        return "; ".join(notes)
    if e["kind"] == "volume":
        notes.append(f"image codecs: {e['shape'][0]} slices coded one by one")
    if dt.kind == "i":
        notes.append(f"{dt.name} offset to u{dt.name} for JPEG-LS, PNG, JPEG XL; signed in JPEG 2000")
    return "; ".join(notes)


# ---- typed array codecs
def pcodec_codec(level):
    import pcodec
    from pcodec import standalone

    def enc(data, dtype, shape, meta):
        cfg = pcodec.ChunkConfig(compression_level=level, enable_8_bit=True)
        return standalone.simple_compress(np.frombuffer(data, np.dtype(dtype)), cfg)

    def dec(blob, dtype, shape, meta):
        return standalone.simple_decompress(blob).astype(np.dtype(dtype), copy=False).tobytes()
    return enc, dec


# ---- zelk, told the raster's dtype and full shape
def zelk_codec(level):
    import zelk

    def enc(data, dtype, shape, meta):
        return zelk.compress(data, level, dtype=dtype, shape=shape)
    return enc, (lambda blob, *a: zelk.decompress(blob))


# ---- byte-stream coders
XZ = dict(format=lzma.FORMAT_XZ, check=lzma.CHECK_CRC64, preset=9 | lzma.PRESET_EXTREME)

CODECS = [
    ("zelk-1", *zelk_codec(1)),
    ("zelk-3", *zelk_codec(3)),
    ("zelk-9", *zelk_codec(9)),
    *image_codecs(),
    ("pcodec-8", *pcodec_codec(8)),
    ("pcodec-12", *pcodec_codec(12)),
    ("xz-9e", lambda d, *a: lzma.compress(d, **XZ), lambda b, *a: lzma.decompress(b)),
    ("bzip2-9", lambda d, *a: bz2.compress(d, 9), lambda b, *a: bz2.decompress(b)),
    ("zstd-19", *zstd_codec(19)),
    ("zlib-6", lambda d, *a: zlib.compress(d, 6), lambda b, *a: zlib.decompress(b)),
]


# ---- harness
def versions():
    import imagecodecs
    out = {"python": platform.python_version(), "numpy": np.__version__}
    for pkg in ("zelk", "pcodec", "zstandard"):
        out[pkg] = metadata.version(pkg)
    libs = imagecodecs.version(dict)
    for lib in ("imagecodecs", "charls", "libpng", "libjxl", "openjpeg"):
        out[lib] = libs.get(lib)
    out["zlib"] = zlib.ZLIB_RUNTIME_VERSION
    return out


def main(argv=None):
    a = corpus_arguments(argv, __doc__.split("\n\n")[0], MANIFEST, RESULTS)
    rows, names = measure_corpus(CODECS, a, row_extra=lambda e: dict(note=file_note(e)))
    kinds = [k for k in KINDS if any(r["kind"] == k for r in rows)]
    kinds += sorted({r["kind"] for r in rows} - set(kinds))
    summary = {k: totals(rows, names, k) for k in kinds}
    print("cells: ratio / encode MB/s / decode MB/s (10^6 input bytes per second); — = not applicable\n")
    print("| file | kind | dtype | shape | bytes | " + " | ".join(names) + " | note |")
    print("|---|---|---|---|---:|" + "---|" * len(names) + "---|")
    for row in rows:
        print(f"| {row['name']} | {row['kind']} | {np.dtype(row['dtype']).name} | {'×'.join(map(str, row['shape']))} | "
              f"{row['bytes']} | " + " | ".join(cell(row["results"][n]) for n in names) + f" | {row['note']} |")
    for kind, tot in summary.items():
        print(f"| **all {kind}** | | | | {sum(r['bytes'] for r in rows if r['kind'] == kind)} | "
              + " | ".join(cell(tot[n]) for n in names) + " | |")

    os.makedirs(os.path.dirname(a.out), exist_ok=True)
    with open(a.out, "w") as f:
        json.dump(dict(generated=time.strftime("%Y-%m-%dT%H:%M:%S%z"), manifest=a.manifest, runs=a.runs,
                       versions=versions(), files=rows, summary=summary), f, indent=1)
    chart = os.path.splitext(a.out)[0] + ".png"
    draw_kinds(summary, chart, "zelk beside its peers on rasters, by kind (totals over each kind's files)")
    print(f"\nwrote {a.out} and {chart}", file=sys.stderr)


if __name__ == "__main__":
    main()
