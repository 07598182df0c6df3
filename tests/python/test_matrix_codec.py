"""zelk.matrix: the bound asked for holds on every shape, dtype and range,
the array comes back as it went in, and damaged blobs are refused."""
import math
import os
import struct
import subprocess
import sys
import warnings
import zlib

import pytest

np = pytest.importorskip("numpy")
import zelk  # noqa: E402
import zelk.matrix as zm  # noqa: E402
from zelk import _matrix_grid  # noqa: E402
from zelk._zelk import crc32c, matrix_band  # noqa: E402


def smooth(rows, cols, seed=1, scale=1.0):
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:rows, 0:cols]
    return scale * (np.sin(x / 17.0) * np.cos(y / 23.0) + 0.01 * rng.standard_normal((rows, cols)))


def header_end(blob):
    """Where a blob of the second format's header ends: its CRC-32C follows."""
    return next(n for n in range(8, len(blob) - 3) if struct.unpack_from("<I", blob, n)[0] == crc32c(blob[:n]))


def first_path(blob):
    return zm._parse(blob)[0]["bands"][0][0]


def errors(a, b):
    difference = np.asarray(b, np.float64) - np.asarray(a, np.float64)
    return float(np.abs(difference).max(initial=0.0)), math.sqrt(float(np.mean(np.square(difference)))) if difference.size else 0.0


def band_without(values, kind, target, *paths):
    """A band coded by the library without the paths given: its bytes and its path."""
    from zelk._zelk import matrix_encode_band
    allowed = 0xFF & ~sum(1 << p for p in paths)
    packed = matrix_encode_band(np.ascontiguousarray(values), values.shape, values.dtype == np.float32, kind == 3,
                                target, None, allowed)[0]
    return packed, packed[0]


def grid_header(dtype_code, kind, bound, max_error, rmse, value_range, corrections, step, units, shape):
    """A banded blob's header, laid out and sealed by the library."""
    from zelk._zelk import matrix_header
    return matrix_header(dtype_code, kind, bound, max_error, rmse, value_range, corrections, step, units, tuple(shape))


def lifted(values, levels, inverse=False):
    """The library's CDF 9/7 lifting of a 2-D array of integers."""
    from zelk._zelk import matrix_cdf97
    out = np.array(values, dtype=np.int64, order="C")
    matrix_cdf97(out, out.shape[0], out.shape[1], levels, inverse)
    return out


SHAPES = [(1, 1), (1, 7), (7, 1), (33, 65), (300, 257), (2, 3, 40), (50,), ()]
RANGES = [1.0, 255.0, 1e6, 1e-9]


@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_every_bound_holds_and_the_array_comes_back_as_it_went_in(shape, dtype):
    count = math.prod(shape)
    base = smooth(1, max(count, 1), seed=count).reshape(-1)[:count].reshape(shape)
    for scale in RANGES:
        array = (base * scale).astype(dtype)
        value_range = float(array.max() - array.min()) if count else 0.0
        for bound in ({"rmse": 1e-3 * scale}, {"max_error": 1e-3 * scale}, {"psnr": 60.0}):
            blob = zm.compress(array, **bound)
            back = zm.decompress(blob)
            assert back.shape == array.shape and back.dtype == array.dtype
            worst, rmse = errors(array, back)
            info = zm.info(blob)
            assert math.isclose(info.max_error, worst, rel_tol=1e-9, abs_tol=1e-300)
            assert math.isclose(info.rmse, rmse, rel_tol=1e-6, abs_tol=1e-300)
            if "rmse" in bound:
                assert rmse <= bound["rmse"]
            elif "max_error" in bound:
                assert worst <= bound["max_error"]
            else:
                assert rmse <= value_range / 10 ** (60 / 20)


def test_extreme_values_neither_wrap_nor_saturate():
    array = np.array([[1e300, -1e300, 5.0, 1e-300], [3.0, 32768.0, 65536.0, -40000.0]])
    for bound in ({"max_error": 1e-6}, {"rmse": 0.0}):
        assert np.array_equal(zm.decompress(zm.compress(array, **bound)), array)
    image = np.random.default_rng(3).integers(0, 256, (512, 512)).astype(np.float64)
    back = zm.decompress(zm.compress(image, psnr=50))
    assert errors(image, back)[1] <= 255 / 10 ** 2.5


def test_bounds_hold_beside_huge_errors_and_nothing_overflows_or_warns():
    # Next to errors near float32's largest, those of 1.0 vanish from a sum of
    # squares: the RMSE must still hold, and no value come back infinite.
    f32 = float(np.finfo(np.float32).max)
    extreme = np.array([[f32, -f32, 0.0, 1.0]] * 4, np.float32)
    assert errors(extreme, zm.decompress(zm.compress(extreme, rmse=1e-3)))[1] <= 1e-3
    wide = np.tile(np.array([[np.finfo(np.float64).max, -np.finfo(np.float64).max, 1.0, 2.0]]), (3, 1))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        back = zm.decompress(zm.compress(wide, threshold=1.0))
    assert np.isfinite(back).all() and zm.info(zm.compress(wide, threshold=1.0)).max_error < math.inf


def test_smooth_fields_are_predicted_from_restored_values():
    # Rounding each value onto the grid would leave about 20x here; predicting
    # from the values restored before it, only the prediction's error is rounded.
    y, x = np.mgrid[0:256, 0:256] / 256
    field = np.sin(6 * x) * np.cos(4 * y) + 0.5 * np.sin(15 * x * y)
    blob = zm.compress(field, rmse=1e-3)
    assert zm.info(blob).ratio > 150 and errors(field, zm.decompress(blob))[1] <= 1e-3
    volume = np.sin(np.arange(20 * 30 * 40).reshape(20, 30, 40) / 300.0).astype(np.float32)
    assert errors(volume, zm.decompress(zm.compress(volume, max_error=1e-4)))[0] <= 1e-4


def test_big_endian_arrays_are_converted():
    field = smooth(20, 30)
    for dtype in (">f4", ">f8"):
        given = field.astype(dtype)
        back = zm.decompress(zm.compress(given, max_error=1e-3))
        assert back.dtype == np.dtype(dtype).newbyteorder("=") and errors(given, back)[0] <= 1e-3


def test_smooth_fields_shrink_and_the_threshold_drops_coefficients():
    field = smooth(512, 512)
    blob = zm.compress(field, rmse=1e-3)
    assert zm.info(blob).ratio > 8
    assert zm.info(blob).corrections < field.size // 1000
    exact = zm.decompress(zm.compress(field, threshold=-1.0))
    assert errors(field, exact)[0] < 1e-5  # the fixed point's resolution over a tile of 256 x 256
    dropped = zm.compress(field, threshold=0.05)
    assert len(dropped) < len(zm.compress(field, threshold=-1.0)) / 4
    assert zm.info(dropped).bound == "threshold" and zm.info(dropped).step == 0


def test_bad_arrays_and_arguments_raise_as_python_does():
    with pytest.raises(ValueError, match="NaN"):
        zm.compress(np.array([1.0, np.nan]), rmse=0.1)
    with pytest.raises(ValueError):
        zm.compress(np.array([[np.inf]]), max_error=0.1)
    with pytest.raises(TypeError):
        zm.compress(np.arange(10), rmse=0.1)  # integers
    with pytest.raises(TypeError):
        zm.compress(np.ones(4), rmse=0.1, psnr=30)
    with pytest.raises(TypeError):
        zm.compress(np.ones(4))
    with pytest.raises(ValueError):
        zm.compress(np.ones(4), rmse=-1.0)


def test_damaged_and_foreign_blobs_raise_zelk_error():
    blob = zm.compress(smooth(40, 30), rmse=1e-3)
    for at in range(0, len(blob), max(1, len(blob) // 200)):
        damaged = bytearray(blob)
        damaged[at] ^= 0x04
        with pytest.raises(zelk.ZelkError):
            zm.decompress(bytes(damaged))
    newer = bytearray(blob)
    newer[4] = 6
    with pytest.raises(zelk.ZelkError, match="version 6, this library reads versions 1 to 5"):
        zm.decompress(bytes(newer))
    # A shape of 2^50 values, sealed with a good checksum, in either format:
    # refused before any allocation.
    first = bytearray(zm.compress(np.ones((4, 4)), threshold=0.1))
    struct.pack_into("<2Q", first, zm._HEADER.size, 1 << 24, 1 << 26)
    first[-4:] = struct.pack("<I", zlib.crc32(bytes(first[:-4])))
    ones = zm.compress(np.ones((4, 4)), rmse=0.1)
    end = header_end(ones)

    def second(shape, units=1, bands=ones[end + 4:], **fields):  # a header of the second format, and bands
        info = {"max_error": 0.0, "rmse": 0.0, "value_range": 0.0, **fields}
        return grid_header(2, 1, 0.1, info["max_error"], info["rmse"], info["value_range"], 0, 0.1, units,
                                   shape) + bands
    for huge in (first, second((1 << 24, 1 << 26))):
        with pytest.raises(zelk.ZelkError, match="cannot hold"):
            zm.decompress(bytes(huge))
    # And one band of 2^41 rows where a writer makes bands of about 2^20 values.
    with pytest.raises(zelk.ZelkError, match="more values than a writer makes"):
        zm.decompress(second((1 << 41, 4), 1 << 41))
    # An empty array whose other dimension no array has, in either format.
    empty = bytearray(zm.compress(np.ones((0, 4)), threshold=0.1))
    struct.pack_into("<Q", empty, zm._HEADER.size + 8, 1 << 62)
    empty[-4:] = struct.pack("<I", zlib.crc32(bytes(empty[:-4])))
    for blob_of_none in (empty, second((0, 1 << 62), bands=b"")):
        with pytest.raises(zelk.ZelkError, match="no array's"):
            zm.decompress(bytes(blob_of_none))
    # Achieved errors that no compressor states, sealed with a good checksum.
    with pytest.raises(zelk.ZelkError, match="negative or undefined"):
        zm.info(second((4, 4), 262144, max_error=-1.0))
    # A range so far below the RMSE its ratio is 0.
    assert zm.info(second((4, 4), 262144, max_error=1e300, rmse=1e300, value_range=1e-300)).psnr == -math.inf
    for foreign in (b"", b"\x89ZLM", blob[:-1], blob[:len(blob) // 2], zelk.compress(b"not a matrix")):
        with pytest.raises(zelk.ZelkError):
            zm.decompress(foreign)
    assert np.array_equal(zm.decompress(blob), zm.decompress(bytearray(blob)))


def test_bands_whose_numbers_do_not_fit_them_raise_zelk_error():
    # Sealed descriptors and whole frames, but numbers that no band of theirs holds.
    def blob(path, shape, values, corrections=b"", count=0):
        return (grid_header(2, 3, 0.25, 0.25, 0.1, 1.0, count, 0.5, shape[0], shape) +
                matrix_band(path, 0.5, count, values, corrections))

    def numbers(*values):
        return zelk.compress(np.array(values, "<i8"))
    levelled, grid = _matrix_grid.LEVELLED, _matrix_grid.GRID
    head = struct.pack("<BQ", 1, 1 << 16)
    huge = np.zeros(32 * 32, "<i8")
    huge[1000] = 1 << 60
    for damaged, what in ((blob(levelled, (4, 8), numbers(1, 40, 7, 7)), "a number lies outside its band"),
                          (blob(levelled, (4, 8), numbers(0, 7)), "a number lies outside its band"),
                          (blob(levelled, (4, 8), numbers(1, 2, 3)), "a part of a number"),
                          (blob(grid, (4, 8), numbers(*[0] * 32), zelk.compress(struct.pack("<Qd", 32, 1.0)), 1),
                           "a correction lies outside its band"),
                          (blob(_matrix_grid.WAVELET_LINE, (32, 32), head + struct.pack("<I", crc32c(head)) +
                                zelk.compress(huge)), "too large for any band")):
        for threads in (1, 2):
            with pytest.raises(zelk.ZelkError, match=what):
                zm.decompress(damaged, threads=threads)


def test_bands_of_rows_keep_every_bound_and_code_alike_on_several_threads():
    field = smooth(7040, 300)  # bands of about 2^20 values: 3 in either format
    assert len(zm._parse(zm.compress(field, rmse=1e-3))[0]["bands"]) == 3
    for bound in ({"rmse": 1e-3}, {"max_error": 1e-3}, {"psnr": 50.0}, {"threshold": 0.01}):
        blob = zm.compress(field, **bound)
        restored = zm.decompress(blob)
        worst, rmse = errors(field, restored)
        assert math.isclose(zm.info(blob).rmse, rmse, rel_tol=1e-6) and zm.info(blob).max_error == worst
        assert rmse <= bound.get("rmse", math.inf) and worst <= bound.get("max_error", math.inf)
        assert zm.compress(field, threads=3, **bound) == blob
        assert np.array_equal(zm.decompress(blob, threads=0), restored)
    for threads in (-1, 1 << 20):
        with pytest.raises(ValueError, match="threads"):
            zm.compress(field, rmse=1e-3, threads=threads)
        with pytest.raises(ValueError, match="threads"):
            zm.decompress(blob, threads=threads)
    damaged = bytearray(zm.compress(field, rmse=1e-3))
    damaged[-5] ^= 1
    with pytest.raises(zelk.ZelkError):
        zm.decompress(bytes(damaged))


MEMORY = """
import sys, numpy as np, zelk.matrix as zm
def status(key):
    return next(int(line.split()[1]) >> 10 for line in open("/proc/self/status") if line.startswith(key))
field = np.random.default_rng(1).standard_normal(SHAPE).cumsum(axis=-1).astype(DTYPE) / 100
open("/proc/self/clear_refs", "w").write("5")  # the peak starts again from here
base = status("VmRSS")
zm.compress(field, rmse=1e-3)
print(status("VmHWM") - base)
"""


@pytest.mark.parametrize("shape, dtype", [((4000, 4000), "float64"), ((1, 1 << 24), "float32")])
def test_a_large_or_wide_matrix_is_compressed_in_bounded_memory(shape, dtype):
    if not os.path.exists("/proc/self/clear_refs"):
        pytest.skip("no /proc/self/clear_refs to reset the peak")
    script = MEMORY.replace("SHAPE", repr(shape)).replace("DTYPE", repr(dtype))
    rise = int(subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout)
    assert rise < 80, f"{rise} MiB beyond the input"  # a band of 2^20 values at a time


def test_the_wavelet_lifts_as_its_definition_at_every_shape():
    import wavelet_reference
    rng = np.random.default_rng(4)
    for shape, levels in (((131, 97), 3), ((64, 64), 4), ((33, 17), 2), ((2, 2), 1), ((3, 5), 2), ((1, 50), 1),
                          ((50, 1), 2)):
        values = rng.integers(-10**12, 10**12, shape)
        coefficients = lifted(values, levels)
        assert np.array_equal(coefficients, wavelet_reference.forward(values, levels)), shape
        assert np.array_equal(lifted(coefficients, levels, True), values), shape
        quantised = coefficients // 1000 * 1000  # not a forward transform's: the inverse's own rounding shows
        assert np.array_equal(lifted(quantised, levels, True), wavelet_reference.inverse(quantised, levels))


def restored_by_feedback(quotients, step, positions, exact, dtype, predictor, levelled=False):
    """The library's restoring of quotients predicted with error feedback, as the decoder's bands take it."""
    from zelk._zelk import matrix_feedback_restore
    restored = np.empty(quotients.shape, np.float64)
    matrix_feedback_restore(np.ascontiguousarray(quotients, np.int64), quotients.shape, step, predictor, levelled,
                            dtype == np.float32, np.ascontiguousarray(positions, np.int64),
                            np.ascontiguousarray(exact, np.float64), restored)
    return restored.astype(dtype, copy=False)


INTERPOLATION, LORENZO, EDGE_FITTED = 0, 1, 2  # the library's predictors with error feedback


def predicted_by_feedback(given, step, bound, predictor, levelled=False):
    """The library's quotients, positions taken exactly and errors of values predicted with error feedback."""
    from zelk._zelk import matrix_feedback
    quotients, errors = np.empty(given.shape, np.int64), np.empty(given.size, np.float64)
    positions = matrix_feedback(np.ascontiguousarray(given, np.float64), given.shape, step, bound, predictor, levelled,
                                given.dtype == np.float32, quotients, errors)
    return quotients, np.frombuffer(positions, np.int64), errors


def test_error_feedback_predicts_and_restores_as_its_definition_at_every_shape():
    import feedback_reference as reference
    from zelk._zelk import matrix_visit_order
    rng = np.random.default_rng(6)
    for shape in ((1,), (9,), (1000,), (5, 1), (33, 65), (64, 64), (2, 9, 1), (17, 3, 40)):
        values = np.sin(np.arange(math.prod(shape)) / 7.0).reshape(shape) + 1e-3 * rng.standard_normal(shape)
        flat = values.reshape(-1)
        flat[rng.integers(0, flat.size, 3)] = [np.nan, -np.inf, 1e300]  # each taken exactly
        flat[0] = -0.0
        for dtype in (np.float64, np.float32):
            with np.errstate(over="ignore"):
                given = values.astype(dtype)
            ways = [(predictor, levelled,
                     lambda g, step, bound, levelled=levelled, fitted=predictor == EDGE_FITTED:
                     reference.encode(g, step, bound, levelled, fitted),
                     lambda q, step, p, e, d, levelled=levelled, fitted=predictor == EDGE_FITTED:
                     reference.decode(q, step, p, e, d, levelled, fitted))
                    for levelled in (False, True) for predictor in (INTERPOLATION, EDGE_FITTED)]
            if given.size <= 3000:  # the reference takes Lorenzo's values one at a time
                ways.append((LORENZO, False, reference.lorenzo_encode, reference.lorenzo_decode))
            for predictor, levelled, encode, decode in ways:
                for bound in (None, 2e-3):
                    with np.errstate(invalid="ignore"):
                        expected = encode(given, 3e-3, bound)
                    quotients, positions, errors = predicted_by_feedback(given, 3e-3, bound, predictor, levelled)
                    assert np.array_equal(quotients, expected[0]) and np.array_equal(positions, expected[1]), shape
                    assert errors.tobytes() == expected[2].tobytes(), shape
                    exact = given.reshape(-1)[positions].astype(np.float64)
                    damaged = quotients + rng.integers(-2, 3, shape) * (1 << 60) * (rng.random(shape) < 0.01)
                    for coded in (quotients, damaged):
                        with np.errstate(all="ignore"):
                            restored = restored_by_feedback(coded, 3e-3, positions, exact, np.dtype(dtype),
                                                            predictor, levelled)
                            assert restored.tobytes() == decode(coded, 3e-3, positions, exact,
                                                                np.dtype(dtype)).tobytes(), (shape, predictor)
            line = np.empty(quotients.size, np.int64)
            matrix_visit_order(quotients, shape, line, False)
            assert np.array_equal(line, reference.visit_order(quotients))
            back = np.empty(shape, np.int64)
            matrix_visit_order(line, shape, back, True)
            assert np.array_equal(back, quotients)
    for shape in ((0,), (3, 0), (0, 4, 5)):  # nothing to predict, nothing written past an empty band
        for predictor in (INTERPOLATION, LORENZO, EDGE_FITTED):
            quotients, positions, _ = predicted_by_feedback(np.zeros(shape), 1e-3, None, predictor)
            assert restored_by_feedback(quotients, 1e-3, positions, np.zeros(0), np.dtype(np.float64),
                                        predictor).shape == shape


def test_the_grid_rounds_and_restores_as_its_definition():
    from zelk._zelk import matrix_grid, matrix_grid_restore
    rng = np.random.default_rng(10)
    for dtype in (np.float64, np.float32):
        given = (rng.standard_normal(5000) * 10.0 ** rng.integers(-3, 4, 5000)).astype(dtype)
        step = 2.0 ** -8
        given[:3] = [-0.0, 1.5 * step, -2.5 * step]  # halves of the step round to even
        values = given.astype(np.float64)
        quotients, errors = np.empty(given.size, np.int64), np.empty(given.size)
        assert matrix_grid(values, step, dtype == np.float32, quotients, errors)
        expected = np.rint(values / step)
        restored = (expected.astype(np.int64) * step).astype(dtype)
        assert np.array_equal(quotients, expected) and quotients[1] == 2 and quotients[2] == -2
        assert errors.tobytes() == np.abs(restored.astype(np.float64) - values).tobytes()
        back = np.empty(given.size)
        matrix_grid_restore(quotients, step, dtype == np.float32, back)
        assert back.astype(dtype).tobytes() == restored.tobytes()
        for bad in (np.nan, np.inf, 2.0 ** 62 * step):
            values[7] = bad
            assert not matrix_grid(values, step, dtype == np.float32, quotients, errors)


def test_a_steps_quotients_and_errors_are_those_the_decoder_restores():
    import wavelet_reference
    from zelk._zelk import matrix_wavelet_quantise, matrix_wavelet_restore
    y, x = np.mgrid[0:67, 0:90] / 67
    for dtype in (np.float64, np.float32):
        given = (np.sin(5 * x) * np.cos(3 * y) + 1e-3 * np.random.default_rng(8).standard_normal(x.shape)).astype(dtype)
        values, grid, levels = given.astype(np.float64), 1e-5, 2  # 67 x 90 lifts twice: the coarsest 16 wide
        coefficients = lifted(np.rint(values / grid).astype(np.int64), levels)
        places = wavelet_reference.subbands(given.shape, levels)
        factors = wavelet_reference.multipliers(given.shape, levels, 300 << 16)
        table = np.array([(rows.start, rows.stop, cols.start, cols.stop, factor)
                          for ((rows, cols), *_), factor in zip(places, factors)], np.int64)
        quotients, errors = np.empty_like(coefficients), np.empty(given.size)
        matrix_wavelet_quantise(coefficients, table, *given.shape, quotients)
        matrix_wavelet_restore(quotients, table, *given.shape, levels, grid, dtype == np.float32, errors, values)
        expected, dequantised = np.empty_like(coefficients), np.empty_like(coefficients)
        for (place, *_), factor in zip(places, factors):
            expected[place] = np.rint(coefficients[place] / factor)
            dequantised[place] = quotients[place] * factor
        assert np.array_equal(quotients, expected)
        restored = (wavelet_reference.inverse(dequantised, levels) * grid).astype(dtype)
        back = np.empty(given.shape)
        matrix_wavelet_restore(quotients, table, *given.shape, levels, grid, dtype == np.float32, back)
        assert np.array_equal(back.astype(dtype), restored)
        assert np.array_equal(errors, np.abs(restored.astype(np.float64) - values).reshape(-1))
        assert 0 < errors.max() < 1


def test_rough_volumes_take_lorenzo_where_it_codes_them_smallest():
    rng = np.random.default_rng(9)
    volume = np.cumsum(rng.standard_normal((30, 40, 50)), 0) + np.cumsum(rng.standard_normal((30, 40, 50)), 2)
    bound = 1e-2 * float(volume.max() - volume.min())
    blob = zm.compress(volume, max_error=bound)
    assert first_path(blob) == _matrix_grid.LORENZO
    assert errors(volume, zm.decompress(blob))[0] <= bound
    assert len(band_without(volume, 3, bound, _matrix_grid.LORENZO)[0]) > 1.15 * len(band_without(volume, 3, bound)[0])


def test_the_step_estimate_sums_as_numpy_does():
    # The estimate picks the steps tried, so it must not move with the way it is summed.
    from zelk._zelk import matrix_wavelet_estimate
    rng = np.random.default_rng(11)
    for sizes in ((1,), (5, 3), (7, 130, 1000), (64, 4096, 65536, 3)):
        sample = rng.standard_normal(sum(sizes)) * 10.0 ** rng.integers(0, 9, sum(sizes))
        factors, weights = rng.integers(1, 5000, len(sizes)).astype(np.float64), rng.random(len(sizes)) * 50
        f, w = np.repeat(factors, sizes), np.repeat(weights, sizes)
        expected = np.sum(np.square(sample - np.rint(sample / f) * f) * w)
        assert matrix_wavelet_estimate(sample, np.array(sizes, np.int64), factors, weights) == expected, sizes


def test_error_figures_are_numpys_to_the_last_bit():
    # Bounds are judged on them: they must not move with the way they are summed.
    from zelk._zelk import matrix_error_figures
    rng = np.random.default_rng(12)
    for n in (0, 1, 7, 129, 70001):
        errors = np.abs(rng.standard_normal(n)) * 10.0 ** rng.integers(-5, 5, n)
        largest = errors.max(initial=0.0)
        expected = np.sum(np.square(errors / largest)) if largest > 0 else 0.0
        assert matrix_error_figures(errors) == (largest, expected), n
    assert math.isnan(matrix_error_figures(np.array([1.0, np.inf]))[1])
    for at in (3, 17):  # a NaN among the first 16 or after them
        errors = np.ones(19)
        errors[at] = np.nan
        assert math.isnan(matrix_error_figures(errors)[0]), at


def test_smooth_fields_take_a_wavelet_or_levelled_steps_that_keep_every_bound():
    values = np.random.default_rng(3).integers(-10**9, 10**9, (67, 45))
    assert np.array_equal(lifted(lifted(values, 3), 3, True), values)  # exact integers
    y, x = np.mgrid[0:300, 0:257] / 300
    field = np.sin(6 * x) * np.cos(4 * y) + 0.5 * np.sin(15 * x * y)
    for dtype, bound, path in ((np.float64, {"rmse": 1e-3}, _matrix_grid.WAVELET),
                               (np.float32, {"max_error": 1e-4}, _matrix_grid.LEVELLED)):
        given = field.astype(dtype)
        blob = zm.compress(given, **bound)
        assert first_path(blob) == path
        band = zm._parse(blob)[0]["bands"][0]
        assert band[2] == 0 and band[6] == band[7]  # no frame for no corrections
        restored = zm.decompress(blob)
        assert restored.dtype == dtype
        largest, rmse = errors(given, restored)
        assert (rmse if "rmse" in bound else largest) <= next(iter(bound.values()))
        kind, target = (1, bound["rmse"]) if "rmse" in bound else (3, bound["max_error"])
        plain = band_without(given, kind, target, _matrix_grid.WAVELET, _matrix_grid.LEVELLED)[0]
        assert len(plain) > 1.15 * len(band_without(given, kind, target)[0])
        for at in range(0, len(blob), 7):  # damage is refused, or changes nothing that is restored
            damaged = bytearray(blob)
            damaged[at] ^= 0x10
            try:
                assert np.array_equal(zm.decompress(bytes(damaged)), restored)
            except zelk.ZelkError:
                pass


def test_quotients_are_stored_whole_where_few_of_them_are_zero():
    y, x = np.mgrid[0:300, 0:257] / 300
    field = (np.sin(6 * x) * np.cos(4 * y)).astype(np.float32)
    noisy = field + np.random.default_rng(4).standard_normal(field.shape).astype(np.float32)
    # Levelled alone: the smooth field's quotients, mostly zero, as gaps; the noisy field's whole.
    others = [p for p in range(8) if p != _matrix_grid.LEVELLED]
    for values, path in ((field, _matrix_grid.LEVELLED), (noisy, _matrix_grid.LEVELLED_LINE)):
        packed, taken = band_without(values, 3, 1e-3, *others)
        assert taken == path
        blob = grid_header(1, 3, 1e-3, 1e-3, 0.0, 1.0, 0, 2e-3, 300, values.shape) + packed
        assert errors(values, zm.decompress(blob))[0] <= 1e-3
    # So are a wavelet's detail quotients, where noise leaves few of them zero.
    y, x = np.mgrid[0:257, 0:257] / 257
    noisy = np.sin(6 * x) * np.cos(4 * y) + 1e-4 * np.random.default_rng(0).standard_normal(x.shape)
    for values, bound, path in ((field.astype(np.float64), 1e-3, _matrix_grid.WAVELET),
                                (noisy, 2e-5, _matrix_grid.WAVELET_LINE)):
        blob = zm.compress(values, rmse=bound)
        assert first_path(blob) == path
        assert errors(values, zm.decompress(blob))[1] <= bound


def test_blobs_of_earlier_versions_restore_as_they_were_written():
    # Version 2: written before interpolation was fitted to the edges;
    # version 4: with counts and lengths of eight bytes each; by the library of then.
    data = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "data", "matrix")
    for name, version, path in (("version2_levelled", 2, _matrix_grid.LEVELLED),
                                ("version4_wavelet", 4, _matrix_grid.WAVELET)):
        with open(os.path.join(data, name + ".zlm"), "rb") as stored:
            blob = stored.read()
        assert blob[4] == version and first_path(blob) == path
        assert np.array_equal(zm.decompress(blob), np.load(os.path.join(data, name + ".npy")))


def test_the_library_refuses_arrays_their_shapes_do_not_describe():
    from zelk._zelk import matrix_compress, matrix_encode_band
    eight = np.zeros(1).tobytes()
    for shape in ((3, 0xAAAAAAAAAAAAAAAB), (1 << 47, 4), (3, 4), (0,)):  # products wrapping to 1, past 2^48, not 1
        with pytest.raises(ValueError):
            matrix_compress(eight, shape, False, 1, 0.1, None, 1)
        with pytest.raises(ValueError):
            matrix_encode_band(eight, shape, False, False, 0.1, None)
    with pytest.raises(ValueError, match="NaN"):
        matrix_compress(np.array([1.0, np.nan]), (2,), False, 3, 0.1, None, 1)



def test_a_close_call_on_the_slab_goes_to_the_path_that_codes_the_band_smaller():
    # A field of falling spectrum, as photographs have: the fastest level's
    # trials put the levelled path first and interpolation close behind;
    # at the band's level interpolation codes it 1% smaller.
    shape = (160, 170)
    noise = np.random.default_rng(3).standard_normal(shape)
    falloff = (1 + np.add.outer(np.fft.fftfreq(shape[0]) ** 2, np.fft.rfftfreq(shape[1]) ** 2) * 4000) ** 0.6
    field = np.fft.irfft2(np.fft.rfft2(noise) / falloff, s=shape)
    bound = 1e-3 * float(field.max() - field.min())
    band, path = band_without(field, 2, bound)
    assert path == _matrix_grid.INTERPOLATED
    assert len(band_without(field, 2, bound, _matrix_grid.INTERPOLATED)[0]) > 1.005 * len(band)
