// The matrix codec's transform for zelk.matrix: forward, quantize and
// inverse over buffers the caller allocates (numpy arrays), so that nothing
// large is copied, with the interpreter lock released. Sizes are checked
// against the shape: a buffer of the wrong size is a ValueError.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "binding/ref.h"
#include "frame/block_codec.h"
#include "frame/crc32c.h"
#include "matrix/cdf97_lifting.h"
#include "matrix/error_feedback.h"
#include "matrix/error_figures.h"
#include "matrix/grid_rounding.h"
#include "matrix/wavelet_quantise.h"
#include "matrix/wavelet_tiles.h"
#include "matrix_blob/band_encoder.h"
#include "matrix_blob/matrix_blob.h"
#include "matrix_blob/matrix_blob_writer.h"
#include "matrix_blob/matrix_decoder.h"
#include "matrix_blob/matrix_encoder.h"
#include "native_call.h"
#include "matrix_functions.h"

namespace zelk::python {
namespace {

template <typename T>
std::span<T> typed(const HeldBuffer& buffer, std::size_t count, const char* name) {
    const ByteView bytes = buffer.bytes();
    if (bytes.size() != count * sizeof(T)) {
        throw std::invalid_argument(std::string(name) + " holds " + std::to_string(bytes.size()) + " bytes, not " +
                                    std::to_string(count * sizeof(T)));
    }
    return {reinterpret_cast<T*>(const_cast<uint8_t*>(bytes.data())), count};
}

TileGrid grid_of(unsigned long long rows, unsigned long long cols, unsigned int tile) {
    // Damaged headers may claim anything: a matrix past 2^48 values is refused before any allocation.
    constexpr unsigned long long limit = 1ull << 48;
    if (rows > limit || cols > limit || (cols != 0 && rows > limit / cols)) {
        throw std::invalid_argument("a matrix of " + std::to_string(rows) + " x " + std::to_string(cols) +
                                    " values is too large");
    }
    if (tile < 2) throw std::invalid_argument("the tile side must be at least 2");
    return TileGrid{rows, cols, tile};
}

std::vector<TileScale> scales_of(const HeldBuffer& offsets, const HeldBuffer& exponents, const TileGrid& grid) {
    const std::size_t tiles = grid.tile_rows() * grid.tile_cols();
    const auto offset = typed<const double>(offsets, tiles, "offsets");
    const auto exponent = typed<const std::int32_t>(exponents, tiles, "exponents");
    std::vector<TileScale> scales(tiles);
    for (std::size_t i = 0; i < tiles; ++i) scales[i] = {offset[i], exponent[i]};
    return scales;
}

PyObject* matrix_coefficient_count(PyObject*, PyObject* args) {
    unsigned long long rows = 0, cols = 0;
    unsigned int tile = 0;
    if (!PyArg_ParseTuple(args, "KKI:matrix_coefficient_count", &rows, &cols, &tile)) return nullptr;
    std::uint64_t count = 0;
    const auto failure = without_lock([&] { count = grid_of(rows, cols, tile).coefficient_count(); });
    return failure ? raise(*failure) : PyLong_FromUnsignedLongLong(count);
}

PyObject* matrix_forward(PyObject*, PyObject* args) {
    HeldBuffer data, coefficients, offsets, exponents;
    unsigned long long rows = 0, cols = 0;
    unsigned int tile = 0;
    if (!PyArg_ParseTuple(args, "y*KKIw*w*w*:matrix_forward", data.out(), &rows, &cols, &tile, coefficients.out(),
                          offsets.out(), exponents.out())) {
        return nullptr;
    }
    const auto failure = without_lock([&] {
        const TileGrid grid = grid_of(rows, cols, tile);
        const auto values = typed<const double>(data, grid.rows * grid.cols, "data");
        const auto scales = forward_tiles(values, grid, typed<std::int32_t>(coefficients, grid.coefficient_count(), "coefficients"));
        const std::size_t tiles = scales.size();
        const auto offset = typed<double>(offsets, tiles, "offsets");
        const auto exponent = typed<std::int32_t>(exponents, tiles, "exponents");
        for (std::size_t i = 0; i < tiles; ++i) {
            offset[i] = scales[i].offset;
            exponent[i] = scales[i].exponent;
        }
    });
    if (failure) return raise(*failure);
    Py_RETURN_NONE;
}

PyObject* matrix_threshold(PyObject*, PyObject* args) {
    HeldBuffer coefficients, offsets, exponents, kept;
    unsigned long long rows = 0, cols = 0;
    unsigned int tile = 0;
    double threshold = 0;
    if (!PyArg_ParseTuple(args, "y*y*y*KKIdw*:matrix_threshold", coefficients.out(), offsets.out(), exponents.out(),
                          &rows, &cols, &tile, &threshold, kept.out())) {
        return nullptr;
    }
    const auto failure = without_lock([&] {
        const TileGrid grid = grid_of(rows, cols, tile);
        const std::size_t count = grid.coefficient_count();
        threshold_tiles(typed<const std::int32_t>(coefficients, count, "coefficients"), grid,
                        scales_of(offsets, exponents, grid), threshold, typed<std::int32_t>(kept, count, "kept"));
    });
    if (failure) return raise(*failure);
    Py_RETURN_NONE;
}

PyObject* matrix_inverse(PyObject*, PyObject* args) {
    HeldBuffer quantized, offsets, exponents, out;
    unsigned long long rows = 0, cols = 0;
    unsigned int tile = 0;
    double step = 0;
    if (!PyArg_ParseTuple(args, "y*y*y*KKIdw*:matrix_inverse", quantized.out(), offsets.out(), exponents.out(), &rows,
                          &cols, &tile, &step, out.out())) {
        return nullptr;
    }
    const auto failure = without_lock([&] {
        const TileGrid grid = grid_of(rows, cols, tile);
        inverse_tiles(typed<const std::int32_t>(quantized, grid.coefficient_count(), "quantized"), grid,
                      scales_of(offsets, exponents, grid), step, typed<double>(out, grid.rows * grid.cols, "out"));
    });
    if (failure) return raise(*failure);
    Py_RETURN_NONE;
}

// The wavelet path's CDF 9/7 lifting over a writable buffer of rows x cols
// int64 values, in place: forward, or its inverse.
PyObject* matrix_cdf97(PyObject*, PyObject* args) {
    HeldBuffer values;
    unsigned long long rows = 0, cols = 0;
    unsigned int levels = 0;
    int inverse = 0;
    if (!PyArg_ParseTuple(args, "w*KKIp:matrix_cdf97", values.out(), &rows, &cols, &levels, &inverse)) return nullptr;
    const auto failure = without_lock([&] {
        if (cols != 0 && rows > values.bytes().size() / sizeof(std::int64_t) / cols) {
            throw std::invalid_argument("a wavelet over more values than its buffer holds");
        }
        if (levels > 64) throw std::invalid_argument("a wavelet of more than 64 levels");
        const auto span = typed<std::int64_t>(values, rows * cols, "values");
        if (inverse) cdf97_inverse(span, rows, cols, levels);
        else cdf97_forward(span, rows, cols, levels);
    });
    if (failure) return raise(*failure);
    Py_RETURN_NONE;
}

// The subbands of an int64 buffer of rows (top, bottom, left, right,
// multiplier).
std::vector<WaveletSubband> subbands_of(const HeldBuffer& buffer) {
    const ByteView bytes = buffer.bytes();
    if (bytes.size() % (5 * sizeof(std::int64_t)) != 0) throw std::invalid_argument("subbands of 5 int64 each");
    const auto fields = typed<const std::int64_t>(buffer, bytes.size() / sizeof(std::int64_t), "subbands");
    std::vector<WaveletSubband> out;
    for (size_t at = 0; at < fields.size(); at += 5) {
        if (std::any_of(&fields[at], &fields[at + 4], [](std::int64_t v) { return v < 0; })) {
            throw std::invalid_argument("a subband with a negative edge");
        }
        out.push_back({static_cast<size_t>(fields[at]), static_cast<size_t>(fields[at + 1]),
                       static_cast<size_t>(fields[at + 2]), static_cast<size_t>(fields[at + 3]), fields[at + 4]});
    }
    return out;
}

// rows * cols, refused where it overflows.
size_t matrix_size(unsigned long long rows, unsigned long long cols) {
    if (cols != 0 && rows > std::numeric_limits<size_t>::max() / sizeof(double) / cols) {
        throw std::invalid_argument("a matrix too large for any buffer");
    }
    return static_cast<size_t>(rows * cols);
}

PyObject* matrix_wavelet_quantise(PyObject*, PyObject* args) {
    HeldBuffer coefficients, subbands, quotients;
    unsigned long long rows = 0, cols = 0;
    if (!PyArg_ParseTuple(args, "y*y*KKw*:matrix_wavelet_quantise", coefficients.out(), subbands.out(), &rows, &cols,
                          quotients.out())) {
        return nullptr;
    }
    const auto failure = without_lock([&] {
        const size_t size = matrix_size(rows, cols);
        quantise_subbands(typed<const std::int64_t>(coefficients, size, "coefficients"), rows, cols,
                          subbands_of(subbands), typed<std::int64_t>(quotients, size, "quotients"));
    });
    if (failure) return raise(*failure);
    Py_RETURN_NONE;
}

// The values quotients restore to (`values` absent), or each value's error
// once restored (into `out`, against `values`).
PyObject* matrix_wavelet_restore(PyObject*, PyObject* args) {
    HeldBuffer quotients, subbands, out;
    unsigned long long rows = 0, cols = 0;
    unsigned int levels = 0;
    double grid = 0;
    int as_float32 = 0;
    PyObject* values_object = Py_None;
    if (!PyArg_ParseTuple(args, "y*y*KKIdpw*|O:matrix_wavelet_restore", quotients.out(), subbands.out(), &rows,
                          &cols, &levels, &grid, &as_float32, out.out(), &values_object)) {
        return nullptr;
    }
    HeldBuffer values;
    if (values_object != Py_None && !values.hold(values_object)) return nullptr;
    const bool errors = values_object != Py_None;
    const auto failure = without_lock([&] {
        const size_t size = matrix_size(rows, cols);
        if (levels > 64) throw std::invalid_argument("a wavelet of more than 64 levels");
        const auto held = typed<const std::int64_t>(quotients, size, "quotients");
        const auto target = typed<double>(out, size, "out");
        std::vector<std::int64_t> room(size);
        if (errors) {
            restored_errors(held, rows, cols, levels, subbands_of(subbands), grid, as_float32 != 0,
                            typed<const double>(values, size, "values"), target, room);
        } else {
            restore_subbands(held, rows, cols, levels, subbands_of(subbands), grid, as_float32 != 0, target, room);
        }
    });
    if (failure) return raise(*failure);
    Py_RETURN_NONE;
}

// A shape given as a tuple of one to three sizes; false with the error set.
bool shape_of(PyObject* tuple, std::vector<size_t>& shape) {
    const Py_ssize_t rank = PyTuple_Size(tuple);
    for (Py_ssize_t i = 0; i < rank; ++i) {
        const size_t n = PyLong_AsSize_t(PyTuple_GetItem(tuple, i));
        if (n == static_cast<size_t>(-1) && PyErr_Occurred()) return false;
        shape.push_back(n);
    }
    return true;
}

// A float32 or float64 array (its elements in the host's order, and its
// shape) as a banded blob within a bound: kind 1 an RMSE, 2 a PSNR, 3 a
// largest error; the frames' level or None; threads as the frames take them.
PyObject* matrix_compress(PyObject*, PyObject* args) {
    HeldBuffer elements;
    PyObject *shape_tuple = nullptr, *level_object = nullptr, *threads_object = nullptr;
    int as_float32 = 0, kind = 0;
    double bound = 0;
    if (!PyArg_ParseTuple(args, "y*O!pidOO:matrix_compress", elements.out(), &PyTuple_Type, &shape_tuple, &as_float32,
                          &kind, &bound, &level_object, &threads_object)) {
        return nullptr;
    }
    std::vector<size_t> shape;
    std::optional<int64_t> level, threads;
    if (!shape_of(shape_tuple, shape) || !int_argument(level_object, "level", true, level) ||
        !int_argument(threads_object, "threads", false, threads)) {
        return nullptr;
    }
    if (kind < 1 || kind > 3) {
        PyErr_SetString(PyExc_ValueError, "the bound is 1 (an RMSE), 2 (a PSNR) or 3 (a largest error)");
        return nullptr;
    }
    Bytes blob;
    const auto failure = without_lock([&] {
        blob = encode_banded_matrix(elements.bytes(), {{shape.begin(), shape.end()}, as_float32 != 0,
                                                       static_cast<uint8_t>(kind), bound, level, *threads});
    });
    return failure ? raise(*failure) : to_bytes(blob);
}

// One band of a banded blob within its bound: the band's float32 or
// float64 elements in the host's order and its shape; the bound on the
// largest error or else the RMSE; the frames' level or None; optionally
// the paths it may take (bit p for path p). Returns (packed, step, largest
// error, sum of squares in its units, corrections).
PyObject* matrix_encode_band(PyObject*, PyObject* args) {
    HeldBuffer elements;
    PyObject *shape_tuple = nullptr, *level_object = nullptr;
    int as_float32 = 0, largest_error = 0;
    double bound = 0;
    unsigned int paths = ALL_MATRIX_PATHS;
    if (!PyArg_ParseTuple(args, "y*O!ppdO|I:matrix_encode_band", elements.out(), &PyTuple_Type, &shape_tuple,
                          &as_float32, &largest_error, &bound, &level_object, &paths)) {
        return nullptr;
    }
    std::vector<size_t> shape;
    std::optional<int64_t> level;
    if (!shape_of(shape_tuple, shape) || !int_argument(level_object, "level", true, level)) return nullptr;
    EncodedMatrixBand band;
    const auto failure = without_lock([&] {
        band = encode_matrix_band(elements.bytes(), {shape, as_float32 != 0, largest_error != 0, bound, level, paths});
    });
    if (failure) return raise(*failure);
    return Py_BuildValue("(y#dddK)", reinterpret_cast<const char*>(band.packed.data()),
                         static_cast<Py_ssize_t>(band.packed.size()), band.step, band.largest, band.squares,
                         static_cast<unsigned long long>(band.corrections));
}

// The wavelet search's estimate: the weighted squared error of rounding a
// sample of coefficients (float64), in parts of int64 counts, each with a
// float64 multiplier and weight.
PyObject* matrix_wavelet_estimate(PyObject*, PyObject* args) {
    HeldBuffer sample, counts, multipliers, weights;
    if (!PyArg_ParseTuple(args, "y*y*y*y*:matrix_wavelet_estimate", sample.out(), counts.out(), multipliers.out(),
                          weights.out())) {
        return nullptr;
    }
    double sum = 0;
    const auto failure = without_lock([&] {
        const size_t parts = counts.bytes().size() / sizeof(std::int64_t);
        sum = estimated_squared_error(typed<const double>(sample, sample.bytes().size() / sizeof(double), "sample"),
                                      typed<const std::int64_t>(counts, parts, "counts"),
                                      typed<const double>(multipliers, parts, "multipliers"),
                                      typed<const double>(weights, parts, "weights"));
    });
    return failure ? raise(*failure) : PyFloat_FromDouble(sum);
}

// The grid path's quotients and errors of float64 values into the buffers
// given; False where a value is not finite or its quotient reaches 2^62.
PyObject* matrix_grid(PyObject*, PyObject* args) {
    HeldBuffer values, quotients, errors;
    double step = 0;
    int as_float32 = 0;
    if (!PyArg_ParseTuple(args, "y*dpw*w*:matrix_grid", values.out(), &step, &as_float32, quotients.out(),
                          errors.out())) {
        return nullptr;
    }
    bool fits = false;
    const auto failure = without_lock([&] {
        const size_t count = values.bytes().size() / sizeof(double);
        fits = grid_encode(typed<const double>(values, count, "values"), step, as_float32 != 0,
                           typed<std::int64_t>(quotients, count, "quotients"), typed<double>(errors, count, "errors"));
    });
    if (failure) return raise(*failure);
    return PyBool_FromLong(fits);
}

// The float64 values int64 quotients restore to, into `out`.
PyObject* matrix_grid_restore(PyObject*, PyObject* args) {
    HeldBuffer quotients, out;
    double step = 0;
    int as_float32 = 0;
    if (!PyArg_ParseTuple(args, "y*dpw*:matrix_grid_restore", quotients.out(), &step, &as_float32, out.out())) {
        return nullptr;
    }
    const auto failure = without_lock([&] {
        const size_t count = out.bytes().size() / sizeof(double);
        grid_decode(typed<const std::int64_t>(quotients, count, "quotients"), step, as_float32 != 0,
                    typed<double>(out, count, "out"));
    });
    if (failure) return raise(*failure);
    Py_RETURN_NONE;
}

// A predictor as Python names it: 0 interpolation, 1 Lorenzo, 2
// interpolation fitted to the edges.
bool predictor_of(int number, FeedbackPredictor& predictor) {
    if (number < 0 || number > 2) {
        PyErr_SetString(PyExc_ValueError,
                        "the predictor is 0 (interpolation), 1 (Lorenzo) or 2 (interpolation fitted to the edges)");
        return false;
    }
    predictor = static_cast<FeedbackPredictor>(number);
    return true;
}

// Prediction with error feedback over float64 values of a shape: the
// quotients and every value's error into the buffers given; returns the
// flat positions taken exactly, as int64 in the machine's order.
PyObject* matrix_feedback(PyObject*, PyObject* args) {
    HeldBuffer values, quotients, errors;
    PyObject *shape_tuple = nullptr, *bound_object = Py_None;
    double step = 0;
    int predictor_number = 0, levelled = 0, as_float32 = 0;
    if (!PyArg_ParseTuple(args, "y*O!dOippw*w*:matrix_feedback", values.out(), &PyTuple_Type, &shape_tuple, &step,
                          &bound_object, &predictor_number, &levelled, &as_float32, quotients.out(), errors.out())) {
        return nullptr;
    }
    FeedbackPredictor predictor;
    if (!predictor_of(predictor_number, predictor)) return nullptr;
    std::vector<size_t> shape;
    if (!shape_of(shape_tuple, shape)) return nullptr;
    std::optional<double> bound;
    if (bound_object != Py_None) {
        bound = PyFloat_AsDouble(bound_object);
        if (*bound == -1.0 && PyErr_Occurred()) return nullptr;
    }
    std::vector<uint64_t> exact;
    const auto failure = without_lock([&] {
        const size_t count = values.bytes().size() / sizeof(double);
        exact = feedback_encode(typed<const double>(values, count, "values"),
                                {shape, step, predictor, levelled != 0, as_float32 != 0}, bound,
                                typed<std::int64_t>(quotients, count, "quotients"), typed<double>(errors, count, "errors"));
    });
    if (failure) return raise(*failure);
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(exact.data()),
                                     static_cast<Py_ssize_t>(exact.size() * sizeof(uint64_t)));
}

// The float64 values quotients restore to, with the values at `positions`
// (int64) being `exact` (float64), into `out`.
PyObject* matrix_feedback_restore(PyObject*, PyObject* args) {
    HeldBuffer quotients, positions, exact, out;
    PyObject* shape_tuple = nullptr;
    double step = 0;
    int predictor_number = 0, levelled = 0, as_float32 = 0;
    if (!PyArg_ParseTuple(args, "y*O!dippy*y*w*:matrix_feedback_restore", quotients.out(), &PyTuple_Type,
                          &shape_tuple, &step, &predictor_number, &levelled, &as_float32, positions.out(), exact.out(),
                          out.out())) {
        return nullptr;
    }
    FeedbackPredictor predictor;
    if (!predictor_of(predictor_number, predictor)) return nullptr;
    std::vector<size_t> shape;
    if (!shape_of(shape_tuple, shape)) return nullptr;
    const auto failure = without_lock([&] {
        const size_t count = out.bytes().size() / sizeof(double), taken = exact.bytes().size() / sizeof(double);
        feedback_decode(typed<const std::int64_t>(quotients, count, "quotients"),
                        {shape, step, predictor, levelled != 0, as_float32 != 0},
                        typed<const std::uint64_t>(positions, taken, "positions"),
                        typed<const double>(exact, taken, "exact values"), typed<double>(out, count, "out"));
    });
    if (failure) return raise(*failure);
    Py_RETURN_NONE;
}

// int64 quotients of a shape into the order interpolation visits them,
// or (`inverse`) back.
PyObject* matrix_visit_order(PyObject*, PyObject* args) {
    HeldBuffer source, target;
    PyObject* shape_tuple = nullptr;
    int inverse = 0;
    if (!PyArg_ParseTuple(args, "y*O!w*p:matrix_visit_order", source.out(), &PyTuple_Type, &shape_tuple,
                          target.out(), &inverse)) {
        return nullptr;
    }
    std::vector<size_t> shape;
    if (!shape_of(shape_tuple, shape)) return nullptr;
    const auto failure = without_lock([&] {
        const size_t count = target.bytes().size() / sizeof(std::int64_t);
        const auto from = typed<const std::int64_t>(source, count, "source");
        const auto to = typed<std::int64_t>(target, count, "target");
        if (inverse) from_visit_order(from, shape, to);
        else to_visit_order(from, shape, to);
    });
    if (failure) return raise(*failure);
    Py_RETURN_NONE;
}

// A tuple of the numbers of `dimensions`; null with an exception set on failure.
binding::Ref tuple_of(const std::vector<uint64_t>& dimensions) {
    binding::Ref tuple = binding::Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(dimensions.size())));
    for (size_t i = 0; tuple && i < dimensions.size(); ++i) {
        PyObject* dimension = PyLong_FromUnsignedLongLong(dimensions[i]);
        if (!dimension || PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), dimension) < 0) return {};
    }
    return tuple;
}

}  // namespace

// (coded_shape, [(path, step, corrections, units, values_start, values_end,
// corrections_start, corrections_end), ...], (version, dtype, bound,
// requested, max_error, rmse, corrections, value_range, largest_step,
// shape)) of a second-format blob, its header and bands checked; ZelkError
// for damage.
PyObject* matrix_layout(PyObject*, PyObject* args) {
    HeldBuffer blob;
    if (!PyArg_ParseTuple(args, "y*:matrix_layout", blob.out())) return nullptr;
    MatrixLayout layout;
    const auto failure = without_lock([&] { layout = read_matrix_layout(blob.bytes()); });
    if (failure) return raise(*failure);
    const MatrixSummary& summary = layout.summary;
    const binding::Ref shape = tuple_of(layout.coded_shape), given = tuple_of(summary.shape);
    const binding::Ref bands = binding::Ref::steal(PyList_New(static_cast<Py_ssize_t>(layout.bands.size())));
    if (!shape || !given || !bands) return nullptr;
    const uint8_t* start = blob.bytes().data();
    for (size_t i = 0; i < layout.bands.size(); ++i) {
        const MatrixBand& band = layout.bands[i];
        const auto offset = [&](const uint8_t* at) { return static_cast<unsigned long long>(at - start); };
        PyObject* item = Py_BuildValue("(idKKKKKK)", static_cast<int>(band.path), band.step,
                                       static_cast<unsigned long long>(band.corrections),
                                       static_cast<unsigned long long>(band.units), offset(band.values.data()),
                                       offset(band.values.data()) + band.values.size(),
                                       offset(band.correction_frames.data()),
                                       offset(band.correction_frames.data()) + band.correction_frames.size());
        if (!item || PyList_SetItem(bands.get(), static_cast<Py_ssize_t>(i), item) < 0) return nullptr;
    }
    return Py_BuildValue("(OO(issdddKddO))", shape.get(), bands.get(), static_cast<int>(summary.version), summary.dtype,
                         summary.bound, summary.requested, summary.max_error, summary.rmse,
                         static_cast<unsigned long long>(summary.corrections), summary.value_range,
                         summary.largest_step, given.get());
}

// (largest, sum of (e / largest)^2) of float64 errors, as numpy computes them.
PyObject* matrix_error_figures(PyObject*, PyObject* args) {
    HeldBuffer errors;
    if (!PyArg_ParseTuple(args, "y*:matrix_error_figures", errors.out())) return nullptr;
    ErrorFigures figures{};
    const auto failure = without_lock([&] {
        figures = error_figures(typed<const double>(errors, errors.bytes().size() / sizeof(double), "errors"));
    });
    if (failure) return raise(*failure);
    return Py_BuildValue("(dd)", figures.largest, figures.squares);
}

// A banded blob's sealed header, from its fields (the shape a tuple).
PyObject* matrix_header(PyObject*, PyObject* args) {
    MatrixHeaderFields header{};
    unsigned long long corrections = 0, units = 0;
    PyObject* shape_tuple;
    if (!PyArg_ParseTuple(args, "bbddddKdKO!:matrix_header", &header.dtype, &header.bound, &header.requested,
                          &header.max_error, &header.rmse, &header.value_range, &corrections, &header.largest_step,
                          &units, &PyTuple_Type, &shape_tuple)) {
        return nullptr;
    }
    std::vector<size_t> shape;
    if (!shape_of(shape_tuple, shape)) return nullptr;
    header.corrections = corrections;
    header.units = units;
    header.shape.assign(shape.begin(), shape.end());
    return to_bytes(write_matrix_header(header));
}

// A band of a banded blob: its sealed descriptor, then its two parts.
PyObject* matrix_band(PyObject*, PyObject* args) {
    HeldBuffer values, corrections_frames;
    unsigned char path = 0;
    double step = 0;
    unsigned long long corrections = 0;
    if (!PyArg_ParseTuple(args, "bdKy*y*:matrix_band", &path, &step, &corrections, values.out(),
                          corrections_frames.out())) {
        return nullptr;
    }
    if (path >= MATRIX_PATHS) return raise(Failure{PyExc_ValueError, "an unknown band path"});
    Bytes band;
    const auto failure = without_lock([&] {
        band = write_matrix_band(static_cast<MatrixPath>(path), step, corrections, values.bytes(),
                                 corrections_frames.bytes());
    });
    return failure ? raise(*failure) : to_bytes(band);
}

// Restores a banded blob's values into `out`, an array of its coded shape
// and dtype in the host's order, its bands on at most `threads` threads.
PyObject* matrix_decode(PyObject*, PyObject* args) {
    HeldBuffer blob, out;
    PyObject* threads;
    CodingOptions options;
    if (!PyArg_ParseTuple(args, "y*w*O:matrix_decode", blob.out(), out.out(), &threads) ||
        !coding_options(Py_None, threads, Py_None, Py_None, Py_False, options)) {
        return nullptr;
    }
    const auto failure = without_lock([&] {
        const CodingSettings settings = resolve_coding_options(options);
        const MatrixLayout layout = read_matrix_layout(blob.bytes());
        decode_matrix_bands(layout, ChunkBlockCodec(), settings.frame.threads, settings.frame.memory_limit,
                            typed<std::uint8_t>(out, out.bytes().size(), "out"));
    });
    if (failure) return raise(*failure);
    Py_RETURN_NONE;
}

// CRC-32C of a buffer, as the frames and the matrix format check their parts.
PyObject* crc32c_of(PyObject*, PyObject* args) {
    HeldBuffer data;
    if (!PyArg_ParseTuple(args, "y*:crc32c", data.out())) return nullptr;
    uint32_t crc = 0;
    const auto failure = without_lock([&] { crc = crc32c(data.bytes()); });
    return failure ? raise(*failure) : PyLong_FromUnsignedLong(crc);
}

PyMethodDef MATRIX_FUNCTIONS[] = {
    {"matrix_layout", matrix_layout, METH_VARARGS,
     "matrix_layout(blob) -> (coded_shape, [(path, step, corrections, units, values_start, values_end, "
     "corrections_start, corrections_end)], (version, dtype, bound, requested, max_error, rmse, corrections, "
     "value_range, largest_step, shape))"},
    {"matrix_header", matrix_header, METH_VARARGS,
     "matrix_header(dtype, bound, requested, max_error, rmse, value_range, corrections, largest_step, units, shape) "
     "-> bytes"},
    {"matrix_band", matrix_band, METH_VARARGS, "matrix_band(path, step, corrections, values, corrections_frames) -> bytes"},
    {"matrix_decode", matrix_decode, METH_VARARGS, "matrix_decode(blob, out, threads)"},
    {"matrix_error_figures", matrix_error_figures, METH_VARARGS, "matrix_error_figures(errors) -> (largest, squares)"},
    {"crc32c", crc32c_of, METH_VARARGS, "crc32c(data) -> int"},
    {"matrix_coefficient_count", matrix_coefficient_count, METH_VARARGS,
     "matrix_coefficient_count(rows, cols, tile) -> int"},
    {"matrix_forward", matrix_forward, METH_VARARGS,
     "matrix_forward(data, rows, cols, tile, coefficients, offsets, exponents)"},
    {"matrix_threshold", matrix_threshold, METH_VARARGS,
     "matrix_threshold(coefficients, offsets, exponents, rows, cols, tile, threshold, kept)"},
    {"matrix_inverse", matrix_inverse, METH_VARARGS,
     "matrix_inverse(quantized, offsets, exponents, rows, cols, tile, step, out)"},
    {"matrix_cdf97", matrix_cdf97, METH_VARARGS, "matrix_cdf97(values, rows, cols, levels, inverse)"},
    {"matrix_wavelet_quantise", matrix_wavelet_quantise, METH_VARARGS,
     "matrix_wavelet_quantise(coefficients, subbands, rows, cols, quotients)"},
    {"matrix_wavelet_restore", matrix_wavelet_restore, METH_VARARGS,
     "matrix_wavelet_restore(quotients, subbands, rows, cols, levels, grid, as_float32, out, values=None)"},
    {"matrix_compress", matrix_compress, METH_VARARGS,
     "matrix_compress(elements, shape, as_float32, kind, bound, level, threads) -> blob"},
    {"matrix_encode_band", matrix_encode_band, METH_VARARGS,
     "matrix_encode_band(elements, shape, as_float32, largest_error, bound, level, paths=all) -> "
     "(packed, step, largest, squares, corrections)"},
    {"matrix_wavelet_estimate", matrix_wavelet_estimate, METH_VARARGS,
     "matrix_wavelet_estimate(sample, counts, multipliers, weights) -> float"},
    {"matrix_grid", matrix_grid, METH_VARARGS, "matrix_grid(values, step, as_float32, quotients, errors) -> bool"},
    {"matrix_grid_restore", matrix_grid_restore, METH_VARARGS, "matrix_grid_restore(quotients, step, as_float32, out)"},
    {"matrix_feedback", matrix_feedback, METH_VARARGS,
     "matrix_feedback(values, shape, step, bound, predictor, levelled, as_float32, quotients, errors) -> positions"},
    {"matrix_feedback_restore", matrix_feedback_restore, METH_VARARGS,
     "matrix_feedback_restore(quotients, shape, step, predictor, levelled, as_float32, positions, exact, out)"},
    {"matrix_visit_order", matrix_visit_order, METH_VARARGS, "matrix_visit_order(source, shape, target, inverse)"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace zelk::python
