"""Typed samples through the package: the type is read from the buffer or
given, sample blocks are written, and the bytes come back exactly."""
import array
import hashlib
import io
import math
import os
import struct

import pytest

import zelk

np = pytest.importorskip("numpy")


def wave(n, channels=1, dtype="<i2", seed=0):
    rng = np.random.default_rng(seed)
    t = np.arange(n)[:, None] / 8000
    values = 3000 * np.sin(2 * np.pi * 200 * t * np.arange(1, channels + 1)) + rng.normal(0, 5, (n, channels))
    return values.astype(dtype).reshape((n,) if channels == 1 else (n, channels))


@pytest.mark.parametrize("dtype", ["|u1", "|i1", "<u2", ">i2", "<i4", ">u4", "<i8", "<u8", "<f4", ">f8"])
def test_every_type_is_coded_as_samples_and_restored_exactly(dtype):
    data = wave(20000, 2, dtype)
    for level in (1, 3, 9):
        frame = zelk.compress(data, level)
        assert zelk.decompress(frame) == data.tobytes()
        info = zelk.frame_info(frame)
        if level == 1 and "f" in dtype:  # Rice codes of floats with noise in every bit lose to Zstandard here
            continue
        assert info.blocks["sample"] >= 1 and info.dtype == np.dtype(dtype).str and info.shape == data.shape


def test_the_type_comes_from_the_buffer_or_is_given():
    data = wave(30000)
    expected = zelk.compress(data)
    assert zelk.compress(memoryview(data.tobytes()).cast("h")) == expected
    assert zelk.compress(array.array("h", data.tobytes())) == expected
    assert zelk.compress(data.tobytes(), dtype="<i2") == expected
    assert zelk.compress(data.tobytes(), dtype=np.dtype("<i2"), shape=(30000,)) == expected
    assert zelk.frame_info(zelk.compress(data.tobytes())).dtype is None
    assert len(expected) < data.nbytes / 2
    with pytest.raises(ValueError, match="not 'c16'"):
        zelk.compress(b"x" * 32, dtype="c16")
    with pytest.raises(ValueError, match="shape"):
        zelk.compress(b"x" * 32, shape=(4, 4))


def test_floats_come_back_bit_for_bit():
    special = [0.0, -0.0, math.inf, -math.inf, 5e-324, 1e308, -1.5, struct.unpack("<d", b"\x01\x00\xef\xbe\xad\xde\xf8\x7f")[0]]
    values = np.array(special * 500 + list(np.linspace(-3, 3, 4000)), dtype="<f8")
    for dtype in ("<f8", ">f8", "<f4"):
        with np.errstate(over="ignore"):  # 1e308 as float32 is an infinity
            data = values.astype(dtype)
        assert zelk.decompress(zelk.compress(data, 9)) == data.tobytes()


def test_streams_and_files_take_a_type():
    data = wave(50000, 2)
    compressor = zelk.ZelkCompressor(dtype="<i2", shape=(-1, 2))
    raw = data.tobytes()
    frame = compressor.compress(raw[:777]) + compressor.compress(raw[777:]) + compressor.flush()
    assert zelk.decompress(frame) == raw
    assert zelk.frame_info(frame).shape == (50000, 2)
    with zelk.open(io.BytesIO(), "wb", dtype="<i2", shape=(-1, 2)) as f:
        f.write(raw)


def test_typed_frames_hold_whole_frames_of_samples_per_block():
    data = wave(40000, 3)  # 6-byte frames of samples: blocks cut at multiples of 6
    frame = zelk.compress(data, block_size=10000)
    assert zelk.decompress(frame) == data.tobytes()
    assert zelk.frame_info(frame).blocks["sample"] == math.ceil(data.nbytes / 9996)


def test_the_highest_levels_find_samples_in_bytes_of_no_known_type():
    raw = wave(300_000, 2).tobytes()  # 16-bit stereo, given as plain bytes
    assert zelk.frame_info(zelk.compress(raw, 9)).blocks["sample"] >= 1
    default = zelk.compress(raw)
    assert zelk.frame_info(default).blocks["sample"] == 0 and default[4] == 2  # what version-2 readers read
    text = b"".join(b"line %d of some text\n" % i for i in range(40_000))
    assert zelk.frame_info(zelk.compress(text, 9)).blocks["sample"] == 0


def test_images_are_predicted_from_the_rows_above():
    rng = np.random.default_rng(3)
    texture = np.cumsum(rng.normal(0, 12, 300))  # rows alike, each rough along itself
    gray = (128 + (texture - texture.mean()) / 2 + np.arange(200)[:, None] / 5 + rng.normal(0, 1, (200, 300)))
    gray = gray.clip(0, 255).astype("|u1")
    offsets = [lambda: 10 + rng.integers(-2, 3, gray.shape), lambda: -15 + rng.integers(-2, 3, gray.shape)]
    rgb = np.stack([gray] + [np.clip(gray.astype(int) + o(), 0, 255).astype("|u1") for o in offsets], axis=-1)
    for image in (gray, rgb, np.ascontiguousarray(gray[:96, :48])):  # a tile as narrow as a table is coded as rows
        frame = zelk.compress(image)
        assert zelk.decompress(frame) == image.tobytes()
        assert zelk.frame_info(frame).shape == image.shape
        assert len(frame) * 5 < len(zelk.compress(image.reshape(-1))) * 4


def test_frames_of_sample_blocks_written_before_restore_as_they_were():
    # Level-3 frames written by an earlier version, each a sample block in
    # tables: a graphic's runs (matplotlib's logo, 64 rows), a photograph
    # (scikit-image's astronaut, 32x256), float32 with NaN gaps.
    data = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "data", "frames")
    for name, length, digest in (
            ("raster_runs", 138752, "06d8f1c5ea7444a32d3f76daf135b57435ea8775346d65ab9c9af990303b80d4"),
            ("photo", 24576, "efb4257e9ea863313c7124126f476c47ff4fab25b02b3ae5f8baf011d93778fe"),
            ("series_gaps", 120000, "c72ea963912595251d326e9ade320e23780c0df33a832618937696f0088b3fc0")):
        with open(os.path.join(data, name + ".zlk"), "rb") as stored:
            restored = zelk.decompress(stored.read())
        assert len(restored) == length and hashlib.sha256(restored).hexdigest() == digest, name
