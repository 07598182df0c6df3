"""What the typed and raster benchmarks share: timing a codec on one file of a
corpus with its round trip checked, a table cell, and totals per kind of file."""
import argparse
import json
import statistics
import sys
import time


def timed(fn, runs):
    """Warm-up call, then the median over `runs` of the per-call time. Short calls are
    repeated within each run so that one run lasts about 50 ms or more."""
    t0 = time.perf_counter()
    out = fn()
    reps = max(1, min(500, int(0.05 / max(time.perf_counter() - t0, 1e-7))))
    times = []
    for _ in range(runs):
        t0 = time.perf_counter()
        for _ in range(reps):
            fn()
        times.append((time.perf_counter() - t0) / reps)
    return out, statistics.median(times)


def measure(codec, data, entry, runs, notes=None):
    """Ratio and MB/s of `codec` (name, encode, decode) on one corpus file, or None
    where the codec does not apply; an inexact round trip ends the run. `notes`:
    (codec, file) -> a note the codec left for the results."""
    name, enc, dec = codec
    args = (entry["dtype"], entry["shape"], entry)
    blob, t_enc = timed(lambda: enc(data, *args), runs)
    if blob is None:
        return None
    back, t_dec = timed(lambda: dec(blob, *args), runs)
    if bytes(back) != data:
        sys.exit(f"round trip mismatch: {name} on {entry['name']}")
    r = dict(compressed_bytes=len(blob), ratio=len(data) / len(blob),
             enc_mbps=len(data) / t_enc / 1e6, dec_mbps=len(data) / t_dec / 1e6)
    if notes and (name, entry["name"]) in notes:
        r["note"] = notes[(name, entry["name"])]
    return r


def cell(r):
    return "—" if r is None else f"{r['ratio']:.3f} / {r['enc_mbps']:.1f} / {r['dec_mbps']:.1f}"


def totals(rows, names, kind):
    """Whole-group figures (sum of bytes over sum of time) for codecs covering every file."""
    group = [row for row in rows if row["kind"] == kind]
    out = {}
    for n in names:
        rs = [row["results"].get(n) for row in group]
        if not group or any(r is None for r in rs):
            out[n] = None
            continue
        size = sum(row["bytes"] for row in group)
        out[n] = dict(ratio=size / sum(r["compressed_bytes"] for r in rs),
                      enc_mbps=size / sum(row["bytes"] / r["enc_mbps"] for row, r in zip(group, rs)),
                      dec_mbps=size / sum(row["bytes"] / r["dec_mbps"] for row, r in zip(group, rs)))
    return out


def zstd_codec(level):
    import zstandard
    c, d = zstandard.ZstdCompressor(level=level), zstandard.ZstdDecompressor()
    return (lambda data, *a: c.compress(data)), (lambda blob, *a: d.decompress(blob))


def corpus_arguments(argv, description, manifest, results):
    """The command line both benchmarks take."""
    ap = argparse.ArgumentParser(description=description)
    ap.add_argument("--manifest", default=manifest)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--only", default="", help="only files whose name contains this")
    ap.add_argument("--codecs", default="", help="comma-separated codec names (default: all)")
    ap.add_argument("--out", default=results)
    return ap.parse_args(argv)


def measure_corpus(codecs, a, notes=None, row_extra=lambda entry: {}):
    """One row a manifest file: its name, kind, dtype, shape, bytes and each codec's figures."""
    codecs = [c for c in codecs if not a.codecs or c[0] in a.codecs.split(",")]
    with open(a.manifest) as f:
        entries = [e for e in json.load(f)["files"] if a.only in e["name"]]
    rows = []
    for e in entries:
        with open(e["raw_path"], "rb") as f:
            data = f.read()
        row = dict(name=e["name"], kind=e["kind"], dtype=e["dtype"], shape=e["shape"], bytes=len(data),
                   **row_extra(e), results={})
        for c in codecs:
            row["results"][c[0]] = measure(c, data, e, a.runs, notes)
            print(f"  {e['name']:34s} {c[0]:14s} {cell(row['results'][c[0]])}", file=sys.stderr)
        rows.append(row)
    return rows, [c[0] for c in codecs]
