#include "matrix_blob/band_encoder.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include "base/large_array.h"
#include "frame/block_codec.h"
#include "frame/coding_options.h"
#include "frame/crc32c.h"
#include "frame/frame_encoder.h"
#include "frame/frame_io.h"
#include "matrix/error_feedback.h"
#include "matrix/error_figures.h"
#include "matrix/grid_rounding.h"
#include "matrix/matrix_corrections.h"
#include "matrix/sparse_line.h"
#include "matrix/wavelet_step_search.h"
#include "matrix/wavelet_subbands.h"
#include "matrix_blob/matrix_blob_writer.h"
#include "sample/sample_block.h"
#include "sample/sample_layout.h"

namespace zelk {
namespace {

constexpr size_t TRIAL_VALUES = size_t{1} << 14;  // a band of more is judged on a slab from its middle
constexpr size_t WAVELET_SIDE = 256;              // and the wavelet on a square from its middle
constexpr size_t WAVELET_RATIO = 16;              // tried on bands that the other paths shrink more than this
// Coding the square in this part of the path's bytes, the wavelet alone codes the band; within a largest
// error, both are tried whole within the second part.
constexpr double WAVELET_SURE = 0.7, WAVELET_LARGEST_ERROR = 0.6;
constexpr double CLOSE = 1.05;  // a path within this of an interpolation's on the slab codes the band too
// Integers of which more than this part are not zero are stored as they
// are: gaps between mostly adjacent positions would cost more than the
// zeros they skip.
constexpr double DENSE = 2.0 / 3;
// A frame of its parts' blocks shorter than this is tried as one block of
// them all too: a block's record and its own head cost some 30 bytes, a
// tenth of what a smooth 1024 x 1024 field took at an RMSE of 1e-3 of its
// range, but one block mixes parts that code apart.
constexpr size_t SMALL_FRAME = 4096;

using Bytes = std::vector<uint8_t>;
constexpr bool HOST_BIG_ENDIAN = std::endian::native == std::endian::big;

template <typename T>
T load_host(const uint8_t* in) {
    T value;
    std::memcpy(&value, in, sizeof value);
    return value;
}

template <typename T>
ByteView bytes_of(std::span<const T> values) {
    return {reinterpret_cast<const uint8_t*>(values.data()), values.size_bytes()};
}

// Blocks of samples as sample blocks alone, others as the chunk codec
// stores them: what trials at a lower level than the band's weigh paths
// by. The chunk codec runs Zstandard beside a typed block where its window
// is a close call: a sixth of a 64x64 band's time, and at the fastest
// level it favoured paths that the band's own level then coded worse (of
// 360 blobs, 18 came out 6 to 66% smaller without it, none larger). Where
// the trials' level is the band's, the chunk codec's choice is what the
// band will get, and they keep it.
class TrialBlockCodec final : public BlockCodec {
public:
    explicit TrialBlockCodec(LevelSettings level) : level_(level), chunks_(level) {}

    std::optional<CompressedBlock> compress(std::span<const uint8_t> data, ChunkThreads threads,
                                            const SampleLayout* layout) const override {
        if (!layout || data.size() < layout->frame_bytes()) return chunks_.compress(data, threads, nullptr);
        std::vector<uint8_t> block = encode_sample_block(data, *layout, level_.sample);
        if (block.size() >= data.size()) return std::nullopt;
        return CompressedBlock{RecordType::Sample, std::move(block)};
    }
    Result<std::vector<uint8_t>> decompress(RecordType type, std::span<const uint8_t> stored,
                                            uint32_t size) const override {
        return chunks_.decompress(type, stored, size);
    }

private:
    LevelSettings level_;
    ChunkBlockCodec chunks_;
};

// Frames at one level, as zelk.compress() writes them on one thread, or
// with `trial`, as TrialBlockCodec stores their blocks.
class Frames {
public:
    explicit Frames(std::optional<int64_t> level, bool trial = false)
        : settings_(settings_for(level)),
          codec_(trial ? std::unique_ptr<BlockCodec>(std::make_unique<TrialBlockCodec>(settings_.level))
                       : std::make_unique<ChunkBlockCodec>(settings_.level)) {}

    Bytes of(ByteView data, const std::optional<SampleLayout>& layout = std::nullopt) const {
        VectorSink sink;
        FrameEncoder encoder(*codec_, options(layout), sink);
        encoder.set_layout(layout);
        encoder.write(data);
        encoder.end_frame();
        return std::move(sink.bytes);
    }
    // Values of an array of `shape` (its first dimension any).
    Bytes array(ByteView data, ElementType type, std::span<const size_t> shape) const {
        const std::vector<uint64_t> trailing(shape.begin() + (shape.empty() ? 0 : 1), shape.end());
        return of(data, array_layout(type, HOST_BIG_ENDIAN, trailing));
    }
    // int64 parts in one frame: a block for each (none for an empty one),
    // or one block of them all where that is shorter and the frame small.
    Bytes int64_parts(const std::vector<std::span<const int64_t>>& parts) const {
        const std::optional<SampleLayout> layout = array_layout(ElementType::I64, HOST_BIG_ENDIAN, {});
        VectorSink sink;
        FrameEncoder encoder(*codec_, options(layout), sink);
        encoder.set_layout(layout);
        for (const auto& part : parts) {
            encoder.write(bytes_of(part));
            encoder.flush_blocks();
        }
        encoder.end_frame();
        Bytes apart = std::move(sink.bytes);
        if (parts.size() < 2 || apart.size() >= SMALL_FRAME) return apart;
        std::vector<int64_t> all;
        for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
        Bytes together = of(bytes_of(std::span<const int64_t>(all)), layout);
        return together.size() < apart.size() ? together : apart;
    }

private:
    static CodingSettings settings_for(std::optional<int64_t> level) {
        CodingOptions options;
        options.level = level;
        return resolve_coding_options(options);
    }
    FrameOptions options(const std::optional<SampleLayout>& layout) const {
        FrameOptions options = settings_.frame;
        options.typed = layout.has_value();
        return options;
    }

    CodingSettings settings_;
    std::unique_ptr<BlockCodec> codec_;
};

// A band, or a part of one: its values in float64 and as given.
struct Values {
    std::span<const double> values;
    ByteView elements;
    std::vector<size_t> shape;
    bool as_float32;

    size_t size() const { return values.size(); }
    size_t itemsize() const { return as_float32 ? 4 : 8; }
    ElementType type() const { return as_float32 ? ElementType::F32 : ElementType::F64; }
};

// A part copied out: a slab of leading units, or a square from a 2-D band's middle.
struct OwnedValues {
    std::vector<double> values;
    Bytes elements;
    Values view(std::vector<size_t> shape, bool as_float32) const {
        return {values, elements, std::move(shape), as_float32};
    }
};

OwnedValues crop(const Values& band, size_t side) {
    const size_t rows = std::min(side, band.shape[0]), cols = std::min(side, band.shape[1]);
    const size_t top = (band.shape[0] - rows) / 2, left = (band.shape[1] - cols) / 2, width = band.shape[1];
    OwnedValues out;
    for (size_t i = top; i < top + rows; ++i) {
        const double* values = band.values.data() + i * width + left;
        out.values.insert(out.values.end(), values, values + cols);
        const uint8_t* elements = band.elements.data() + (i * width + left) * band.itemsize();
        out.elements.insert(out.elements.end(), elements, elements + cols * band.itemsize());
    }
    return out;
}

// A line of quotients as it is stored: every one where more than DENSE of
// them are not zero, else the gaps between the positions of the non-zero
// ones and those (sparse_line.h).
struct StoredLine {
    bool every;
    std::vector<int64_t> gaps, values;
};

StoredLine stored_line(std::span<const int64_t> line) {
    const auto count = static_cast<size_t>(std::count_if(line.begin(), line.end(), [](int64_t v) { return v != 0; }));
    if (static_cast<double>(count) > DENSE * static_cast<double>(line.size())) return {true, {}, {}};
    StoredLine stored{false, std::vector<int64_t>(count), std::vector<int64_t>(count)};
    to_sparse(line, stored.gaps, stored.values);
    return stored;
}

// A band as a path codes it.
struct Coded {
    Bytes values, corrections;
    uint64_t count = 0;  // of corrections
    LargeArray<double> held{0};
    std::span<const double> errors;  // every value's error left
    MatrixPath path = MatrixPath::Exact;
    size_t size() const { return values.size() + corrections.size(); }
};

class BandEncoder {
public:
    BandEncoder(const MatrixBandGoal& goal, int64_t trial_level)
        : goal_(goal), frames_(goal.level),
          trial_frames_(trial_level, trial_level != goal.level.value_or(DEFAULT_LEVEL)),
          bound_(goal.largest_error ? CorrectedBound::LargestError : CorrectedBound::Rmse) {}

    // The gaps between the positions stored exactly, then their values, little-endian.
    Bytes corrections(const Values& v, std::span<const uint64_t> positions, const Frames& frames) const {
        Bytes data(positions.size() * (8 + v.itemsize()));
        uint64_t last = 0;
        for (size_t k = 0; k < positions.size(); ++k) {
            store_le<uint64_t>(&data[8 * k], positions[k] - last);
            last = positions[k];
            const uint8_t* element = v.elements.data() + positions[k] * v.itemsize();
            uint8_t* out = &data[8 * positions.size() + k * v.itemsize()];
            if (v.as_float32) store_le<uint32_t>(out, load_host<uint32_t>(element));
            else store_le<uint64_t>(out, load_host<uint64_t>(element));
        }
        return frames.of(data);
    }

    std::optional<Coded> grid(const Values& v, double step, const Frames& frames) const {
        if (!(step > 0) || !std::isfinite(step)) return std::nullopt;
        LargeArray<int64_t> quotients(v.size());
        Coded coded;
        coded.held = LargeArray<double>(v.size());
        if (!grid_encode(v.values, step, v.as_float32, quotients.span(), coded.held.span())) return std::nullopt;
        const std::vector<uint64_t> positions = corrected_positions(coded.held.span(), bound_, goal_.bound);
        for (uint64_t p : positions) coded.held[p] = 0.0;
        coded.values = frames.array(bytes_of(std::span<const int64_t>(quotients.span())), ElementType::I64, v.shape);
        coded.corrections = corrections(v, positions, frames);
        coded.count = positions.size();
        coded.errors = coded.held.span();
        coded.path = MatrixPath::Grid;
        return coded;
    }

    // Predicted with error feedback; none where an RMSE bound is missed (the
    // values taken exactly are part of the prediction, so none can be added
    // afterwards). Levelled, the quotients in the order they are visited are
    // coded as the gaps between the non-zero ones and those, or where few
    // are zero as they are.
    std::optional<Coded> feedback(const Values& v, double step, MatrixPath path, const Frames& frames) const {
        const FeedbackGrid grid{v.shape, step,
                                path == MatrixPath::Lorenzo ? FeedbackPredictor::Lorenzo
                                                            : FeedbackPredictor::EdgeFittedInterpolation,
                                path == MatrixPath::Levelled, v.as_float32};
        LargeArray<int64_t> quotients(v.size());
        Coded coded;
        coded.held = LargeArray<double>(v.size());
        const std::vector<uint64_t> positions =
            feedback_encode(v.values, grid, goal_.largest_error ? std::optional(goal_.bound) : std::nullopt,
                            quotients.span(), coded.held.span());
        coded.errors = coded.held.span();
        if (!goal_.largest_error && !(overflow_safe_rms(coded.errors) <= goal_.bound)) return std::nullopt;
        coded.path = path;
        if (path == MatrixPath::Levelled) {
            LargeArray<int64_t> line(v.size());
            to_visit_order(quotients.span(), v.shape, line.span());
            const StoredLine stored = stored_line(line.span());
            if (stored.every) {
                coded.values = frames.array(bytes_of(std::span<const int64_t>(line.span())), ElementType::I64, {});
                coded.path = MatrixPath::LevelledLine;
            } else {
                coded.values = frames.int64_parts({stored.gaps, stored.values});
            }
        } else {
            coded.values = frames.array(bytes_of(std::span<const int64_t>(quotients.span())), ElementType::I64, v.shape);
        }
        coded.corrections = corrections(v, positions, frames);
        coded.count = positions.size();
        return coded;
    }

    std::optional<Coded> by(MatrixPath path, const Values& v, double step, const Frames& frames) const {
        return path == MatrixPath::Grid ? grid(v, step, frames) : feedback(v, step, path, frames);
    }

    // The wavelet's coding: its grid step, the coefficients (a head of the
    // levels and the step sealed by a CRC-32C, then the coarsest band as its
    // differences in two dimensions and the details, as they are or as the
    // gaps between the non-zero ones and those), the corrections as the
    // band takes them (none: no frame), and the errors left.
    std::optional<std::pair<double, Coded>> wavelet(const Values& v, const Frames& frames) const {
        if (v.shape.size() != 2 || wavelet_levels(v.shape[0], v.shape[1]) == 0) return std::nullopt;
        const size_t rows = v.shape[0], cols = v.shape[1], size = v.size();
        LargeArray<int64_t> pairs(2 * size);
        Coded coded;
        coded.held = LargeArray<double>(2 * size);
        const auto found = search_wavelet_step(v.values, rows, cols, v.as_float32, goal_.largest_error, goal_.bound,
                                               pairs.span(), coded.held.span());
        if (!found) return std::nullopt;
        const std::span<const int64_t> quotients = pairs.span().subspan(found->pair * size, size);
        const std::span<double> errors = coded.held.span().subspan(found->pair * size, size);
        const std::vector<uint64_t> positions = corrected_positions(errors, bound_, goal_.bound);
        for (uint64_t p : positions) errors[p] = 0.0;
        coded.errors = errors;

        const std::vector<WaveletPlace> places = wavelet_subbands(rows, cols, found->levels);
        const WaveletSubband& coarse = places[0].place;
        std::vector<int64_t> coarsest;
        for (size_t i = coarse.top; i < coarse.bottom; ++i) {
            for (size_t j = coarse.left; j < coarse.right; ++j) {
                auto at = [&](size_t r, size_t c) { return static_cast<uint64_t>(quotients[r * cols + c]); };
                uint64_t d = at(i, j);
                if (i > 0) d -= at(i - 1, j);
                if (j > 0) d -= at(i, j - 1);
                if (i > 0 && j > 0) d += at(i - 1, j - 1);
                coarsest.push_back(static_cast<int64_t>(d));
            }
        }
        std::vector<int64_t> details;
        details.reserve(size - coarsest.size());
        for (size_t b = 1; b < places.size(); ++b) {
            const WaveletSubband& place = places[b].place;
            for (size_t i = place.top; i < place.bottom; ++i) {
                const auto row = quotients.begin() + static_cast<ptrdiff_t>(i * cols);
                details.insert(details.end(), row + static_cast<ptrdiff_t>(place.left), row + static_cast<ptrdiff_t>(place.right));
            }
        }
        const StoredLine stored = stored_line(details);
        const Bytes frame = stored.every ? frames.int64_parts({coarsest, details})
                                         : frames.int64_parts({coarsest, stored.gaps, stored.values});
        uint8_t head[13];
        head[0] = static_cast<uint8_t>(found->levels);
        store_le<uint64_t>(&head[1], found->step);
        store_le<uint32_t>(&head[9], crc32c(ByteView(head, 9)));
        coded.values.assign(head, head + 13);
        coded.values.insert(coded.values.end(), frame.begin(), frame.end());
        coded.corrections = positions.empty() ? Bytes{} : corrections(v, positions, frames);
        coded.count = positions.size();
        coded.path = stored.every ? MatrixPath::WaveletLine : MatrixPath::Wavelet;
        return std::pair{found->grid, std::move(coded)};
    }

    bool allows(MatrixPath path) const { return (goal_.paths >> static_cast<unsigned>(path)) & 1; }
    const Frames& frames() const { return frames_; }
    const Frames& trial_frames() const { return trial_frames_; }

private:
    const MatrixBandGoal& goal_;
    Frames frames_, trial_frames_;
    CorrectedBound bound_;
};

constexpr MatrixPath GRID_PATHS[] = {MatrixPath::Grid, MatrixPath::Interpolated, MatrixPath::Levelled,
                                     MatrixPath::Lorenzo};

// What the trials on a slab of the band tell.
struct SlabVerdict {
    MatrixPath path = MatrixPath::Exact;  // the smallest, ties to the exact coding and then to the first
    bool shrinks = false;                 // enough for the wavelet to be tried
    std::optional<MatrixPath> close;      // a path to code the band too
};

// The trials' slab: whole rows (or slices) from the band's middle, at
// most TRIAL_VALUES values where the band has more.
Values middle_slab(const Values& band) {
    const size_t size = band.size();
    Values slab = band;
    if (size > TRIAL_VALUES) {
        const size_t unit = size / band.shape[0];
        const size_t units = std::max<size_t>(1, TRIAL_VALUES * band.shape[0] / size);
        const size_t start = (band.shape[0] - units) / 2;
        slab.values = band.values.subspan(start * unit, units * unit);
        slab.elements = band.elements.subspan(start * unit * band.itemsize(), units * unit * band.itemsize());
        slab.shape[0] = units;
    }
    return slab;
}

SlabVerdict judge_slab(const BandEncoder& encoder, const Values& band, double step) {
    const size_t size = band.size();
    const Values trial = middle_slab(band);
    std::vector<std::pair<MatrixPath, size_t>> sizes{
        {MatrixPath::Exact, encoder.trial_frames().array(trial.elements, trial.type(), trial.shape).size()}};
    for (MatrixPath way : GRID_PATHS) {
        if (!encoder.allows(way)) continue;
        const auto coded = encoder.by(way, trial, step, encoder.trial_frames());
        if (coded) sizes.emplace_back(way, coded->size());
    }
    SlabVerdict verdict;
    size_t smallest = sizes[0].second;
    for (const auto& [way, bytes] : sizes) {
        if (bytes < smallest) {
            smallest = bytes;
            verdict.path = way;
        }
    }
    verdict.shrinks = encoder.allows(MatrixPath::Wavelet) && smallest < trial.size() * band.itemsize() / WAVELET_RATIO;
    if (size > TRIAL_VALUES && (verdict.path == MatrixPath::Interpolated || verdict.path == MatrixPath::Levelled)) {
        size_t close_bytes = 0;
        for (const auto& [way, bytes] : sizes) {
            const bool within = static_cast<double>(bytes) <= static_cast<double>(smallest) * CLOSE;
            if (way != verdict.path && way != MatrixPath::Exact && within && (!verdict.close || bytes < close_bytes)) {
                verdict.close = way;
                close_bytes = bytes;
            }
        }
    }
    return verdict;
}

// The wavelet's size over the path's on a square from the band's middle (0
// where only the wavelet codes it); infinite where the band is no wavelet's
// or the path exact; none where the band holds fewer values than three
// squares (both are then tried whole, which costs no more than the trial
// and one of them whole).
std::optional<double> wavelet_verdict(const BandEncoder& encoder, const Values& band, MatrixPath path, double step) {
    if (band.shape.size() != 2 || wavelet_levels(band.shape[0], band.shape[1]) == 0 || path == MatrixPath::Exact) {
        return INFINITY;
    }
    const OwnedValues square = crop(band, WAVELET_SIDE);
    const Values part = square.view({std::min(WAVELET_SIDE, band.shape[0]), std::min(WAVELET_SIDE, band.shape[1])},
                                    band.as_float32);
    if (band.size() < 3 * part.size()) return std::nullopt;
    const auto wavelet = encoder.wavelet(part, encoder.trial_frames());
    if (!wavelet) return INFINITY;
    const auto other = encoder.by(path, part, step, encoder.trial_frames());
    return other ? static_cast<double>(wavelet->second.values.size()) / static_cast<double>(other->size()) : 0.0;
}

}  // namespace

EncodedMatrixBand encode_matrix_band(ByteView elements, const MatrixBandGoal& goal) {
    size_t size = 1;
    bool overflows = false;
    for (size_t dimension : goal.shape) overflows |= __builtin_mul_overflow(size, dimension, &size);
    const size_t itemsize = goal.as_float32 ? 4 : 8;
    if (goal.shape.empty() || goal.shape.size() > 3 || overflows || elements.size() / itemsize != size ||
        elements.size() % itemsize != 0) {
        throw std::invalid_argument("a band's values are not as many as its shape's");
    }
    LargeArray<double> widened(goal.as_float32 ? size : 0);
    for (size_t i = 0; i < widened.size(); ++i) widened[i] = std::bit_cast<float>(load_host<uint32_t>(&elements[4 * i]));
    const std::span<const double> values =
        goal.as_float32 ? std::span<const double>(widened.span())
                        : std::span<const double>(reinterpret_cast<const double*>(elements.data()), size);
    const Values band{values, elements, {goal.shape.begin(), goal.shape.end()}, goal.as_float32};

    // The fastest level codes a 2-D band's trials below the highest level (its
    // planes predict from the row above too); a volume's, its own, as the
    // fastest level does not predict from the slice above.
    const int64_t level = goal.level.value_or(DEFAULT_LEVEL);
    const int64_t trial_level = band.shape.size() == 2 && level < MAX_LEVEL ? MIN_LEVEL : level;
    BandEncoder encoder(goal, trial_level);
    double step = goal.largest_error ? 2 * goal.bound : 0.98 * std::sqrt(12.0) * goal.bound;

    const SlabVerdict slab = step > 0 && size > 0 ? judge_slab(encoder, band, step) : SlabVerdict{};
    MatrixPath path = slab.path;
    // Coding the square much smaller, the wavelet alone codes the band;
    // about as small, both do. A largest error grows with the values it is
    // taken over, more for the wavelet than for the paths that bound each
    // value as they go: for that bound the wavelet must win the square by a
    // margin to be tried whole.
    const std::optional<double> verdict = slab.shrinks ? wavelet_verdict(encoder, band, path, step) : INFINITY;
    const bool wavelet_only = verdict && *verdict < (goal.largest_error ? 0.0 : WAVELET_SURE);
    const bool wavelet_too = (!verdict && slab.shrinks) ||
                             (verdict && *verdict <= (goal.largest_error ? WAVELET_LARGEST_ERROR : 1.0));
    // A close second on the slab codes the band too. Where the trials ran
    // below the band's level, the two are first coded on the slab at the
    // band's level, and only the smaller there codes the band (the other
    // too only where it misses an RMSE bound): on the luminance the fastest
    // level put the grid a hair behind the levelled path, the band's level
    // 8 to 12% ahead, and coding the band both ways took half the time. The
    // wavelet coded whole is a second opinion already.
    std::optional<MatrixPath> second = wavelet_only || wavelet_too ? std::nullopt : slab.close;
    const bool settled = second && trial_level != level;
    if (settled) {
        const Values part = middle_slab(band);
        const auto first = encoder.by(path, part, step, encoder.frames());
        const auto other = encoder.by(*second, part, step, encoder.frames());
        if (other && (!first || other->size() < first->size())) std::swap(path, *second);
    }
    std::optional<Coded> coded;
    if (path != MatrixPath::Exact && !wavelet_only) coded = encoder.by(path, band, step, encoder.frames());
    if (second && (!settled || !coded)) {
        auto other = encoder.by(*second, band, step, encoder.frames());
        if (other && (!coded || other->size() < coded->size())) {
            path = *second;
            coded = std::move(other);
        }
    }
    auto wavelet = wavelet_too || wavelet_only ? encoder.wavelet(band, encoder.frames()) : std::nullopt;
    if (!wavelet && wavelet_only) coded = encoder.by(path, band, step, encoder.frames());
    if (!coded && !(wavelet && wavelet_only)) {
        step = 0.0;
        coded.emplace();
        coded->values = encoder.frames().array(band.elements, band.type(), band.shape);
        coded->corrections = encoder.frames().of({});
        coded->path = MatrixPath::Exact;
    }
    if (wavelet && (!coded || wavelet_only || wavelet->second.size() < coded->size())) {
        step = wavelet->first;
        coded = std::move(wavelet->second);
    }
    const ErrorFigures figures = error_figures(coded->errors);
    // A band without corrections stores no frame for them.
    const ByteView corrections = coded->count ? ByteView(coded->corrections) : ByteView();
    return {write_matrix_band(coded->path, step, coded->count, coded->values, corrections), step, figures.largest,
            figures.squares, coded->count};
}

}  // namespace zelk
