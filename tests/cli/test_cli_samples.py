"""Typed samples from the command line: WAV and .npy files found by their
headers, raw files typed by --type; samples go into sample blocks, the rest
stays bytes, and the file comes back byte for byte."""
import io
import math
import pathlib
import struct
import wave

import pytest

from conftest import block_records

SAMPLE = 4


def tone(n, channels, seed=1):
    """Interleaved 16-bit samples of a decaying chord with a little hiss."""
    values = []
    state = seed
    for i in range(n):
        for c in range(channels):
            state = (state * 1103515245 + 12345) & 0x7FFFFFFF
            hiss = (state >> 16) % 9 - 4
            values.append(int(6000 * math.exp(-i / n) * math.sin(i * (0.03 + 0.011 * c))) + hiss)
    return struct.pack(f"<{len(values)}h", *values)


def wav_bytes(samples, channels, rate=16000):
    out = io.BytesIO()
    with wave.open(out, "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(samples)
    return out.getvalue() + b"LIST\x04\x00\x00\x00tail"  # a chunk after the samples stays bytes


@pytest.mark.parametrize("channels", [1, 2])
def test_wav_samples_become_sample_blocks_and_the_file_comes_back(zelk, tmp_path, channels):
    data = wav_bytes(tone(60_000, channels), channels)
    (tmp_path / "a.wav").write_bytes(data)
    assert zelk("-k", "a.wav").returncode == 0
    frame = (tmp_path / "a.wav.zlk").read_bytes()
    kinds = [kind for _, kind, _, _ in block_records(frame)]
    assert frame[4] == 3 and kinds.count(SAMPLE) >= 1 and kinds[0] != SAMPLE
    assert len(frame) < len(data) / 2
    assert zelk("-dc", "a.wav.zlk").stdout == data
    listing = zelk("-lv", "a.wav.zlk").stdout
    assert (b"sample int16 x2 " in listing) == (channels == 2) and b"sample int16" in listing


def test_npy_and_raw_files_are_typed_and_plain_files_are_not(zelk, tmp_path):
    samples = tone(40_000, 1)
    header = b"{'descr': '<i2', 'fortran_order': False, 'shape': (40000,), }"
    header += b" " * (63 - (10 + len(header)) % 64) + b"\n"
    npy = b"\x93NUMPY\x01\x00" + struct.pack("<H", len(header)) + header + samples
    (tmp_path / "a.npy").write_bytes(npy)
    (tmp_path / "a.raw").write_bytes(samples)
    zelk("-k", "a.npy"), zelk("-k", "--type=i16le", "a.raw")
    zelk("-k", "-o", "plain.zlk", "a.raw")
    for name, original in (("a.npy", npy), ("a.raw", samples)):
        frame = (tmp_path / f"{name}.zlk").read_bytes()
        assert SAMPLE in [kind for _, kind, _, _ in block_records(frame)]
        assert zelk("-dc", f"{name}.zlk").stdout == original
    assert (tmp_path / "plain.zlk").read_bytes()[4] == 2  # untyped: a frame any version-2 reader reads
    refused = zelk("--type=i12le", "a.raw")
    assert refused.returncode == 1 and b"invalid type 'i12le'" in refused.stderr


def test_a_narrow_image_is_coded_as_rows_and_listed_so(zelk, tmp_path):
    state, pixels = 7, bytearray()  # a smooth slope with noise
    for y in range(96):
        for x in range(48):
            state = (state * 1103515245 + 12345) & 0x7FFFFFFF
            pixels.append(int(100 + 40 * math.sin(x / 9 + y / 13)) + (state >> 16) % 5)
    (tmp_path / "tile.pgm").write_bytes(b"P5\n48 96\n255\n" + pixels)
    zelk("-k", "tile.pgm")
    assert b" x48 rows " in zelk("-l", "-v", "tile.pgm.zlk").stdout
    assert zelk("-dc", "tile.pgm.zlk").stdout == (tmp_path / "tile.pgm").read_bytes()


def fits_header(*cards):
    text = b"".join(card.encode().ljust(80) for card in cards + ("END",))
    return text + b" " * (-len(text) % 2880)


def test_every_image_unit_of_a_fits_file_becomes_samples(zelk, tmp_path):
    """A primary unit without data, a table extension (bytes), then two image extensions."""
    pgm_like = struct.pack(">30000h", *struct.unpack("<30000h", tone(30_000, 1)))
    table = b"x" * 400
    data = fits_header("SIMPLE  = T", "BITPIX  = 8", "NAXIS   = 0", "EXTEND  = T")
    data += fits_header("XTENSION= 'BINTABLE'", "BITPIX  = 8", "NAXIS   = 2", "NAXIS1  = 40", "NAXIS2  = 10",
                        "PCOUNT  = 0", "GCOUNT  = 1", "TFIELDS = 1")
    data += table + b"\0" * (-len(table) % 2880)
    for _ in range(2):
        data += fits_header("XTENSION= 'IMAGE   '", "BITPIX  = 16", "NAXIS   = 2", "NAXIS1  = 200", "NAXIS2  = 150",
                            "PCOUNT  = 0", "GCOUNT  = 1")
        data += pgm_like + b"\0" * (-len(pgm_like) % 2880)
    (tmp_path / "a.fits").write_bytes(data)
    assert zelk("-k", "a.fits").returncode == 0
    frame = (tmp_path / "a.fits.zlk").read_bytes()
    assert [kind for _, kind, _, _ in block_records(frame)].count(SAMPLE) == 2
    assert zelk("-dc", "a.fits.zlk").stdout == data


def test_compressed_matrices_are_listed_and_tested_but_not_restored(zelk, tmp_path):
    np = pytest.importorskip("numpy")
    matrix = pytest.importorskip("zelk.matrix")
    field = np.random.default_rng(1).standard_normal((300, 400)).cumsum(0).cumsum(1)
    (tmp_path / "v5.zlm").write_bytes(matrix.compress(field, max_error=1e-3))
    (tmp_path / "v1.zlm").write_bytes(matrix.compress(field, threshold=1e-3))
    y, x = np.mgrid[0:300, 0:257] / 300
    (tmp_path / "w.zlm").write_bytes(matrix.compress(np.sin(6 * x) * np.cos(4 * y), rmse=1e-3))
    y, x = np.mgrid[0:257, 0:257] / 257  # noise leaves few detail quotients zero: every one is stored
    noisy = np.sin(6 * x) * np.cos(4 * y) + 1e-4 * np.random.default_rng(0).standard_normal(x.shape)
    (tmp_path / "wl.zlm").write_bytes(matrix.compress(noisy, rmse=2e-5))
    assert zelk("-lv", "w.zlm", "wl.zlm").stdout.count(b"1 bands: 0 grid, 0 interpolated, 0 Lorenzo, 0 exact, 1 wavelet") == 2
    # Written by the library before interpolation was fitted to the edges, and before counts were varints.
    stored = pathlib.Path(__file__).parents[1] / "data/matrix"
    (tmp_path / "v2.zlm").write_bytes((stored / "version2_levelled.zlm").read_bytes())
    (tmp_path / "v4.zlm").write_bytes((stored / "version4_wavelet.zlm").read_bytes())
    listed = zelk("-lv", "v5.zlm", "v1.zlm", "v2.zlm", "v4.zlm")
    assert listed.returncode == 0
    assert b"(matrix v5: float64 300x400, max_error 0.001)" in listed.stdout
    assert b"(matrix v4: float64 48x40, rmse 0.001)" in listed.stdout
    assert b"(matrix v1: float64 300x400, threshold 0.001)" in listed.stdout
    assert b"(matrix v2: float32 48x51, max_error 1e-05)" in listed.stdout
    assert b"1 bands: 1 grid, 0 interpolated, 0 Lorenzo, 0 exact, 0 wavelet" in listed.stdout
    assert b"1 bands: 0 grid, 1 interpolated, 0 Lorenzo, 0 exact, 0 wavelet" in listed.stdout
    assert zelk("-t", "v5.zlm", "v1.zlm", "w.zlm", "wl.zlm", "v2.zlm", "v4.zlm").returncode == 0
    refused = zelk("-d", "-S", ".zlm", "v5.zlm")
    assert refused.returncode == 1 and b"zelk.matrix.decompress() restores it" in refused.stderr
    assert not (tmp_path / "v5").exists()
    for name, at in (("v5.zlm", -100), ("v1.zlm", 30), ("v5.zlm", 20), ("w.zlm", 130), ("w.zlm", -30), ("wl.zlm", -30),
                     ("v4.zlm", 60)):
        damaged = bytearray((tmp_path / name).read_bytes())
        damaged[at] ^= 1
        (tmp_path / "bad.zlm").write_bytes(damaged)
        failed = zelk("-t", "bad.zlm")
        assert failed.returncode == 1 and b"matrix at offset" in failed.stderr, (name, at)
