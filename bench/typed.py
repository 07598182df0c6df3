"""zelk and its peers on typed numeric data: PCM audio, sensor series, numeric arrays.

For each file of the typed corpus manifest and each codec in CODECS this measures the
compression ratio (input bytes / output bytes) and encode / decode speed in MB/s
(10^6 input bytes per second, median of --runs timed runs after one warm-up run).
The warm-up output is decoded and compared with the input: any inexact round trip
aborts the run. Every codec sees the same input, the raw sample bytes (<name>.raw),
never a WAV header; zelk is told their type, as a numpy array's dtype tells it.
Everything runs in one thread. The corpus comes from Debian's and PyPI's packages
(bench/typed_corpus.py).

    python -m bench.typed [--manifest M] [--runs 3] [--only SUBSTR] [--codecs a,b]

A codec is one (name, encode, decode) entry in CODECS:
    encode(data: bytes, dtype: str, shape: list, meta: dict) -> bytes, or None if n/a
    decode(blob: bytes, dtype: str, shape: list, meta: dict) -> bytes
meta is the file's manifest entry.
"""
import atexit, bz2, json, lzma, os, platform, shutil, subprocess, sys, tempfile, time, zlib
from importlib import metadata

import numpy as np

from bench.chart import draw_kinds
from bench.corpus_runs import cell, corpus_arguments, measure_corpus, totals, zstd_codec

HERE = os.path.dirname(os.path.abspath(__file__))
MANIFEST = os.path.join(HERE, "data", "typed", "manifest.json")
RESULTS = os.path.join(HERE, "results", "typed.json")
NOTES = {}  # (codec, file) -> short note a codec wants in the results (e.g. chosen filter)


# ---- typed views: 24-bit PCM is stored packed ("|V3"), widened to int32 for array codecs
def values(data, dtype, meta):
    """1-D numpy view of the samples (int32 for packed 24-bit)."""
    if dtype == "|V3":
        b = np.frombuffer(data, np.uint8).reshape(-1, 3).astype(np.int32)
        return ((b[:, 0] | b[:, 1] << 8 | b[:, 2] << 16) << 8) >> 8
    return np.frombuffer(data, np.dtype(dtype))


def to_bytes(arr, dtype):
    arr = np.asarray(arr)
    if dtype == "|V3":
        return arr.astype("<i4").view(np.uint8).reshape(-1, 4)[:, :3].tobytes()
    return arr.view(np.dtype(dtype)).tobytes()


def int_format(dtype):
    """(bits, signed) for integer sample types the audio coders accept, else None."""
    if dtype == "|V3":
        return 24, True
    dt = np.dtype(dtype)
    if dt.kind in "iu" and dt.itemsize <= 4 and dt.byteorder != ">":
        return dt.itemsize * 8, dt.kind == "i"
    return None


# ---- command-line coders, through temp files in memory-backed storage
TMP = tempfile.mkdtemp(dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
atexit.register(shutil.rmtree, TMP, True)


def cli(cmd, data, src="in", dst="out"):
    src, dst = os.path.join(TMP, src), os.path.join(TMP, dst)
    with open(src, "wb") as f:
        f.write(data)
    subprocess.run([c.format(src=src, dst=dst) for c in cmd], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    with open(dst, "rb") as f:
        return f.read()


def pcm_layout(dtype, meta):
    fmt = int_format(dtype)
    if fmt is None:
        return None
    return fmt + (meta.get("channels") or 1, meta.get("sample_rate") or 48000)


def flac_enc(data, dtype, shape, meta):
    lay = pcm_layout(dtype, meta)
    if lay is None:
        return None
    bits, signed, ch, rate = lay
    return cli(["flac", "-8", "--silent", "-f", "--force-raw-format", "--endian=little",
                f"--sign={'signed' if signed else 'unsigned'}", f"--channels={ch}",
                f"--bps={bits}", f"--sample-rate={rate}", "-o", "{dst}", "{src}"], data, "a.raw", "a.flac")


def flac_dec(blob, dtype, shape, meta):
    signed = pcm_layout(dtype, meta)[1]
    return cli(["flac", "-d", "--silent", "-f", "--force-raw-format", "--endian=little",
                f"--sign={'signed' if signed else 'unsigned'}", "-o", "{dst}", "{src}"],
               blob, "b.flac", "b.raw")


def wavpack_enc(data, dtype, shape, meta):
    lay = pcm_layout(dtype, meta)
    if lay is None:
        return None
    bits, signed, ch, rate = lay
    return cli(["wavpack", "-hh", "-x6", "-q", "-y", f"--raw-pcm={rate},{bits}{'s' if signed else 'u'},{ch},le",
                "{src}", "-o", "{dst}"], data, "a.raw", "a.wv")


def wavpack_dec(blob, dtype, shape, meta):
    out = cli(["wvunpack", "-q", "-y", "--raw", "{src}", "-o", "{dst}"], blob, "b.wv", "b.raw")
    bits, signed = int_format(dtype)
    if not signed and bits > 8:  # raw output follows WAV: only 8-bit stays unsigned
        out = (np.frombuffer(out, dtype) ^ (1 << (bits - 1))).tobytes()
    return out


# ---- typed array codecs
def pcodec_codec(level):
    import pcodec
    from pcodec import standalone

    def enc(data, dtype, shape, meta):
        cfg = pcodec.ChunkConfig(compression_level=level, enable_8_bit=True)
        return standalone.simple_compress(np.ascontiguousarray(values(data, dtype, meta)), cfg)

    def dec(blob, dtype, shape, meta):
        return to_bytes(standalone.simple_decompress(blob), dtype)
    return enc, dec


def openzl_codec(level):
    import openzl.ext as zl
    comp = zl.Compressor()
    comp.select_starting_graph(zl.graphs.Compress()(comp))  # generic typed-input graph
    comp.set_parameter(zl.CParam.FormatVersion, zl.MAX_FORMAT_VERSION)
    if level is not None:
        comp.set_parameter(zl.CParam.CompressionLevel, level)

    def enc(data, dtype, shape, meta):
        arr = np.ascontiguousarray(values(data, dtype, meta))  # Input does not keep it alive
        cctx = zl.CCtx()
        cctx.ref_compressor(comp)
        return cctx.compress([zl.Input(zl.Type.Numeric, arr)])

    def dec(blob, dtype, shape, meta):
        out = zl.DCtx().decompress(blob)[0].content.as_nparray()
        if dtype == "|V3":
            return to_bytes(out.view(np.int32), dtype)
        return out.tobytes()
    return enc, dec


def blosc2_codec():
    import blosc2
    blosc2.set_nthreads(1)
    F = blosc2.Filter
    variants = {"shuffle": [F.SHUFFLE], "bitshuffle": [F.BITSHUFFLE],
                "shuffle+bytedelta": [F.SHUFFLE, F.BYTEDELTA]}
    chosen = {}

    def run(data, size, filters):
        return blosc2.compress2(data, codec=blosc2.Codec.ZSTD, clevel=9, typesize=size,
                                filters=filters, filters_meta=[0] * len(filters), nthreads=1)

    def enc(data, dtype, shape, meta):
        size = np.dtype(dtype).itemsize
        if meta["name"] not in chosen:  # first (warm-up) call picks the smallest variant
            sizes = {k: len(run(data, size, f)) for k, f in variants.items()}
            chosen[meta["name"]] = min(sizes, key=sizes.get)
            NOTES[("blosc2-zstd9", meta["name"])] = chosen[meta["name"]]
        return run(data, size, variants[chosen[meta["name"]]])

    def dec(blob, dtype, shape, meta):
        return blosc2.decompress2(blob)
    return enc, dec


# ---- zelk, told the samples' type (packed 24-bit PCM as "<i3", which numpy has no type for)
def zelk_codec(level):
    import zelk

    def enc(data, dtype, shape, meta):
        return zelk.compress(data, level, dtype="<i3" if dtype == "|V3" else dtype, shape=shape)
    return enc, (lambda blob, *a: zelk.decompress(blob))


# ---- byte-stream coders
XZ = dict(format=lzma.FORMAT_XZ, check=lzma.CHECK_CRC64, preset=9 | lzma.PRESET_EXTREME)

CODECS = [
    ("zelk-1", *zelk_codec(1)),
    ("zelk-3", *zelk_codec(3)),
    ("zelk-9", *zelk_codec(9)),
    ("flac-8", flac_enc, flac_dec),
    ("wavpack-hh-x6", wavpack_enc, wavpack_dec),
    ("pcodec-8", *pcodec_codec(8)),
    ("pcodec-12", *pcodec_codec(12)),
    ("openzl", *openzl_codec(None)),
    ("openzl-19", *openzl_codec(19)),
    ("blosc2-zstd9", *blosc2_codec()),
    ("xz-9e", lambda d, *a: lzma.compress(d, **XZ), lambda b, *a: lzma.decompress(b)),
    ("bzip2-9", lambda d, *a: bz2.compress(d, 9), lambda b, *a: bz2.decompress(b)),
    ("zstd-19", *zstd_codec(19)),
    ("zlib-6", lambda d, *a: zlib.compress(d, 6), lambda b, *a: zlib.decompress(b)),
]


# ---- harness
def versions():
    out = {"python": platform.python_version(), "numpy": np.__version__}
    for pkg in ("zelk", "pcodec", "openzl", "blosc2", "zstandard"):
        out[pkg] = metadata.version(pkg)
    for tool in ("flac", "wavpack"):
        out[tool] = subprocess.run([tool, "--version"], capture_output=True, text=True).stdout.split("\n")[0]
    out["zlib"] = zlib.ZLIB_RUNTIME_VERSION
    return out


def main(argv=None):
    a = corpus_arguments(argv, __doc__.split("\n\n")[0], MANIFEST, RESULTS)
    rows, names = measure_corpus(CODECS, a, NOTES)
    summary = {k: totals(rows, names, k) for k in ("pcm", "array")}
    print("cells: ratio / encode MB/s / decode MB/s (10^6 input bytes per second); — = not applicable\n")
    print("| file | dtype | bytes | " + " | ".join(names) + " |")
    print("|---|---|---:|" + "---|" * len(names))
    for row in rows:
        print(f"| {row['name']} | {row['dtype']} | {row['bytes']} | "
              + " | ".join(cell(row["results"][n]) for n in names) + " |")
    for kind, tot in summary.items():
        print(f"| **all {kind}** | | {sum(r['bytes'] for r in rows if r['kind'] == kind)} | "
              + " | ".join(cell(tot[n]) for n in names) + " |")

    os.makedirs(os.path.dirname(a.out), exist_ok=True)
    with open(a.out, "w") as f:
        json.dump(dict(generated=time.strftime("%Y-%m-%dT%H:%M:%S%z"), manifest=a.manifest, runs=a.runs,
                       versions=versions(), files=rows, summary=summary), f, indent=1)
    chart = os.path.splitext(a.out)[0] + ".png"
    draw_kinds(summary, chart, "zelk beside its peers on typed data, by kind (totals over each kind's files)")
    print(f"\nwrote {a.out} and {chart}", file=sys.stderr)


if __name__ == "__main__":
    main()
