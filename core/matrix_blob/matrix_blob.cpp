#include "matrix_blob/matrix_blob.h"

#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <numeric>
#include <tuple>
#include <utility>

#include "frame/crc32c.h"
#include "frame/frame_format.h"
#include "frame/frame_io.h"
#include "frame/frame_reader.h"
#include "matrix/wavelet_subbands.h"
#include "sample/sample_layout.h"

namespace zelk {
namespace {

// Header fields after the magic, version, dtype, ndim and bound bytes.
constexpr size_t V1_HEADER = 68;       // then 8 per dimension; the CRC-32 ends the blob
constexpr size_t BAND_DESCRIPTOR = 33;  // versions 2 to 4: path, step, corrections, two frame lengths; then its CRC-32C
constexpr uint64_t WIDEST_UNIT = uint64_t{1} << 22;  // a wider row or slice is coded as a series
constexpr size_t MAX_DIMENSIONS = 32;
constexpr uint64_t MOST_VALUES = uint64_t{1} << 48;  // as zelk.matrix reads
constexpr uint64_t BAND_VALUES = uint64_t{1} << 20;  // a band's values as zelk.matrix writes them, or one unit's
constexpr size_t SMALLEST_BAND = BAND_DESCRIPTOR + 4 + 40;  // and a frame, of 43 bytes at least

[[noreturn]] void damaged(const std::string& what, size_t at) {
    throw FrameError("matrix at offset " + std::to_string(at) + ": " + what);
}

double f64_at(ByteView bytes, size_t at) { return std::bit_cast<double>(load_le<uint64_t>(&bytes[at])); }

// The product of dimensions from `from` on: 0 if one is 0, else at most
// UINT64_MAX (saturated).
uint64_t product(const std::vector<uint64_t>& dimensions, size_t from) {
    if (std::find(dimensions.begin() + static_cast<ptrdiff_t>(from), dimensions.end(), 0) != dimensions.end()) return 0;
    uint64_t total = 1;
    for (size_t i = from; i < dimensions.size(); ++i) {
        if (total > UINT64_MAX / dimensions[i]) return UINT64_MAX;
        total *= dimensions[i];
    }
    return total;
}

bool wavelet(MatrixPath path) { return path == MatrixPath::Wavelet || path == MatrixPath::WaveletLine; }

// What a band's frames must hold: `bytes`, or with `unit`, `base` and a
// multiple of unit up to `bytes` (gaps and values of non-zero quotients).
struct FrameContent {
    uint64_t bytes;
    uint64_t unit = 0;
    uint64_t base = 0;  // with `unit`: base plus a multiple of unit
};

// The frames of a wavelet band's values and what they must hold, after its
// head (levels, step) and the head's check: the coarsest subband's quotients,
// then the others (`every`), or the gaps and values of any number of
// non-zero others.
std::pair<ByteView, FrameContent> wavelet_frames(ByteView values, const std::vector<uint64_t>& band, bool every,
                                                 size_t at) {
    if (band.size() != 2) damaged("a wavelet band of another number of levels", at);
    const WaveletHead head = read_wavelet_head(values, band[0], band[1], at);
    uint64_t rows = band[0], cols = band[1];
    for (unsigned level = 0; level < head.levels; ++level) rows = (rows + 1) / 2, cols = (cols + 1) / 2;
    const uint64_t coarse = rows * cols, others = band[0] * band[1] - coarse;
    if (every) return {head.frames, FrameContent{8 * (coarse + others)}};
    return {head.frames, FrameContent{8 * coarse + 16 * others, 16, 8 * coarse}};
}

// Decodes the frames of `frames`, which must hold what `expected` says.
void check_frames(ByteView frames, FrameContent expected, const BlockCodec& codec, unsigned threads,
                  uint64_t memory_limit, size_t at, const char* what) {
    SpanSource source(frames);
    FrameReadStats stats;
    try {
        stats = read_frames(source, nullptr, codec, threads, {}, memory_limit);
    } catch (const FrameError& error) {
        damaged(std::string(what) + ": " + error.what(), at);
    }
    const uint64_t got = stats.output_bytes;
    const bool fits = expected.unit ? got >= expected.base && got <= expected.bytes && (got - expected.base) % expected.unit == 0
                                    : got == expected.bytes;
    if (stats.trailing_data || !fits) {
        damaged(std::string(what) + " hold " + std::to_string(stats.output_bytes) + " bytes, not " +
                    (expected.unit ? "a multiple of " + std::to_string(expected.unit) + " up to " : std::string()) +
                    std::to_string(expected.bytes), at);
    }
}

// A blob's fields in order, each within its bytes: fixed little-endian
// ones, and counts and lengths as u64 before version 5, varints from then
// on. Running past the end is damage, named by `cut_short`.
class FieldReader {
public:
    FieldReader(ByteView bytes, size_t at, bool varints, const char* cut_short)
        : bytes_(bytes), at_(at), start_(at), varints_(varints), cut_short_(cut_short) {}
    void skip(size_t bytes) {
        need(bytes);
        at_ += bytes;
    }
    uint8_t byte() {
        skip(1);
        return bytes_[at_ - 1];
    }
    double f64() {
        skip(8);
        return f64_at(bytes_, at_ - 8);
    }
    uint64_t count() {
        if (!varints_) {
            skip(8);
            return load_le<uint64_t>(&bytes_[at_ - 8]);
        }
        const std::optional<uint64_t> value = read_varint(bytes_, at_);
        if (!value) damaged(cut_short_, start_);
        return *value;
    }
    // The fields read so far, which the CRC-32C after them must match.
    void check(const char* failed) {
        need(4);
        if (crc32c(bytes_.subspan(start_, at_ - start_)) != load_le<uint32_t>(&bytes_[at_])) damaged(failed, start_);
        at_ += 4;
    }
    size_t at() const { return at_; }

private:
    void need(size_t bytes) const {
        if (bytes_.size() - at_ < bytes) damaged(cut_short_, start_);
    }

    ByteView bytes_;
    size_t at_, start_;
    bool varints_;
    const char* cut_short_;
};

// The smallest descriptor of a band (path, step, three counts), before its check.
constexpr size_t COMPACT_BAND_DESCRIPTOR = 12;

MatrixLayout read_banded(ByteView blob) {
    const bool varints = blob[4] >= 5;
    FieldReader header(blob, 0, varints, "its header is cut short");
    header.skip(MATRIX_MAGIC.size() + 1);  // the magic and the version, read already
    MatrixLayout layout;
    MatrixSummary& summary = layout.summary;
    summary.version = blob[4];
    const uint8_t dtype = header.byte(), ndim = header.byte(), bound = header.byte();
    summary.requested = header.f64();
    summary.max_error = header.f64();
    summary.rmse = header.f64();
    summary.value_range = header.f64();
    summary.corrections = header.count();
    summary.largest_step = header.f64();
    const uint64_t units = header.count();
    for (size_t i = 0; i < ndim; ++i) summary.shape.push_back(header.count());
    header.check("its header fails its check");
    if ((dtype != 1 && dtype != 2) || bound < 1 || bound > 3 || units == 0 || ndim > MAX_DIMENSIONS) {
        damaged("an unknown dtype, bound or band", 0);
    }
    summary.dtype = dtype == 1 ? "float32" : "float64";
    summary.bound = bound == 1 ? "rmse" : bound == 2 ? "psnr" : "max_error";
    const uint64_t count = product(summary.shape, 0);
    layout.coded_shape = matrix_coded_shape(summary.shape);
    const uint64_t leading = count == 0 ? 0 : layout.coded_shape[0];
    // Bands of more values than a writer makes would let a few bytes claim
    // any shape: a reader would make the array before the bands' frames
    // could tell.
    const uint64_t unit = std::max<uint64_t>(product(layout.coded_shape, 1), 1);
    if (units > std::max<uint64_t>(1, BAND_VALUES / unit)) damaged("bands of more values than a writer makes", 0);
    // Every band takes a descriptor and a frame at least: a shape the blob
    // cannot hold is refused before anything is made for it.
    const uint64_t bands = leading / units + (leading % units != 0);
    const size_t smallest_band = varints ? COMPACT_BAND_DESCRIPTOR + 4 + 40 : SMALLEST_BAND;
    if (count > MOST_VALUES || bands > (blob.size() - header.at()) / smallest_band) {
        damaged(std::to_string(blob.size()) + " bytes cannot hold a shape of " + std::to_string(count) + " values", 0);
    }
    size_t at = header.at();
    for (uint64_t start = 0; start < leading; start += units) {
        FieldReader descriptor(blob, at, varints, "a band is missing");
        const uint8_t path = descriptor.byte();
        const double step = descriptor.f64();
        const uint64_t corrections = descriptor.count(), values_length = descriptor.count(),
                       corrections_length = descriptor.count();
        descriptor.check("a band fails its check");
        MatrixBand band{static_cast<MatrixPath>(path), step, corrections, std::min(units, leading - start), at, {}, {}};
        const size_t body = descriptor.at();
        if (path >= MATRIX_PATHS || band.corrections > band.units * product(layout.coded_shape, 1) ||
            values_length > blob.size() - body || corrections_length > blob.size() - body - values_length) {
            damaged("a band claims more than it holds", at);
        }
        if (band.path != MatrixPath::Exact && !(band.step > 0 && std::isfinite(band.step))) {
            damaged("a grid without a step", at);
        }
        band.values = blob.subspan(body, values_length);
        band.correction_frames = blob.subspan(body + values_length, corrections_length);
        ++summary.paths[path];
        layout.bands.push_back(band);
        at = body + values_length + corrections_length;
    }
    summary.bands = layout.bands.size();
    if (at != blob.size()) damaged(std::to_string(blob.size() - at) + " bytes after its last band", at);
    return layout;
}

MatrixSummary read_version_1(ByteView blob) {
    const size_t ndim = blob[6];
    if (blob.size() < V1_HEADER + 8 * ndim + 4) damaged("its header is cut short", 0);
    const ByteView body = blob.first(blob.size() - 4);
    if (crc32(0, body.data(), static_cast<uInt>(body.size())) != load_le<uint32_t>(&blob[body.size()])) {
        damaged("it fails its check", 0);
    }
    MatrixSummary summary;
    summary.version = 1;
    const uint8_t dtype = blob[5], bound = blob[7];
    if ((dtype != 1 && dtype != 2) || bound > 3) damaged("an unknown dtype or bound", 0);
    summary.dtype = dtype == 1 ? "float32" : "float64";
    summary.bound = bound == 0 ? "threshold" : bound == 1 ? "rmse" : bound == 2 ? "psnr" : "max_error";
    summary.requested = f64_at(blob, 8);
    summary.max_error = f64_at(blob, 20);
    summary.rmse = f64_at(blob, 28);
    summary.corrections = load_le<uint64_t>(&blob[44]);
    for (size_t i = 0; i < ndim; ++i) summary.shape.push_back(load_le<uint64_t>(&blob[V1_HEADER + 8 * i]));
    return summary;
}

bool banded(ByteView blob) {
    if (!starts_matrix_blob(blob) || blob.size() < 8) damaged("not a compressed matrix", 0);
    if (blob[4] < 1 || blob[4] > 5) {
        damaged("format version " + std::to_string(blob[4]) + ", this program reads versions 1 to 5", 0);
    }
    return blob[4] >= 2;
}

// What a band's frames must hold.
std::pair<ByteView, FrameContent> band_frames(const MatrixLayout& layout, const MatrixBand& band) {
    const uint64_t values = band.units * product(layout.coded_shape, 1);
    if (wavelet(band.path)) {
        std::vector<uint64_t> shape = layout.coded_shape;
        shape[0] = band.units;
        return wavelet_frames(band.values, shape, band.path == MatrixPath::WaveletLine, band.at);
    }
    if (band.path == MatrixPath::Levelled) return {band.values, {16 * values, 16}};
    return {band.values, {values * (band.path == MatrixPath::Exact ? layout.summary.itemsize() : 8)}};
}

}  // namespace

std::vector<uint64_t> matrix_coded_shape(const std::vector<uint64_t>& shape) {
    const uint64_t count = product(shape, 0);
    std::vector<uint64_t> coded = shape;
    if (coded.size() > 3) {
        const uint64_t plane = product(shape, shape.size() - 2);  // not 0 where count is not
        coded = count == 0 ? std::vector<uint64_t>{0} : std::vector<uint64_t>{count / plane, shape[shape.size() - 2], shape.back()};
    }
    if (coded.size() <= 1 || product(coded, 1) > WIDEST_UNIT) return {count};
    return coded;
}

uint64_t matrix_band_units(const std::vector<uint64_t>& coded_shape) {
    const uint64_t unit = coded_shape.size() > 1 ? product(coded_shape, 1) : 1;
    return std::max<uint64_t>(1, BAND_VALUES / std::max<uint64_t>(unit, 1));
}

WaveletHead read_wavelet_head(ByteView values, uint64_t rows, uint64_t cols, size_t at) {
    constexpr size_t HEAD = 9;  // levels, then the step
    if (values.size() < HEAD + 4 || crc32c(values.first(HEAD)) != load_le<uint32_t>(&values[HEAD])) {
        damaged("a wavelet band's head fails its check", at);
    }
    const unsigned levels = wavelet_levels(rows, cols);
    const uint64_t step = load_le<uint64_t>(&values[1]);
    if (levels == 0 || values[0] != levels || step == 0 || step >= uint64_t{1} << 60) {
        damaged("a wavelet band of another number of levels, or without a step", at);
    }
    return {levels, step, values.subspan(HEAD + 4)};
}

uint64_t MatrixSummary::values() const { return product(shape, 0); }

size_t MatrixSummary::itemsize() const { return std::strcmp(dtype, "float32") == 0 ? 4 : 8; }

uint64_t MatrixSummary::value_bytes() const {
    const uint64_t count = values(), size = itemsize();
    return count > UINT64_MAX / size ? UINT64_MAX : count * size;
}

bool starts_matrix_blob(ByteView start) {
    return start.size() >= MATRIX_MAGIC.size() && std::equal(MATRIX_MAGIC.begin(), MATRIX_MAGIC.end(), start.begin());
}

MatrixLayout read_matrix_layout(ByteView blob) {
    if (!banded(blob)) damaged("format version 1 has no bands of this kind", 0);
    return read_banded(blob);
}

MatrixSummary summarize_matrix_blob(ByteView blob) {
    return banded(blob) ? read_banded(blob).summary : read_version_1(blob);
}

MatrixSummary verify_matrix_blob(ByteView blob, const BlockCodec& codec, unsigned threads, uint64_t memory_limit) {
    if (!banded(blob)) return read_version_1(blob);
    const MatrixLayout layout = read_banded(blob);
    const size_t itemsize = layout.summary.itemsize();
    for (const MatrixBand& band : layout.bands) {
        const auto [frames, content] = band_frames(layout, band);
        check_frames(frames, content, codec, threads, memory_limit, band.at, "a band's values");
        // A band without corrections may store no frame for them.
        if (band.corrections != 0 || !band.correction_frames.empty()) {
            check_frames(band.correction_frames, {band.corrections * (8 + itemsize)}, codec, threads, memory_limit,
                         band.at, "a band's corrections");
        }
    }
    return layout.summary;
}

}  // namespace zelk
