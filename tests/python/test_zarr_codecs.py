"""zelk in zarr, numcodecs, dask and xarray: the codecs' configurations round
trip and are found by name; arrays written with them are read in another
process that never imports zelk, by dask's process scheduler and by a
distributed cluster of two workers; the lossy codec's bound holds in every
chunk; a damaged chunk is refused."""
import os
import subprocess
import sys
import textwrap

import pytest

np = pytest.importorskip("numpy")
zarr = pytest.importorskip("zarr")
numcodecs = pytest.importorskip("numcodecs")
pytest.importorskip("dask.array")

import zelk  # noqa: E402
from zelk.codecs import Zelk, ZelkMatrix  # noqa: E402
from zelk.zarr_codecs import ZelkCodec, ZelkMatrixCodec  # noqa: E402

BOUND = 1e-3


def field(rows=300, cols=400, seed=1):
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:rows, 0:cols]
    return np.sin(x / 19.0) * np.cos(y / 13.0) + 0.05 * rng.standard_normal((rows, cols))


def test_numcodecs_codecs_round_trip_and_are_found_by_their_ids():
    data = field()
    for codec in (Zelk(level=5), ZelkMatrix(max_error=BOUND)):
        assert numcodecs.get_codec(dict(codec.get_config())) == codec
    lossless = Zelk()
    assert np.array_equal(np.frombuffer(lossless.decode(lossless.encode(data)), np.float64).reshape(data.shape), data)
    out = np.empty_like(data)
    lossless.decode(lossless.encode(data), out=out)
    assert np.array_equal(out, data)
    lossy = ZelkMatrix(max_error=BOUND)
    assert np.abs(lossy.decode(lossy.encode(data)) - data).max() <= BOUND
    with pytest.raises(TypeError):
        ZelkMatrix(rmse=1.0, psnr=20.0)


READER = textwrap.dedent("""
    import sys
    import numpy as np
    import dask.array as da

    def main():
        expected, scheduler = np.load(sys.argv[1]), sys.argv[2]
        arrays = [da.from_zarr(path) for path in sys.argv[3:]]
        if scheduler == "distributed":
            from dask.distributed import Client, LocalCluster
            with LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster, Client(cluster):
                got = [a.compute() for a in arrays]
        else:
            got = [a.compute(scheduler="processes", num_workers=2) for a in arrays]
        print(np.array_equal(got[0], expected), float(np.abs(got[1] - expected).max()))

    if __name__ == "__main__":  # the workers import this file again
        main()
""")


def test_arrays_are_read_elsewhere_without_importing_zelk(tmp_path):
    data = field()
    lossless = zarr.create_array(store=str(tmp_path / "lossless.zarr"), shape=data.shape, chunks=(100, 128),
                                 dtype="f8", compressors=[ZelkCodec(level=3)])
    lossless[:] = data
    lossy = zarr.create_array(store=str(tmp_path / "lossy.zarr"), shape=data.shape, chunks=(100, 128), dtype="f8",
                              serializer=ZelkMatrixCodec(max_error=BOUND), compressors=None)
    lossy[:] = data
    reopened = zarr.open_array(str(tmp_path / "lossy.zarr"))
    assert reopened.metadata.to_dict()["codecs"][0] == {"name": "zelk_matrix",
                                                        "configuration": {"max_error": BOUND}}
    for codec in (ZelkCodec(level=7), ZelkMatrixCodec(psnr=40.0)):
        assert type(codec).from_dict(codec.to_dict()) == codec
    # The bound holds in every chunk, the partial last ones included.
    assert np.abs(reopened[:] - data).max() <= BOUND
    np.save(tmp_path / "expected.npy", data)
    (tmp_path / "reader.py").write_text(READER)
    for scheduler in ("processes", "distributed"):
        result = subprocess.run([sys.executable, str(tmp_path / "reader.py"), str(tmp_path / "expected.npy"),
                                 scheduler, str(tmp_path / "lossless.zarr"), str(tmp_path / "lossy.zarr")],
                                capture_output=True, text=True, timeout=240, cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        exact, worst = result.stdout.split()[-2:]
        assert exact == "True" and float(worst) <= BOUND, scheduler


def test_xarray_writes_and_reads_with_both_codecs(tmp_path):
    xr = pytest.importorskip("xarray")
    data = field(120, 90)
    dataset = xr.Dataset({"exact": (("y", "x"), data), "close": (("y", "x"), data)})
    dataset.to_zarr(tmp_path / "d.zarr", zarr_format=3, consolidated=False, encoding={
        "exact": {"compressors": [ZelkCodec()]},
        "close": {"serializer": ZelkMatrixCodec(rmse=BOUND), "compressors": None}})
    back = xr.open_zarr(tmp_path / "d.zarr", consolidated=False).load()
    assert np.array_equal(back["exact"].values, data)
    assert np.sqrt(np.mean((back["close"].values - data) ** 2)) <= BOUND


def test_numeric_chunks_are_coded_as_samples(tmp_path):
    signal = (np.sin(np.arange(40_000) / 9) * 9000).astype("<i2").reshape(200, 200)
    array = zarr.create_array(store=str(tmp_path / "s.zarr"), shape=signal.shape, chunks=(100, 200), dtype="i2",
                              compressors=[ZelkCodec()])
    array[:] = signal
    chunk = (tmp_path / "s.zarr" / "c" / "0" / "0").read_bytes()
    assert zelk.frame_info(chunk).blocks["sample"] == 1 and zelk.frame_info(chunk).shape == (100, 200)
    assert np.array_equal(zarr.open_array(str(tmp_path / "s.zarr"))[:], signal)
    # A float32 grid's chunks are predicted in two dimensions: smaller than the same values as a series.
    rng = np.random.default_rng(5)
    grid = (np.cumsum(rng.normal(0, 1, (256, 128)), axis=0) * 10).round().astype("<f4")
    grids = zarr.create_array(store=str(tmp_path / "g.zarr"), shape=grid.shape, chunks=(128, 128), dtype="f4",
                              compressors=[ZelkCodec()])
    grids[:] = grid
    chunk = (tmp_path / "g.zarr" / "c" / "0" / "0").read_bytes()
    assert zelk.frame_info(chunk).blocks["sample"] == 1 and zelk.frame_info(chunk).shape == (128, 128)
    assert len(chunk) * 5 < len(zelk.compress(grid[:128].reshape(-1))) * 4
    v2 = Zelk().encode(signal.astype("<f4"))
    assert zelk.frame_info(v2).dtype == "<f4" and zelk.frame_info(v2).shape == signal.shape
    assert bytes(Zelk().decode(v2)) == signal.astype("<f4").tobytes()
    # A chunk in Fortran order is coded flat, and its bytes, in that order, come back.
    fortran = np.asfortranarray(signal)
    assert bytes(Zelk().decode(Zelk().encode(fortran))) == fortran.tobytes(order="A")


def test_a_damaged_chunk_is_refused(tmp_path):
    array = zarr.create_array(store=str(tmp_path / "a.zarr"), shape=(64, 64), chunks=(32, 32), dtype="f8",
                              compressors=[ZelkCodec()])
    array[:] = field(64, 64)
    chunk = tmp_path / "a.zarr" / "c" / "1" / "0"
    damaged = bytearray(chunk.read_bytes())
    damaged[len(damaged) // 2] ^= 0x20
    chunk.write_bytes(bytes(damaged))
    with pytest.raises(zelk.ZelkError):
        zarr.open_array(str(tmp_path / "a.zarr"))[:]
    # A chunk standing for 8 KiB that holds 64 MiB is refused once past its size.
    compressor = zelk.ZelkCompressor(1)
    chunk.write_bytes(b"".join(compressor.compress(bytes(1 << 22)) for _ in range(16)) + compressor.flush())
    with pytest.raises(zelk.ZelkError, match="max_length"):
        zarr.open_array(str(tmp_path / "a.zarr"))[32:]
    assert np.array_equal(zarr.open_array(str(tmp_path / "a.zarr"))[:32], field(64, 64)[:32])
