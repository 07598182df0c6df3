"""zelk's zarr codecs beside zarr's default (zstd) and Blosc, read by dask: `python -m bench.zarr_dask`.

Writes chunked zarr version 3 arrays of real data, in chunks of 1 to 2 MiB
(1024 x 1024 bytes, 512 x 512 float64s: zarr's advice is chunks of 1 MB or more),
from photographs of libjxl-testdata, each tiled 2 x 2 to make a dozen chunks or more, with each codec into a temporary directory, then reads each whole array with
dask's threaded scheduler on one thread and on two. Reports the ratio (array
bytes over stored chunk bytes), the write MB/s and the read MB/s (array
bytes per second, median of five reads after one not counted), the read
speed-up of two threads over one, and judges the target; writes
bench/results/zarr_dask.md.
"""
import datetime
import os
import statistics
import sys
import tempfile
import time
from typing import Any

import dask
import dask.array as da
import numpy as np
import zarr
from zarr.codecs import BloscCodec, ZstdCodec

from zelk.zarr_codecs import ZelkCodec, ZelkMatrixCodec

from .corpus import rgb_pixels
from .inputs import grayscale_photo
from .results_file import publish

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RESULTS = os.path.join(ROOT, "bench", "results", "zarr_dask.md")


def arrays() -> dict[str, np.ndarray]:
    out = {"photo-gray8 (uint8)": np.tile(grayscale_photo(), (2, 2))}
    rgb = rgb_pixels(8 << 20).astype(np.float64) / 255
    out["luminance (float64)"] = np.tile(rgb @ np.array([0.2126, 0.7152, 0.0722]), (2, 2))
    return out


def codecs(data: np.ndarray) -> dict[str, dict[str, Any]]:
    chosen: dict[str, dict[str, Any]] = {
        "zelk": {"compressors": [ZelkCodec(level=3)]},
        "zstd (zarr's default)": {"compressors": [ZstdCodec(level=0)]},
        "Blosc zstd-5 shuffle": {"compressors": [BloscCodec(cname="zstd", clevel=5, shuffle="shuffle")]},
    }
    if data.dtype.kind == "f":
        rmse = 1e-4 * float(data.max() - data.min())
        chosen["zelk_matrix rmse 1e-4 of range"] = {"serializer": ZelkMatrixCodec(rmse=rmse), "compressors": None}
    return chosen


def stored_bytes(path: str) -> int:
    return sum(os.path.getsize(os.path.join(root, name)) for root, _, names in os.walk(path) for name in names
               if name != "zarr.json")


def read_mbps(path: str, threads: int, nbytes: int) -> float:
    array = zarr.open_array(path)
    da.from_zarr(array).compute(scheduler="threads", num_workers=threads)
    times = []
    for _ in range(5):
        start = time.perf_counter()
        da.from_zarr(array).compute(scheduler="threads", num_workers=threads)
        times.append(time.perf_counter() - start)
    return nbytes / statistics.median(times) / 1e6


def main(argv: list[str]) -> int:
    started = time.perf_counter()
    rows, speedups = [], {}
    with tempfile.TemporaryDirectory(prefix="zelk-zarr-") as work:
        for name, data in arrays().items():
            for codec_name, settings in codecs(data).items():
                path = os.path.join(work, f"{len(rows)}.zarr")
                start = time.perf_counter()
                side = 1024 if data.itemsize == 1 else 512
                array = zarr.create_array(store=path, shape=data.shape, chunks=(side, side), dtype=data.dtype, **settings)
                array[:] = data
                write = data.nbytes / (time.perf_counter() - start) / 1e6
                one, two = read_mbps(path, 1, data.nbytes), read_mbps(path, 2, data.nbytes)
                speedups[name, codec_name] = two / one
                rows.append(f"| {name} {data.shape[0]}x{data.shape[1]} | {codec_name} | "
                            f"{data.nbytes / stored_bytes(path):.2f} | {write:.0f} | {one:.0f} | {two:.0f} | {two / one:.2f}x |")
                print(f"measured {name} with {codec_name}", flush=True)
    zelk_lossless = {n: v for (n, c), v in speedups.items() if c == "zelk"}
    lowest = min(zelk_lossless.values())
    about = (f"{datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M UTC}, {time.perf_counter() - started:.0f} s, "
             f"{len(os.sched_getaffinity(0))} cores, zarr {zarr.__version__}, dask {dask.__version__}")
    lines = [f"Ran {about}.", "",
             "Chunks of 1024 x 1024 uint8 or 512 x 512 float64. Read: `dask.array.from_zarr(array).compute(scheduler=\"threads\", "
             "num_workers=N)`, median of five.", "",
             "| array | codec | ratio | write MB/s | read MB/s, 1 thread | read MB/s, 2 threads | speed-up |",
             "|---|---|---|---|---|---|---|", *rows, "", "Targets:",
             f"  [{'MET' if lowest >= 1.7 else 'NOT MET'}] dask decoding zelk chunks with two threads at least "
             "1.7x one thread: " + ", ".join(f"{n} {v:.2f}x" for n, v in zelk_lossless.items())]
    publish(RESULTS, "zelk's zarr codecs read by dask", lines)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
