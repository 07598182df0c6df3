"""zelk.matrix beside zfp, SZ3, a Haar wavelet with a quantizer and zstd, and numcodecs' Quantize+Zstd: `python -m bench.matrices`.

On four 2-D datasets (an 8-bit photograph as float64, a photograph's
luminance in [0, 1], an elevation model from Debian's python-matplotlib-data,
a smooth synthetic field), each codec is brought to the same error: for
zelk the bound asked for; for a peer, the coarsest setting of its knob (found
by bisection) whose error is within it. Two kinds of error, each at two
levels relative to the data's range: root mean squared error and largest
absolute error. Reports the ratio and the compression and decompression MB/s
(float64 input bytes per second, one thread, median of three runs), checks
every bound, judges the targets and writes bench/results/matrices.md.
"""
import datetime
import math
import os
import statistics
import sys
import time
from dataclasses import dataclass
from typing import Any, Callable, Optional

import numpy as np

import zelk.matrix as zm

from .corpus import rgb_pixels
from .inputs import GRAYSCALE_PGM, grayscale_photo
from .results_file import publish

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RESULTS = os.path.join(ROOT, "bench", "results", "matrices.md")
DEM = "/usr/share/matplotlib/mpl-data/sample_data/jacksboro_fault_dem.npz"
RASTERS = os.path.join(ROOT, "bench", "data", "raster")
LEVELS = (1e-3, 1e-5)  # errors as fractions of each dataset's range


def datasets() -> dict[str, np.ndarray]:
    """Real 2-D and 3-D fields from packages, where this machine has them, and a smooth simulated one."""
    out = {}
    if os.path.exists(GRAYSCALE_PGM):
        out["photo-gray8 as float64"] = grayscale_photo().astype(np.float64)
    for dem in (DEM, os.path.join(os.path.dirname(matplotlib_file()), "mpl-data/sample_data/jacksboro_fault_dem.npz")):
        if os.path.exists(dem):
            out["elevation model"] = np.load(dem)["elevation"].astype(np.float64)
            break
    astronaut = os.path.join(RASTERS, "skimage_astronaut_rgb8.raw")
    if os.path.exists(astronaut):  # scikit-image's photograph, as bench/raster_corpus.py extracts it
        rgb = np.fromfile(astronaut, np.uint8).reshape(512, 512, 3).astype(np.float64) / 255
        out["luminance float64"] = rgb @ np.array([0.2126, 0.7152, 0.0722])
    volume = os.path.join(RASTERS, "nifti_example4d_vol0_i2.raw")
    if os.path.exists(volume):  # nibabel's test volume
        out["MRI volume float64"] = np.fromfile(volume, "<i2").reshape(24, 96, 128).astype(np.float64)
    y, x = np.mgrid[0:1024, 0:1024] / 1024
    out["smooth field"] = np.sin(6 * x) * np.cos(4 * y) + 0.5 * np.sin(15 * x * y)
    return out


def matplotlib_file() -> str:
    try:
        import matplotlib
        return matplotlib.__file__ or ""
    except ImportError:
        return ""


@dataclass
class Peer:
    name: str
    compress: Callable[[np.ndarray, float], bytes]   # data, knob
    decompress: Callable[[bytes, np.ndarray], np.ndarray]  # blob, original (for shape and dtype)
    knob_grows_error: bool = True
    integer_knob: bool = False


def peers() -> list[Peer]:
    found = []
    try:
        import zfpy
        found.append(Peer("zfp", lambda d, t: zfpy.compress_numpy(d, tolerance=t), lambda b, d: zfpy.decompress_numpy(b)))
    except ImportError:
        pass
    try:
        from pysz import sz, szConfig, szErrorBoundMode

        def sz_compress(data: np.ndarray, bound: float) -> bytes:
            config = szConfig()
            config.errorBoundMode = szErrorBoundMode.ABS
            config.absErrorBound = bound
            return sz.compress(data, config)[0].tobytes()

        found.append(Peer("SZ3", sz_compress,
                          lambda b, d: sz.decompress(np.frombuffer(b, np.uint8), d.dtype, d.shape)[0]))
    except ImportError:
        pass
    try:
        import imagecodecs

        if imagecodecs.SZ3.available and not any(peer.name == "SZ3" for peer in found):
            found.append(Peer("SZ3", lambda d, t: imagecodecs.sz3_encode(d, mode="abs", abs=t),
                              lambda b, d: imagecodecs.sz3_decode(b, d.shape, d.dtype)))
        if imagecodecs.SPERR.available:
            found.append(Peer("SPERR", lambda d, t: imagecodecs.sperr_encode(d, mode="pwe", level=t, numthreads=1),
                              lambda b, d: imagecodecs.sperr_decode(b, shape=d.shape, dtype=d.dtype, numthreads=1)))
    except ImportError:
        pass
    try:
        import pywt
        import zstandard

        def haar_compress(data: np.ndarray, step: float) -> bytes:
            coefficients, slices = pywt.coeffs_to_array(pywt.wavedec2(data, "haar"), axes=(-2, -1))
            quantized = (np.sign(coefficients) * np.floor(np.abs(coefficients) / step)).astype(np.int64)  # dead zone
            return zstandard.ZstdCompressor(level=3).compress(quantized.tobytes()), (quantized.shape, slices, step)

        def haar_decompress(packed: Any, data: np.ndarray) -> np.ndarray:
            blob, (shape, slices, step) = packed
            q = np.frombuffer(zstandard.ZstdDecompressor().decompress(blob), np.int64).reshape(shape).astype(np.float64)
            coefficients = (q + 0.5 * np.sign(q)) * step
            restored = pywt.waverec2(pywt.array_to_coeffs(coefficients, slices, output_format="wavedec2"), "haar")
            return restored[tuple(slice(0, n) for n in data.shape)]

        found.append(Peer("pywt haar+zstd", haar_compress, haar_decompress))
    except ImportError:
        pass
    try:
        from numcodecs import Quantize, Zstd

        def quantize_compress(data: np.ndarray, digits: float) -> bytes:
            return Zstd(level=3).encode(Quantize(int(digits), "f8").encode(data))

        found.append(Peer("numcodecs Quantize+Zstd", quantize_compress,
                          lambda b, d: np.frombuffer(Zstd().decode(b), np.float64).reshape(d.shape),
                          knob_grows_error=False, integer_knob=True))
    except ImportError:
        pass
    return found


def size_of(packed: Any) -> int:
    return len(packed[0]) + 64 if isinstance(packed, tuple) else len(packed)  # the Haar peer's side data, roughly


def errors(data: np.ndarray, restored: np.ndarray) -> tuple[float, float]:
    difference = np.asarray(restored, np.float64) - data
    return float(np.abs(difference).max()), math.sqrt(float(np.mean(np.square(difference))))


def within(data: np.ndarray, peer: Peer, target: float, use_rmse: bool) -> Optional[float]:
    """The coarsest knob whose error is within the target."""
    def ok(knob: float) -> bool:
        worst, rmse = errors(data, peer.decompress(peer.compress(data, knob), data))
        return (rmse if use_rmse else worst) <= target

    if peer.integer_knob:
        return next((float(d) for d in range(0, 16) if ok(d)), None)
    low, high = target / 1e4, target * 1e2  # error grows with the knob
    if not ok(low):
        return None
    for _ in range(24):
        middle = math.sqrt(low * high)
        low, high = (middle, high) if ok(middle) else (low, middle)
        if high / low < 1.02:
            break
    return low


@dataclass
class Cell:
    ratio: float
    compress_mbps: float
    decompress_mbps: float
    error: float  # achieved, of the kind judged


def timed(call: Callable[[], Any]) -> tuple[Any, float]:
    times, result = [], None
    for _ in range(3):
        start = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - start)
    return result, statistics.median(times)


def measure(data: np.ndarray, compress: Callable[[], Any], decompress: Callable[[Any], np.ndarray], use_rmse: bool) -> Cell:
    packed, compress_s = timed(compress)
    restored, decompress_s = timed(lambda: decompress(packed))
    worst, rmse = errors(data, restored)
    return Cell(data.nbytes / size_of(packed), data.nbytes / compress_s / 1e6, data.nbytes / decompress_s / 1e6,
                rmse if use_rmse else worst)


def main(argv: list[str]) -> int:
    started = time.perf_counter()
    data_sets, codecs = datasets(), peers()
    names = ["zelk"] + [p.name for p in codecs]
    tables: dict[tuple[str, float], dict[str, dict[str, Optional[Cell]]]] = {}
    bound_held = True
    for kind in ("rmse", "max_error"):
        use_rmse = kind == "rmse"
        for level in LEVELS:
            table: dict[str, dict[str, Optional[Cell]]] = {}
            for name, data in data_sets.items():
                target = level * float(data.max() - data.min())
                row: dict[str, Optional[Cell]] = {}
                row["zelk"] = measure(data, lambda: zm.compress(data, **{kind: target}), zm.decompress, use_rmse)
                bound_held &= row["zelk"].error <= target
                for peer in codecs:
                    knob = within(data, peer, target, use_rmse)
                    row[peer.name] = None if knob is None else measure(
                        data, lambda: peer.compress(data, knob), lambda packed: peer.decompress(packed, data), use_rmse)
                table[name] = row
                print(f"measured {name} at {kind} {level:g} of its range", flush=True)
            tables[kind, level] = table

    lines = []
    for (kind, level), table in tables.items():
        lines += ["", f"Equal {'RMSE' if kind == 'rmse' else 'maximum error'}: {level:g} of each dataset's range. "
                  "Cells: ratio · compress/decompress MB/s.", "",
                  "| dataset | " + " | ".join(names) + " |", "|---" * (len(names) + 1) + "|"]
        for dataset, row in table.items():
            cells = [f"{c.ratio:.1f} · {c.compress_mbps:.0f}/{c.decompress_mbps:.0f}" if c else "bound not reached"
                     for c in (row[n] for n in names)]
            shape = "×".join(str(n) for n in data_sets[dataset].shape)
            lines.append(f"| {dataset} ({shape}) | " + " | ".join(cells) + " |")
    lines += ["", "Targets:"] + judge(tables, bound_held)
    about = (f"{datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M UTC}, {time.perf_counter() - started:.0f} s, "
             f"{os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.1f}")
    publish(RESULTS, "zelk.matrix beside zfp, SZ3, a Haar wavelet with zstd and numcodecs", [f"Ran {about}."] + lines)
    return 0


def judge(tables: dict, bound_held: bool) -> list[str]:
    def line(met: bool, text: str) -> str:
        return f"  [{'MET' if met else 'NOT MET'}] {text}"

    out = []
    rivals = ("SZ3", "SPERR", "zfp")
    cases = [row for table in tables.values() for row in table.values()]
    best = [max((row[r].ratio for r in rivals if row.get(r)), default=0.0) for row in cases]
    led = sum(row["zelk"].ratio >= b for row, b in zip(cases, best))
    out.append(line(led >= 0.8 * len(cases), f"a ratio at least the best of {', '.join(rivals)} in 80% of the "
                    f"(dataset, bound) cases: in {led} of {len(cases)}"))
    closest = min((row["zelk"].ratio / b for row, b in zip(cases, best) if b > 0), default=math.inf)
    out.append(line(closest >= 0.9, f"at least 0.9 of the best everywhere: {closest:.2f} at worst"))
    speeds = [(row["zelk"].compress_mbps, row["zelk"].decompress_mbps) for t in tables.values() for row in t.values()]
    slowest = min(min(s) for s in speeds)
    out.append(line(slowest >= 50, f"compression and decompression at least 50 MB/s of float64: slowest {slowest:.0f} MB/s"))
    behind = [row for row in cases if row.get("SZ3") and (row["zelk"].compress_mbps < row["SZ3"].compress_mbps
                                                         or row["zelk"].decompress_mbps < row["SZ3"].decompress_mbps)]
    out.append(line(not behind, f"both ways at least SZ3's speed in the same case: behind in {len(behind)} of {len(cases)}"))
    out.append(line(bound_held, "the requested bound holds on every dataset"))
    return out


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
