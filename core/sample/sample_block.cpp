// Choices are made by coding frames from the block's middle, where its start
// (often a quiet lead-in) weighs less: every exact value transform with
// every channel coding, under the polynomials that suit each channel best
// (TRIAL_FRAMES, four times as many at the fastest effort, which has no
// later trial and estimates the Rice codes' size from the residuals' bits
// rather than writing them), the smallest kept; then, beyond the fast
// effort, those polynomials against the cascades the effort allows, on more
// frames (PREDICTOR_TRIAL_FRAMES), since a cascade learns as it goes; and for
// a raster, the plane and raster predictors on whole rows.
#include "sample/sample_block.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "base/kept_buffers.h"
#include "entropy/range_coder.h"
#include "entropy/residual_coder.h"
#include "entropy/rice_coder.h"
#include "entropy/tabled_residuals.h"
#include "sample/predictors.h"
#include "sample/raster_runs.h"
#include "sample/sample_gaps.h"
#include "sample/sample_values.h"

namespace zelk {
namespace {

constexpr size_t TRIAL_FRAMES = size_t{1} << 13;
constexpr size_t PREDICTOR_TRIAL_FRAMES = size_t{1} << 17;

// FromSecondOfThree: the first three channels as FromSecond, any others apart
// (colour with alpha: alpha less green would mix an unrelated plane in).
// ReversibleColour: the first three channels (R, G, B) as R - G,
// floor((R + 2 G + B) / 4) and B - G, JPEG 2000's reversible colour
// transform, in values one bit wider so that no difference wraps; any
// others apart.
enum class ChannelCoding : uint8_t {
    Apart = 0, MidSide = 1, FromPrevious = 2, FromSecond = 3, FromSecondOfThree = 4, ReversibleColour = 5
};
constexpr uint8_t CHANNEL_CODINGS = 6;
// The widest values the reversible colour transform takes: one bit more
// must still fit the 64-bit arithmetic with room for its sums.
constexpr unsigned MOST_COLOUR_TRANSFORM_WIDTH = 32;

// The width of the values a channel coding gives, from values of `width` bits.
unsigned coded_width(ChannelCoding coding, unsigned width) {
    return coding == ChannelCoding::ReversibleColour ? width + 1 : width;
}
enum class PredictorKind : uint8_t { Polynomial = 0, Cascade = 1, Plane = 2, Raster = 3 };

enum class ResidualCoding : uint8_t { Range = 0, Rice = 1, Tabled = 2 };

// Rice-coded residuals come in partitions of this many frames, each with a
// parameter per channel.
constexpr size_t RICE_PARTITION = 256;
constexpr unsigned RICE_PARAMETER_BITS = 6;

// The residual coding bytes of blocks whose gaps' elements have no
// residuals, range coded or in tables.
constexpr uint8_t NUMBERS_ONLY_RANGE = 3, NUMBERS_ONLY_TABLED = 4;

struct Choice {
    ChannelCoding channels = ChannelCoding::Apart;
    PredictorKind predictor = PredictorKind::Polynomial;
    std::vector<uint8_t> orders;  // polynomial, per channel
    uint8_t preset = 0;           // cascade
    ResidualCoding residuals = ResidualCoding::Range;
    bool numbers_only = false;    // the elements of gaps have no residual: each is its prediction
    uint8_t plane_mode = 0;       // plane and raster
    uint64_t row = 0;             // plane and raster: values a row, from the layout
};

// The frames of a raster's row, if a plane predictor can keep it.
uint64_t raster_row(const SampleLayout& layout) {
    const uint64_t row = layout.row_frames();
    return row >= 2 && row <= MAX_PLANE_ROW ? row : 0;
}

// The frames a trial codes of a block of `count`: at most `most`, and of a
// raster at most a quarter of the block but at least eight rows (on a small
// image, trials on half of it took twice its coding's time, and chose as
// on a quarter).
size_t trial_frames(size_t count, size_t most, uint64_t row) {
    if (row == 0) return std::min(count, most);
    return std::min<size_t>(count, std::max<size_t>(std::min(most, count / 4), 8 * row));
}

// Whether a raster predictor (predictors.h) may code this layout's values
// of `channels` a frame: rows it can keep, of at most four channels.
bool raster_predicts(const SampleLayout& layout, unsigned channels) {
    const uint64_t row = raster_row(layout);
    return row != 0 && row <= MAX_RASTER_ROW && channels <= 4;
}

uint64_t zigzag(int64_t r) { return (static_cast<uint64_t>(r) << 1) ^ static_cast<uint64_t>(r >> 63); }
int64_t unzigzag(uint64_t u) { return static_cast<int64_t>(u >> 1) ^ -static_cast<int64_t>(u & 1); }

// The residuals of a block as its decoder reads them, frame by frame and
// channel by channel within each frame, each channel a stream of contexts
// (the range coder's or the tables'; Rice codes below have none).
template <typename Reader>
class ContextResiduals {
public:
    explicit ContextResiduals(Reader reader, unsigned channels) : reader_(std::move(reader)), streams_(channels) {}
    int64_t next(unsigned channel) { return reader_.next(streams_[channel]); }
    // A raster's residual, in the context its predictor gives.
    int64_t next(unsigned channel, uint64_t context) { return reader_.next_placed(streams_[channel], context); }
    // A raster run's length less the one expected (raster_runs.h), in its
    // own stream and context.
    int64_t next_run_difference() {
        return reader_.next_placed(run_stream_, RUN_LENGTH_CONTEXT);
    }
    // Read past its bytes, or stopped short of their end.
    bool overrun() const { return !reader_.ended_cleanly(); }

private:
    Reader reader_;
    std::vector<ResidualStream> streams_;
    ResidualStream run_stream_;
};

// The adaptive range coder as a reader of one stream after another.
struct RangeReader {
    RangeReader(ByteView bytes, unsigned width) : decoder(bytes), coder(width) {}
    int64_t next(ResidualStream& stream) { return coder.decode(decoder, stream); }
    int64_t next_placed(ResidualStream& stream, uint64_t mean16) {
        stream.mean16 = mean16;
        return next(stream);
    }
    bool ended_cleanly() const { return decoder.ended_cleanly(); }

    RangeDecoder decoder;
    ResidualCoder coder;
};

class RiceResiduals {
public:
    RiceResiduals(ByteView bytes, unsigned channels, unsigned width)
        : reader_(bytes), parameters_(channels), width_(width) {}
    int64_t next(unsigned channel) {
        if (channel == 0 && frame_++ % RICE_PARTITION == 0) {
            for (unsigned& k : parameters_) k = static_cast<unsigned>(reader_.get(RICE_PARAMETER_BITS));
        }
        return unzigzag(reader_.get_rice(parameters_[channel], width_));
    }
    bool overrun() const { return reader_.overrun(); }

private:
    BitReader reader_;
    std::vector<unsigned> parameters_;
    unsigned width_;
    size_t frame_ = 0;
};

// Residuals read as `Residuals` reads them, but 0 for the elements of gaps,
// which have none coded; asked in element order.
template <typename Residuals>
class NumbersOnly {
public:
    NumbersOnly(Residuals residuals, const std::vector<GapRun>& gaps) : residuals_(std::move(residuals)), gaps_(gaps) {}
    int64_t next(unsigned channel) { return gaps_.contains(element_++) ? 0 : residuals_.next(channel); }
    int64_t next(unsigned channel, uint64_t context) {
        return gaps_.contains(element_++) ? 0 : residuals_.next(channel, context);
    }
    int64_t next_run_difference() { return residuals_.next_run_difference(); }
    bool overrun() const { return residuals_.overrun(); }

private:
    Residuals residuals_;
    GapMask gaps_;
    uint64_t element_ = 0;
};

// The values of `frames` frames of `channels` each, channel coding applied
// or undone in place: a run at a time, so each coding's loop runs whole.
void code_channels(ChannelCoding coding, int64_t* v, size_t frames, unsigned channels, unsigned width) {
    auto minus = [width](int64_t a, int64_t b) { return wrap(static_cast<uint64_t>(a) - static_cast<uint64_t>(b), width); };
    const size_t end = frames * channels;
    if (coding == ChannelCoding::MidSide) {
        for (size_t f = 0; f < end; f += 2) {
            const int64_t side = minus(v[f], v[f + 1]);
            v[f] = wrap(static_cast<uint64_t>(v[f + 1]) + static_cast<uint64_t>(side >> 1), width);
            v[f + 1] = side;
        }
    } else if (coding == ChannelCoding::FromPrevious) {
        for (size_t f = 0; f < end; f += channels) {
            for (size_t c = channels; c-- > 1;) v[f + c] = minus(v[f + c], v[f + c - 1]);
        }
    } else if (coding == ChannelCoding::FromSecond || coding == ChannelCoding::FromSecondOfThree) {
        const size_t coupled = coding == ChannelCoding::FromSecond ? channels : 3;
        for (size_t f = 0; f < end; f += channels) {
            v[f] = minus(v[f], v[f + 1]);
            for (size_t c = 2; c < coupled; ++c) v[f + c] = minus(v[f + c], v[f + 1]);
        }
    } else if (coding == ChannelCoding::ReversibleColour) {
        for (size_t f = 0; f < end; f += channels) {
            v[f] = minus(v[f], v[f + 1]), v[f + 2] = minus(v[f + 2], v[f + 1]);
            v[f + 1] = wrap(static_cast<uint64_t>(v[f + 1]) + static_cast<uint64_t>((v[f] + v[f + 2]) >> 2), width);
        }
    }
}

void uncode_channels(ChannelCoding coding, int64_t* v, size_t frames, unsigned channels, unsigned width) {
    auto plus = [width](int64_t a, int64_t b) { return wrap(static_cast<uint64_t>(a) + static_cast<uint64_t>(b), width); };
    const size_t end = frames * channels;
    if (coding == ChannelCoding::MidSide) {
        for (size_t f = 0; f < end; f += 2) {
            const int64_t side = v[f + 1];
            const int64_t right = wrap(static_cast<uint64_t>(v[f]) - static_cast<uint64_t>(side >> 1), width);
            v[f] = plus(side, right);
            v[f + 1] = right;
        }
    } else if (coding == ChannelCoding::FromPrevious) {
        for (size_t f = 0; f < end; f += channels) {
            for (size_t c = 1; c < channels; ++c) v[f + c] = plus(v[f + c], v[f + c - 1]);
        }
    } else if (coding == ChannelCoding::FromSecond || coding == ChannelCoding::FromSecondOfThree) {
        const size_t coupled = coding == ChannelCoding::FromSecond ? channels : 3;
        for (size_t f = 0; f < end; f += channels) {
            v[f] = plus(v[f], v[f + 1]);
            for (size_t c = 2; c < coupled; ++c) v[f + c] = plus(v[f + c], v[f + 1]);
        }
    } else if (coding == ChannelCoding::ReversibleColour) {
        for (size_t f = 0; f < end; f += channels) {
            v[f + 1] = wrap(static_cast<uint64_t>(v[f + 1]) - static_cast<uint64_t>((v[f] + v[f + 2]) >> 2), width);
            v[f] = plus(v[f], v[f + 1]), v[f + 2] = plus(v[f + 2], v[f + 1]);
        }
    }
}

// A channel's predictor as the block's choice names it.
class ChannelPredictor {
public:
    // `frames`: the most it will be given.
    ChannelPredictor(const Choice& choice, unsigned channel, unsigned width, uint64_t frames)
        : width_(width), polynomial_(choice.predictor == PredictorKind::Polynomial ? choice.orders[channel] : 0, width),
          cascade_(cascade_preset(choice.predictor == PredictorKind::Cascade ? choice.preset : 0), width),
          kind_(choice.predictor) {
        if (kind_ == PredictorKind::Plane) plane_.emplace(choice.plane_mode, choice.row, width, frames);
        if (kind_ == PredictorKind::Raster) raster_.emplace(choice.plane_mode, choice.row, width, frames);
    }

    // The residuals of `count` values `stride` apart, into `out` at the same
    // places, and for a raster their coding contexts into `contexts`; and
    // values back from such residuals, in place.
    void residuals(const int64_t* values, size_t stride, size_t count, int64_t* out, uint64_t* contexts) {
        if (kind_ == PredictorKind::Polynomial) return polynomial_.residuals(values, stride, count, out);
        if (kind_ == PredictorKind::Raster) return raster_->residuals(values, stride, count, out, contexts);
        if (kind_ == PredictorKind::Plane) return plane_->residuals(values, stride, count, out);
        for (size_t i = 0; i < count; ++i) out[i * stride] = cascade_.residual_of(values[i * stride]);
    }
    // A raster's next prediction and its residual's context; then the value back from the residual.
    RasterPredictor& raster() { return *raster_; }
    uint64_t raster_context() {
        raster_prediction_ = raster_->predict();
        return raster_->context();
    }
    int64_t raster_value(int64_t residual) {
        const int64_t value = wrap(static_cast<uint64_t>(residual) + static_cast<uint64_t>(raster_prediction_), width_);
        raster_->push(value);
        return value;
    }
    void restore(int64_t* residuals, size_t stride, size_t count) {
        if (kind_ == PredictorKind::Polynomial) return polynomial_.restore(residuals, stride, count);
        if (kind_ == PredictorKind::Plane) return plane_->restore(residuals, stride, count);
        for (size_t i = 0; i < count; ++i) residuals[i * stride] = cascade_.value_of(residuals[i * stride]);
    }
    // Moves past a gap's element: its value is taken as its prediction, as
    // the decoder takes it from a residual of 0.
    void skip() {
        if (kind_ == PredictorKind::Raster) {
            raster_context();
            raster_value(0);
            return;
        }
        int64_t residual = 0;
        restore(&residual, 1, 1);
    }

private:

    unsigned width_;
    Polynomial polynomial_;
    Cascade cascade_;
    PredictorKind kind_;
    std::optional<PlanePredictor> plane_;
    std::optional<RasterPredictor> raster_;
    int64_t raster_prediction_ = 0;
};

// Frames are coded a run of this many at a time, each stage of the coding
// over the whole run.
constexpr size_t RUN_FRAMES = RICE_PARTITION;

// Frames of a block read through a value transform, and its gaps.
class Frames {
public:
    Frames(const SampleLayout& layout, ByteView elements, const ValueTransform& transform, const std::vector<GapRun>& gaps)
        : layout(layout), transform(transform), channels(transform.channels()), gaps(gaps), elements_(elements),
          frame_bytes_(layout.frame_bytes()) {}
    size_t count() const { return elements_.size() / frame_bytes_; }
    // The values of `count` frames from `first` on, channel by channel within each.
    void read(size_t first, size_t count, int64_t* out) const {
        if (count == 0) return;  // a block of no whole frame has no element to point at
        if (!values_.empty()) {
            std::copy_n(&values_[first * channels], count * channels, out);
        } else {
            transform.values(&elements_[first * frame_bytes_], count * channels, out);
        }
    }
    // Holds every value from now on where the transform costs more than a
    // copy and the values are few enough (MOST_HELD_VALUES): a block's
    // trials and coding read them several times.
    void hold_values() {
        const size_t values = count() * channels;
        if (transform.kind() == TransformKind::Integers || values > MOST_HELD_VALUES) return;
        values_.resize(values);
        transform.values(elements_.data(), values, values_.data());
    }

    const SampleLayout& layout;
    const ValueTransform& transform;
    const unsigned channels;  // the values of a frame
    const std::vector<GapRun>& gaps;

private:
    static constexpr size_t MOST_HELD_VALUES = size_t{1} << 20;

    ByteView elements_;
    size_t frame_bytes_;
    KeptVector<int64_t> values_;  // every frame's, if held
};

// Whether a choice is the median edge detector with runs of frames.
bool raster_runs(const Choice& choice) {
    return choice.predictor == PredictorKind::Raster && choice.plane_mode == RASTER_MEDIAN_RUNS;
}

// The magnitudes a choice's residual coder takes, for values of `width`
// bits: a raster run's length too (raster_runs.h).
unsigned coded_magnitude_bits(const Choice& choice, unsigned width) {
    return raster_runs(choice) ? std::max(width, RUN_LENGTH_BITS) : width;
}

// A run of a raster's frames (raster_runs.h) as the encoder found it.
struct FoundRun {
    size_t frame;        // where it starts, in the frames of a next()
    int64_t difference;  // its length less the one expected
};

// The residuals of a block's frames under a choice, a run at a time.
class ResidualRuns {
public:
    ResidualRuns(const Frames& source, const Choice& choice, size_t first)
        : source_(source), choice_(choice), next_(first), channels_(source.channels),
          width_(coded_width(choice.channels, source.transform.width())), values_(RUN_FRAMES * channels_), residuals_(RUN_FRAMES * channels_),
          contexts_(choice.predictor == PredictorKind::Raster ? RUN_FRAMES * channels_ : 0), gap_mask_(source.gaps),
          uncoded_(choice.numbers_only || raster_runs(choice) ? RUN_FRAMES * channels_ : 0) {
        for (unsigned c = 0; c < channels_; ++c) predictors_.emplace_back(choice, c, width_, source.count() - first);
        if (raster_runs(choice)) {
            for (unsigned c = 0; c < channels_; ++c) rasters_[c] = &predictors_[c].raster();
            ahead_.resize(RUN_FRAMES * channels_);
        }
    }
    // A raster's residuals' coding contexts, from the last next().
    const uint64_t* contexts() const { return contexts_.data(); }
    // Which of the last next()'s residuals are not coded (0 each), if any
    // are not: the elements of gaps in blocks that code none for them, the
    // frames of a raster's runs; else nothing.
    const uint8_t* uncoded() const { return any_uncoded_ ? uncoded_.data() : nullptr; }
    // The runs of a raster's frames that start in the last next().
    const std::vector<FoundRun>& found_runs() const { return found_runs_; }
    // Those of the next `count` frames (at most RUN_FRAMES), channel by
    // channel within each frame.
    std::span<const int64_t> next(size_t count) {
        source_.read(next_, count, values_.data());
        any_uncoded_ = choice_.numbers_only && gap_mask_.fill(uint64_t{next_} * channels_, count * channels_, uncoded_.data());
        next_ += count;
        code_channels(choice_.channels, values_.data(), count, channels_, width_);
        if (raster_runs(choice_)) {
            residuals_with_runs(next_ - count, count);
            return std::span(residuals_.data(), count * channels_);
        }
        for (unsigned c = 0; c < channels_; ++c) {
            if (any_uncoded_) {
                channel_residuals_over_gaps(c, count);
                continue;
            }
            predictors_[c].residuals(&values_[c], channels_, count, &residuals_[c],
                                     contexts_.empty() ? nullptr : &contexts_[c]);
        }
        return std::span(residuals_.data(), count * channels_);
    }

private:
    // Channel c's residuals of the run, its predictor moving past its gaps'
    // elements (each its prediction, its residual 0) between stretches of numbers.
    void channel_residuals_over_gaps(unsigned c, size_t count) {
        for (size_t i = 0; i < count;) {
            size_t end = i;
            while (end < count && !uncoded_[end * channels_ + c]) ++end;
            if (end > i) {
                const size_t at = i * channels_ + c;
                predictors_[c].residuals(&values_[at], channels_, end - i, &residuals_[at],
                                         contexts_.empty() ? nullptr : &contexts_[at]);
            }
            for (i = end; i < count && uncoded_[i * channels_ + c]; ++i) {
                predictors_[c].skip();
                residuals_[i * channels_ + c] = 0;
            }
        }
    }
    // The residuals of `count` frames from `first` under the median edge
    // detector with runs: frame by frame, runs found where they start.
    void residuals_with_runs(size_t first, size_t count) {
        found_runs_.clear();
        std::fill_n(uncoded_.begin(), count * channels_, 0);
        for (size_t i = 0; i < count;) {
            if (const uint64_t left = runs_.left()) {
                const size_t taken = static_cast<size_t>(std::min<uint64_t>(left, count - i));
                for (unsigned c = 0; c < channels_; ++c) rasters_[c]->repeat_west(taken, nullptr, 0);
                std::fill_n(&uncoded_[i * channels_], taken * channels_, 1);
                runs_.take(taken);
                i += taken;
                any_uncoded_ = true;
                continue;
            }
            if (runs_.starts(rasters_.data(), channels_)) {
                const uint64_t remaining = std::min<uint64_t>(rasters_[0]->row_left(), source_.count() - (first + i));
                const uint64_t length = run_length(first + i, remaining);
                const uint64_t expected = RasterRuns::expected_length(rasters_.data(), channels_, remaining);
                found_runs_.push_back({i, static_cast<int64_t>(length) - static_cast<int64_t>(expected)});
                runs_.begin(length, remaining);
                continue;
            }
            // This frame and those after it in its row up to where a run
            // starts, coded as usual a channel at a time.
            const size_t end = i + static_cast<size_t>(std::min<uint64_t>(count - i, rasters_[0]->row_left()));
            size_t stop = i + 1;
            while (stop < end && !run_ahead(stop - i, stop)) ++stop;
            for (unsigned c = 0; c < channels_; ++c) {
                const size_t at = i * channels_ + c;
                rasters_[c]->residuals(&values_[at], channels_, stop - i, &residuals_[at], &contexts_[at]);
                if (runs_.stopping()) contexts_[at] = STOPPING_CONTEXT;
            }
            runs_.code_one();
            i = stop;
        }
    }
    // Whether a run starts at frame `frame` of the last next(), `ahead`
    // frames after the next one its predictors take, with no run between.
    bool run_ahead(size_t ahead, size_t frame) const {
        for (unsigned c = 0; c < channels_; ++c) {
            if (!rasters_[c]->flat_ahead(ahead, values_[(frame - 1) * channels_ + c])) return false;
        }
        return true;
    }
    // How many of the `remaining` frames from `frame` on equal the one before
    // it (values compared before their channel coding, which keeps frames
    // equal or unequal), read in pieces that grow as the run goes on.
    uint64_t run_length(size_t frame, uint64_t remaining) {
        std::array<int64_t, MAX_CHANNELS> west;
        source_.read(frame - 1, 1, west.data());
        uint64_t length = 0;
        for (size_t piece = 16; length < remaining; piece = std::min(2 * piece, RUN_FRAMES)) {
            const size_t count = static_cast<size_t>(std::min<uint64_t>(piece, remaining - length));
            source_.read(frame + length, count, ahead_.data());
            for (size_t f = 0; f < count; ++f, ++length) {
                for (unsigned c = 0; c < channels_; ++c) {
                    if (ahead_[f * channels_ + c] != west[c]) return length;
                }
            }
        }
        return length;
    }

    const Frames& source_;
    const Choice& choice_;
    size_t next_;
    unsigned channels_, width_;
    std::vector<ChannelPredictor> predictors_;
    std::vector<int64_t> values_, residuals_;
    std::vector<uint64_t> contexts_;
    GapMask gap_mask_;
    std::vector<uint8_t> uncoded_;
    bool any_uncoded_ = false;
    // The median edge detector with runs: its predictors, its runs, the
    // frames ahead of one.
    std::array<RasterPredictor*, MAX_CHANNELS> rasters_{};
    RasterRuns runs_;
    std::vector<FoundRun> found_runs_;
    std::vector<int64_t> ahead_;
};

struct RiceParameter {
    unsigned parameter;
    uint64_t bits;  // that channel's numbers take in the partition, escapes in `width` bits
};

// Of the parameters next to the bits of their mean (at most width - 1), the
// one that codes channel `c` of the partition in the fewest bits.
RiceParameter best_rice_parameter(const std::vector<uint64_t>& partition, unsigned c, unsigned channels, size_t count,
                                  unsigned width) {
    // The channel's numbers gathered, each held below 2^31: one of 2^31 or
    // more escapes at every parameter the 32-bit costing below tries
    // (24 << 26 < 2^31), so the loops run in vector registers.
    std::array<uint32_t, RICE_PARTITION> numbers;
    uint64_t sum = 0;
    for (size_t i = c, n = 0; i < partition.size(); i += channels, ++n) {
        sum += std::min<uint64_t>(partition[i], uint64_t{1} << 48);
        numbers[n] = static_cast<uint32_t>(std::min<uint64_t>(partition[i], INT32_MAX));
    }
    const unsigned guess = std::min(rice_parameter(sum, count), width - 1);
    const unsigned lowest = guess > 1 ? guess - 2 : 0;
    // Escapes are counted as 64 bits, whatever the width, and apart.
    std::array<uint64_t, 4> bits{}, escapes{};
    if (lowest + 3 <= 26) {
        // Each parameter's quotients held at the escape, and the escapes
        // counted: a number costs its quotient, 1 and k bits, an escape
        // RICE_ESCAPE + 64, so 63 - k more than its held quotient's code.
        std::array<uint32_t, 4> held{}, escaped{};  // at most RICE_PARTITION * 24
        for (size_t i = 0; i < count; ++i) {
            const uint32_t quotient = numbers[i] >> lowest;
            for (unsigned j = 0; j < 4; ++j) {
                held[j] += std::min<uint32_t>(quotient >> j, RICE_ESCAPE);
                escaped[j] += (quotient >> j) >= RICE_ESCAPE;
            }
        }
        for (unsigned j = 0; j < 4; ++j) {
            const unsigned k = lowest + j;
            bits[j] = held[j] + uint64_t{count} * (1 + k) + uint64_t{escaped[j]} * (63 - k);
            escapes[j] = escaped[j];
        }
    } else {
        for (size_t i = c; i < partition.size(); i += channels) {
            for (unsigned j = 0; j < 4; ++j) {
                const uint64_t quotient = partition[i] >> (lowest + j);
                bits[j] += quotient < RICE_ESCAPE ? quotient + 1 + lowest + j : RICE_ESCAPE + 64;
                escapes[j] += quotient >= RICE_ESCAPE;
            }
        }
    }
    unsigned best = guess;
    uint64_t fewest = UINT64_MAX;
    for (unsigned j = 0; j < 4 && lowest + j <= guess + 1 && lowest + j < 63; ++j) {
        if (bits[j] < fewest) fewest = bits[j], best = lowest + j;
    }
    return {best, fewest - escapes[best - lowest] * (64 - width)};
}

// Rice codes of the residuals, a partition at a time: each channel's
// parameter the best near the bits of its residuals' mean there. With
// `starts`, the bits written before each partition and, last, in all.
// Without `out`, it writes nothing and returns how many bits it would.
uint64_t rice_residuals(ResidualRuns& runs, size_t frames, unsigned channels, unsigned width, std::vector<uint8_t>* out,
                        std::vector<uint64_t>* starts) {
    std::vector<uint8_t> none;
    BitWriter writer(out ? *out : none);
    uint64_t counted = 0;
    std::vector<uint64_t> partition;
    std::array<unsigned, MAX_CHANNELS> parameters{};
    for (size_t done = 0; done < frames; done += RICE_PARTITION) {
        const size_t count = std::min(RICE_PARTITION, frames - done);
        if (starts) starts->push_back(writer.bits_written());
        const std::span<const int64_t> residuals = runs.next(count);
        partition.resize(residuals.size());
        for (size_t i = 0; i < residuals.size(); ++i) partition[i] = zigzag(residuals[i]);
        for (unsigned c = 0; c < channels; ++c) {
            const RiceParameter best = best_rice_parameter(partition, c, channels, count, width);
            parameters[c] = best.parameter;
            counted += RICE_PARAMETER_BITS + best.bits;
            if (out) writer.put(parameters[c], RICE_PARAMETER_BITS);
        }
        if (out) writer.put_rice_frames(partition, std::span(parameters).first(channels), width);
    }
    if (starts) starts->push_back(writer.bits_written());
    writer.finish();
    return counted;
}

// The first of `uncoded`'s flags from `first` to `limit` that is 0, else `limit`.
size_t first_coded(const uint8_t* uncoded, size_t first, size_t limit) {
    constexpr uint64_t ALL_UNCODED = 0x0101010101010101;
    size_t i = first;
    for (; i + 8 <= limit; i += 8) {
        uint64_t eight;
        std::memcpy(&eight, &uncoded[i], 8);
        if (eight != ALL_UNCODED) break;
    }
    while (i < limit && uncoded[i]) ++i;
    return i;
}

// Appends to `out` the residual bytes of `frames` frames from `first` on
// under `choice`; returns how many of them are tables. With `estimate`, a
// range-coded or tabled choice writes nothing and sets it to the estimated
// size of its residuals instead. With `rice_starts`, Rice codes give where
// each partition starts (rice_residuals()).
size_t code_residuals(const Frames& source, size_t frames, const Choice& choice, size_t first, std::vector<uint8_t>& out,
                      uint64_t* estimate = nullptr, std::vector<uint64_t>* rice_starts = nullptr) {
    const unsigned channels = source.channels, width = coded_width(choice.channels, source.transform.width());
    ResidualRuns runs(source, choice, first);
    if (choice.residuals == ResidualCoding::Rice) {
        rice_residuals(runs, frames, channels, width, &out, rice_starts);
        return 0;
    }
    // Each residual through `code(stream, residual)`, and a raster run's
    // length where it starts.
    auto code_runs = [&](auto&& code) {
        std::vector<ResidualStream> streams(channels);
        ResidualStream run_stream;
        for (size_t done = 0; done < frames; done += RUN_FRAMES) {
            const std::span<const int64_t> run = runs.next(std::min(RUN_FRAMES, frames - done));
            const uint64_t* contexts = choice.predictor == PredictorKind::Raster ? runs.contexts() : nullptr;
            const uint8_t* uncoded = runs.uncoded();
            auto found = runs.found_runs().begin();
            for (size_t i = 0; i < run.size(); i += channels) {
                if (found != runs.found_runs().end() && found->frame * channels == i) {
                    run_stream.mean16 = RUN_LENGTH_CONTEXT;
                    code(run_stream, found->difference);
                    ++found;
                } else if (uncoded && uncoded[i]) {
                    // Straight past the frames none of whose residuals is
                    // coded, up to the next run's start.
                    const size_t limit = found != runs.found_runs().end() ? found->frame * channels : run.size();
                    const size_t coded = first_coded(uncoded, i, limit);
                    if (const size_t frame = coded - coded % channels; frame > i) {
                        i = frame - channels;
                        continue;
                    }
                }
                for (unsigned c = 0; c < channels; ++c) {
                    if (uncoded && uncoded[i + c]) continue;
                    if (contexts) streams[c].mean16 = contexts[i + c];  // a raster's context: the residuals around
                    code(streams[c], run[i + c]);
                }
            }
        }
    };
    const unsigned magnitude_bits = coded_magnitude_bits(choice, width);
    if (choice.residuals == ResidualCoding::Tabled || estimate) {
        TabledResidualWriter writer(magnitude_bits, estimate != nullptr, frames * channels);
        code_runs([&](ResidualStream& stream, int64_t residual) { writer.add(stream, residual); });
        if (estimate) {
            *estimate = writer.estimated_size();
            return 0;
        }
        return writer.finish(out);
    }
    RangeEncoder coder(out);
    ResidualCoder residuals(magnitude_bits);
    code_runs([&](ResidualStream& stream, int64_t residual) { residuals.encode(coder, stream, residual); });
    coder.finish();
    return 0;
}

// How many residual bytes `frames` frames from `first` on take under
// `choice`, less any tables: a trial on few frames would overweigh them.
// Below the full effort, their entropy by context stands for the range
// coder's or the tables' output (within a few percent, the same for every
// choice), at a quarter of the time; Rice codes are counted, exactly.
size_t residual_size(const Frames& source, size_t frames, const Choice& choice, size_t first, SampleEffort effort) {
    if (choice.residuals == ResidualCoding::Rice) {
        ResidualRuns runs(source, choice, first);
        return (rice_residuals(runs, frames, source.channels, coded_width(choice.channels, source.transform.width()),
                               nullptr, nullptr) + 7) / 8;
    }
    std::vector<uint8_t> out;
    if (effort != SampleEffort::Full) {
        uint64_t estimate = 0;
        code_residuals(source, frames, choice, first, out, &estimate);
        return static_cast<size_t>(estimate);
    }
    const size_t tables = code_residuals(source, frames, choice, first, out);
    return out.size() - tables;
}

struct Orders {
    std::vector<uint8_t> orders;
    uint64_t bits = 0;  // their residuals' magnitudes' bits, and one more a residual (as a Rice code's end)
};

// The polynomial order per channel with the smallest estimated cost on
// the trial frames' values (`channels` a frame, of `value_width` bits): the
// bits of its residuals' magnitudes.
Orders best_orders(std::span<const int64_t> trial, unsigned channels, unsigned value_width, ChannelCoding coding) {
    const size_t frames = trial.size() / channels;
    const unsigned width = coded_width(coding, value_width);
    std::vector<std::array<uint64_t, 4>> cost(channels);
    std::vector<std::array<int64_t, 3>> past(channels);
    std::vector<int64_t> values(RUN_FRAMES * channels);
    for (size_t done = 0; done < frames; done += RUN_FRAMES) {
        const size_t count = std::min(RUN_FRAMES, frames - done);
        std::copy_n(&trial[done * channels], count * channels, values.data());
        code_channels(coding, values.data(), count, channels, width);
        for (unsigned c = 0; c < channels; ++c) add_polynomial_bits(past[c], width, &values[c], channels, count, cost[c]);
    }
    Orders best{std::vector<uint8_t>(channels)};
    for (unsigned c = 0; c < channels; ++c) {
        best.orders[c] = static_cast<uint8_t>(std::min_element(cost[c].begin(), cost[c].end()) - cost[c].begin());
        best.bits += cost[c][best.orders[c]] + frames;
    }
    return best;
}

// A block's header: `lead`, its layout and gaps (the same for every
// choice, and coded once), then the transform and the choice.
void write_header(std::span<const uint8_t> lead, const ValueTransform& transform, const Choice& choice,
                  std::vector<uint8_t>& out) {
    out.insert(out.end(), lead.begin(), lead.end());
    transform.write(out);
    out.push_back(static_cast<uint8_t>(choice.channels));
    out.push_back(static_cast<uint8_t>(choice.predictor));
    if (choice.predictor == PredictorKind::Polynomial) out.insert(out.end(), choice.orders.begin(), choice.orders.end());
    else if (choice.predictor == PredictorKind::Cascade) out.push_back(choice.preset);
    else out.push_back(choice.plane_mode);  // plane and raster
    out.push_back(choice.numbers_only ? (choice.residuals == ResidualCoding::Range ? NUMBERS_ONLY_RANGE : NUMBERS_ONLY_TABLED)
                                      : static_cast<uint8_t>(choice.residuals));
}

// The channel codings a layout's trials choose from, for values of
// `channels` a frame and `width` bits. Colour pixels with alpha keep alpha
// apart: less green, it only takes on the colour's edges. A block with
// gaps codes its channels apart: a gap's element, taken as its prediction,
// would change the values of the channels coded from it.
std::vector<ChannelCoding> channel_codings(const SampleLayout& layout, unsigned channels, unsigned width, bool gaps) {
    if (channels == 1 || gaps) return {ChannelCoding::Apart};
    if (channels == 2) return {ChannelCoding::Apart, ChannelCoding::MidSide, ChannelCoding::FromPrevious};
    std::vector<ChannelCoding> codings{ChannelCoding::Apart, ChannelCoding::FromPrevious};
    if (channels == 3 && layout.pixels && width <= MOST_COLOUR_TRANSFORM_WIDTH) {
        codings.push_back(ChannelCoding::ReversibleColour);
        return codings;
    }
    if (channels == 3 || !layout.pixels) codings.push_back(ChannelCoding::FromSecond);
    if (channels > 3) codings.push_back(ChannelCoding::FromSecondOfThree);
    return codings;
}

// Blocks of fewer residuals than this code them with adaptive frequencies
// rather than tables, whose some 500 bytes cost more the shorter the
// block: two small MRI volumes of 21,420 and 33,825 residuals came out
// 1.3% and 1.1% larger in tables, and coded 1.7 times as fast and decoded
// 1.9 times as fast. At the fastest effort the bound is lower: in tables,
// a table of prices of 5,240 residuals came out 3.8% larger and decoded
// 2.6 times as fast.
constexpr uint64_t FEWEST_TABLED = uint64_t{1} << 14, FEWEST_TABLED_FAST = uint64_t{1} << 12;

// How a block of `residuals` residuals codes them: Rice codes at the
// fastest effort, for speed; next, tables made for the block, twice as fast
// both ways as adaptive frequencies for 0.1 to 1% more bytes; adaptive
// frequencies at full effort. A block with `gaps` is coded in tables or
// adaptive frequencies, where its gaps' elements have no residuals: Rice
// codes would spend 1 + k bits on each (a table of prices with many empty
// cells came out 47% larger).
ResidualCoding residual_coding(SampleEffort effort, uint64_t residuals, bool gaps) {
    if (effort == SampleEffort::Fast && !gaps) return ResidualCoding::Rice;
    const uint64_t fewest_tabled = effort == SampleEffort::Fast ? FEWEST_TABLED_FAST : FEWEST_TABLED;
    return effort != SampleEffort::Full && residuals >= fewest_tabled ? ResidualCoding::Tabled : ResidualCoding::Range;
}

CodecError damaged(const std::string& what) { return {ErrorKind::InvalidData, "sample block: " + what}; }

struct DecodeTarget {
    const SampleLayout& layout;
    const ValueTransform& transform;
    const Choice& choice;
    const std::vector<GapRun>& gaps;
    size_t frames;
    std::span<uint8_t> data;
};

// The runs of a raster's frames as its decoder meets them.
struct RunsRead {
    RasterRuns runs;
    size_t frames;  // the block's
};

// The values of a run of `count` frames from `first`, channel by channel
// within each: a raster's value by value, each residual's context coming
// from the values before it, and with `runs` frame by frame, runs of them
// read where they start; the others' residuals first, then each channel's
// values.
template <typename Residuals>
void decode_run(Residuals& residuals, std::vector<ChannelPredictor>& predictors, bool raster, RunsRead* runs,
                size_t first, int64_t* run, size_t count) {
    const size_t channels = predictors.size();
    if constexpr (!std::is_same_v<Residuals, RiceResiduals>) {  // rasters are coded in contexts
        if (raster) {
            std::array<RasterPredictor*, MAX_CHANNELS> rasters;
            for (unsigned c = 0; c < channels; ++c) rasters[c] = &predictors[c].raster();
            auto next = [&residuals](unsigned c, uint64_t context) { return residuals.next(c, context); };
            for (size_t i = 0; runs && i < count;) {
                if (const uint64_t left = runs->runs.left()) {
                    const size_t taken = static_cast<size_t>(std::min<uint64_t>(left, count - i));
                    for (unsigned c = 0; c < channels; ++c) rasters[c]->repeat_west(taken, &run[i * channels + c], channels);
                    runs->runs.take(taken);
                    i += taken;
                    continue;
                }
                if (runs->runs.starts(rasters.data(), static_cast<unsigned>(channels))) {
                    const uint64_t remaining = std::min<uint64_t>(rasters[0]->row_left(), runs->frames - (first + i));
                    const uint64_t expected = RasterRuns::expected_length(rasters.data(), static_cast<unsigned>(channels), remaining);
                    const int64_t difference = residuals.next_run_difference();
                    if (difference < -static_cast<int64_t>(expected) || difference > static_cast<int64_t>(remaining - expected)) {
                        throw std::runtime_error("a run beyond its row");
                    }
                    runs->runs.begin(expected + difference, remaining);
                    continue;
                }
                const bool stopping = runs->runs.stopping();
                runs->runs.code_one();
                // Up to where a run may start, a row's inner stretch at a
                // time (not after a run that stopped: that frame's context is another).
                if (const size_t inner = stopping ? 0 : std::min<uint64_t>(count - i, rasters[0]->inner_median_values())) {
                    i += RasterPredictor::restore_inner_medians<true>(rasters.data(), static_cast<unsigned>(channels),
                                                                      inner, &run[i * channels], next);
                    continue;
                }
                for (unsigned c = 0; c < channels; ++c) {
                    const uint64_t context = predictors[c].raster_context();
                    run[i * channels + c] = predictors[c].raster_value(residuals.next(c, stopping ? STOPPING_CONTEXT : context));
                }
                ++i;
            }
            if (runs) return;
            for (size_t i = 0; i < count;) {
                // A row's inner stretch at a time where the median edge detector predicts it.
                if (const size_t inner = std::min<uint64_t>(count - i, rasters[0]->inner_median_values())) {
                    RasterPredictor::restore_inner_medians(rasters.data(), static_cast<unsigned>(channels), inner,
                                                           &run[i * channels], next);
                    i += inner;
                    continue;
                }
                for (unsigned c = 0; c < channels; ++c) {
                    run[i * channels + c] = predictors[c].raster_value(residuals.next(c, predictors[c].raster_context()));
                }
                ++i;
            }
            return;
        }
    }
    for (size_t i = 0; i < count * channels; i += channels) {
        for (unsigned c = 0; c < channels; ++c) run[i + c] = residuals.next(c);
    }
    for (unsigned c = 0; c < channels; ++c) predictors[c].restore(&run[c], channels, count);
}

// Decodes every frame from `residuals` into the target, a run at a time:
// its values, then its channels, then its elements; the fault found, if any.
template <typename Residuals>
std::optional<CodecError> decode_frames(const DecodeTarget& target, Residuals&& residuals) {
    const unsigned channels = target.transform.channels();
    const unsigned width = coded_width(target.choice.channels, target.transform.width());
    const size_t frame_bytes = target.layout.frame_bytes();
    std::vector<ChannelPredictor> predictors;
    for (unsigned c = 0; c < channels; ++c) predictors.emplace_back(target.choice, c, width, target.frames);
    std::vector<int64_t> run(RUN_FRAMES * channels);
    GapMask gap_mask(target.gaps);
    std::vector<uint8_t> in_gap(target.choice.numbers_only ? run.size() : 0);
    std::optional<RunsRead> runs;
    if (raster_runs(target.choice)) runs.emplace(RunsRead{{}, target.frames});
    try {
        for (size_t first = 0; first < target.frames; first += RUN_FRAMES) {
            const size_t count = std::min(RUN_FRAMES, target.frames - first);
            decode_run(residuals, predictors, target.choice.predictor == PredictorKind::Raster, runs ? &*runs : nullptr,
                       first, run.data(), count);
            uncode_channels(target.choice.channels, run.data(), count, channels, width);
            // A gap's element, its prediction, may be a value the transform
            // does not have; 0 it has, and the gap's NaN is written over it.
            if (target.choice.numbers_only && gap_mask.fill(uint64_t{first} * channels, count * channels, in_gap.data())) {
                for (size_t i = 0; i < count * channels; ++i) run[i] = in_gap[i] ? 0 : run[i];
            }
            if (!target.transform.store(run.data(), count * channels, &target.data[first * frame_bytes])) {
                return damaged("a value its transform does not have");
            }
        }
    } catch (const std::runtime_error& e) {
        return damaged(e.what());
    }
    if (residuals.overrun()) return damaged("its residuals do not end with their bytes");
    return std::nullopt;
}

// Flat rasters (FLAT_SHARE) at the moderate effort try their choices on
// the middle quarter of the trial rows first, and on all of them only the
// choices within 1/FIRST_LOOK_MARGIN of the best there. On the 21 rasters
// of our corpus and 195 crops of them, every choice was the one all the
// rows gave; with no margin, 3 of the 52 flat ones chose otherwise (2.2%
// larger at worst). So do the cascades where a raster's polynomial leads
// its rows (try_cascades()).
constexpr size_t FIRST_LOOK_MARGIN = 16;

// The cascades at `effort` against `choice`, on frames from the block's
// middle: `choice` becomes the one that codes them smallest. The moderate
// effort skips them where every channel codes best as it is (polynomial
// order 0: values the ones before do not foretell, such as the gaps and
// quotients zelk.matrix codes in series): its short cascades saved 7 bytes
// in two of 360 matrix blobs there, and nothing in our corpora, for 10 to
// 17% of the time of the slowest matrix bench case and up to a third of a
// 64x64 band's. Where `look_first`, a cascade is tried on all the frames
// only if it comes within 1/FIRST_LOOK_MARGIN of `choice` on the middle
// quarter: of 389 cascades that won on stacks of 2 to 8 speech signals of
// 128 to 4096 samples, none came above 1.2% there, while on tiles of the
// camera image, where none won, all came 4.9% above it or more, and
// the trials took a fifth of a 128x128 tile's time.
void try_cascades(const Frames& source, SampleEffort effort, Choice& choice, bool look_first = false) {
    const bool unforetold = choice.predictor == PredictorKind::Polynomial &&
                            std::all_of(choice.orders.begin(), choice.orders.end(), [](uint8_t o) { return o == 0; });
    if (effort == SampleEffort::Moderate && unforetold) return;
    const size_t trial = effort == SampleEffort::Moderate ? TRIAL_FRAMES : PREDICTOR_TRIAL_FRAMES;
    const size_t frames = std::min(source.count(), trial), first = (source.count() - frames) / 2;
    size_t smallest = residual_size(source, frames, choice, first, effort);
    if (smallest == 0) return;  // nothing codes smaller: constant values, say
    const std::vector<uint8_t> presets = effort == SampleEffort::Moderate ? std::vector<uint8_t>{1, 2}
                                                                          : std::vector<uint8_t>{0, 1, 2, 3, 4, 5};
    Choice cascade = choice;
    cascade.predictor = PredictorKind::Cascade;
    const size_t look = look_first ? frames / 4 : 0, look_start = first + (frames - look) / 2;
    const size_t look_size = look != 0 ? residual_size(source, look, choice, look_start, effort) : 0;
    for (uint8_t preset : presets) {
        cascade.preset = preset;
        if (look != 0 && residual_size(source, look, cascade, look_start, effort) * FIRST_LOOK_MARGIN >
                             look_size * (FIRST_LOOK_MARGIN + 1)) {
            continue;
        }
        const size_t size = residual_size(source, frames, cascade, first, effort);
        if (size < smallest) smallest = size, choice = cascade;
    }
}

// Rows with at least this share (in 256ths) of frames where runs would
// start are tried with runs, in place of the median edge detector alone,
// and without the planes, which code flat areas frame by frame. Measured
// on our rasters: graphics 2 to 6% smaller, the MRI slice and volume 1.8%
// and 2.3%; below it, on photographs, runs cost up to 2.3% (the bricks).
constexpr unsigned FLAT_SHARE = 32;

// Of `frames` frames from `first`, the first of a row of `row`, the share
// in 256ths of those past the first row and column whose W, N, NW and NE
// frames are equal (N's in the last column), as are those where runs start.
unsigned flat_share(const Frames& source, size_t first, size_t frames, uint64_t row) {
    if (frames <= row) return 0;
    const unsigned channels = source.channels;
    // Two rows at a time, the one above and this one, rather than every
    // trial row's values at once (256 KiB of them on matplotlib's logo).
    const size_t row_values = static_cast<size_t>(row) * channels;
    std::vector<int64_t> above(row_values), here(row_values);
    source.read(first, static_cast<size_t>(row), above.data());
    // A loop rather than std::equal, which calls memcmp for a few values
    // (5% of level 3's time on matplotlib's logo).
    auto equal = [channels](const int64_t* a, const int64_t* b) {
        for (unsigned c = 0; c < channels; ++c) {
            if (a[c] != b[c]) return false;
        }
        return true;
    };
    size_t flat = 0;
    for (size_t start = row; start < frames; start += row) {
        const size_t count = std::min<size_t>(row, frames - start);  // the last row may be cut short
        source.read(first + start, count, here.data());
        for (size_t x = 1; x < count; ++x) {
            const int64_t* north = &above[x * channels];
            flat += equal(&here[(x - 1) * channels], north) && equal(north - channels, north) &&
                    (x + 1 == row || equal(north + channels, north));
        }
        above.swap(here);
    }
    return static_cast<unsigned>(flat * 256 / frames);
}

// At the full effort a palette's indices (a graphic's: its rows seldom
// alike; one channel, quick to try) settle a close call, their two best
// choices within 1/SECOND_LOOK_MARGIN, on the middle quarter of the block:
// scikit-image's logo chose the blend on 2^13 frames (1% ahead) and came
// out 2.6% larger than with the median edge detector, larger than at
// level 3. Not for other rasters: on photographs such calls are frequent,
// the choice was the same on a quarter of the block or all of it, and the
// second look took 10 to 35% more time.
constexpr size_t SECOND_LOOK_MARGIN = 64;

// Of `choices`, the one that codes `frames` frames from `first` (whole
// rows of `row` frames) smallest, first looked at on a quarter of them as
// above; with its size on all of them, which weighs the block's palette
// against its values (scaled from the quarter, it tipped a QR code's
// graphic into a palette whose table cost more than it saved). The size
// is nullopt, and not measured, where it is not `wanted` and one choice
// alone came within the margin (a third of the trials' time on a 128x128
// icon), or where the first look puts the best at more than twice the
// `rival`'s size on these frames (a palette's: matplotlib's logo).
std::pair<Choice, std::optional<size_t>> smallest_after_first_look(const Frames& source, size_t frames, size_t first,
                                                                   uint64_t row, SampleEffort effort,
                                                                   const std::vector<Choice>& choices, bool wanted,
                                                                   std::optional<size_t> rival) {
    const size_t look = std::max<size_t>(frames / 4 / row * row, std::min<size_t>(frames, 2 * row));
    const size_t look_first = first + (frames - look) / 2 / row * row;
    std::vector<size_t> looked;
    for (const Choice& choice : choices) looked.push_back(residual_size(source, look, choice, look_first, effort));
    const auto best_one = static_cast<size_t>(std::min_element(looked.begin(), looked.end()) - looked.begin());
    const size_t best = looked[best_one];
    auto close = [&](size_t i) { return looked[i] * FIRST_LOOK_MARGIN <= best * (FIRST_LOOK_MARGIN + 1); };
    size_t close_ones = 0;
    for (size_t i = 0; i < choices.size(); ++i) close_ones += close(i);
    const bool far_behind = rival && uint64_t{best} * frames > uint64_t{2} * *rival * look;
    if ((!wanted && close_ones == 1) || far_behind) return {choices[best_one], std::nullopt};
    size_t chosen = 0, smallest = SIZE_MAX;
    for (size_t i = 0; i < choices.size(); ++i) {
        if (!close(i)) continue;
        const size_t size = residual_size(source, frames, choices[i], first, effort);
        if (size < smallest) smallest = size, chosen = i;
    }
    return {choices[chosen], smallest};
}

// A raster's predictors from the row above, with each channel coding
// (colour planes decorrelate in two dimensions more than along a row),
// against `choice`, on whole rows from the block's middle. Beyond the
// fastest effort, the raster predictors too, whose residuals are coded by
// the residuals around them: the median edge detector, with runs where the
// rows are flat (FLAT_SHARE), and at the full effort the blend. At the
// moderate effort the median edge detector chooses the channel coding,
// under which alone the planes are tried (flat rows take none, and look at
// their choices first on a quarter of the rows); at the fastest, the planes
// are tried under `choice`'s alone.
// Returns the size of the rows' residuals under the choice, for the whole
// block: scaled from the rows tried; nullopt where flat rows did not
// measure it, as it was not `wanted` or far behind the `rival` size for
// the whole block (smallest_after_first_look).
std::optional<size_t> try_rasters(const Frames& source, uint64_t row, SampleEffort effort, Choice& choice,
                                  bool wanted, std::optional<size_t> rival) {
    const size_t frames = trial_frames(source.count(), TRIAL_FRAMES, row);
    const size_t first = (source.count() - frames) / 2 / row * row;
    const bool rasters = effort != SampleEffort::Fast && raster_predicts(source.layout, source.channels);
    // Rows of flat areas take runs.
    const bool flat = rasters && source.gaps.empty() && flat_share(source, first, frames, row) >= FLAT_SHARE;
    const uint8_t median = flat ? RASTER_MEDIAN_RUNS : 0;
    const bool planes = !flat;
    auto whole = [&](size_t size) { return frames == 0 ? size : static_cast<size_t>(uint64_t{size} * source.count() / frames); };
    Choice plane = choice;
    plane.predictor = PredictorKind::Plane;
    plane.row = row;
    Choice raster = plane;
    raster.predictor = PredictorKind::Raster;
    // The fastest effort tries the planes under `choice`'s coding alone:
    // every raster of our corpus chose the same coding under the planes as
    // under the polynomials, and on matplotlib's RGBA logo the other
    // codings' trials were a quarter of the fastest effort's work.
    const std::vector<ChannelCoding> codings =
        effort == SampleEffort::Fast
            ? std::vector<ChannelCoding>{choice.channels}
            : channel_codings(source.layout, source.channels, source.transform.width(), !source.gaps.empty());
    if (flat && effort == SampleEffort::Moderate && frames >= 2 * row) {
        std::vector<Choice> choices{choice};
        raster.plane_mode = median;
        for (ChannelCoding coding : codings) raster.channels = coding, choices.push_back(raster);
        std::optional<size_t> size;
        const std::optional<size_t> rival_here =
            rival ? std::optional(static_cast<size_t>(uint64_t{*rival} * frames / source.count())) : std::nullopt;
        std::tie(choice, size) = smallest_after_first_look(source, frames, first, row, effort, choices, wanted, rival_here);
        return size ? std::optional(whole(*size)) : std::nullopt;
    }
    size_t smallest = residual_size(source, frames, choice, first, effort);
    auto keep_smaller = [&](const Choice& trial) {
        const size_t size = residual_size(source, frames, trial, first, effort);
        if (size < smallest) smallest = size, choice = trial;
        return size;
    };
    if (rasters && effort == SampleEffort::Moderate && codings.size() > 1) {
        size_t best = SIZE_MAX;
        ChannelCoding chosen = codings[0];
        raster.plane_mode = median;
        for (ChannelCoding coding : codings) {
            raster.channels = coding;
            const size_t size = keep_smaller(raster);
            if (size < best) best = size, chosen = coding;
        }
        plane.channels = chosen;
        for (uint8_t mode = 0; planes && mode < PLANE_MODES; ++mode) plane.plane_mode = mode, keep_smaller(plane);
        return whole(smallest);
    }
    // The runner-up, for a second look.
    Choice second;
    size_t second_size = SIZE_MAX;
    auto keep_two = [&](const Choice& trial) {
        const size_t size = residual_size(source, frames, trial, first, effort);
        if (size < smallest) second = std::exchange(choice, trial), second_size = std::exchange(smallest, size);
        else if (size < second_size) second = trial, second_size = size;
    };
    for (ChannelCoding coding : codings) {
        plane.channels = raster.channels = coding;
        for (uint8_t mode = 0; planes && mode < PLANE_MODES; ++mode) plane.plane_mode = mode, keep_two(plane);
        if (!rasters) continue;
        raster.plane_mode = median, keep_two(raster);
        if (effort == SampleEffort::Full) raster.plane_mode = RASTER_BLEND, keep_two(raster);
    }
    // A palette's close call, looked at again (SECOND_LOOK_MARGIN).
    const size_t wider = source.count() / 4 / row * row;
    if (effort == SampleEffort::Full && source.transform.kind() == TransformKind::Palette && wider > frames &&
        second_size != SIZE_MAX && second_size * SECOND_LOOK_MARGIN <= smallest * (SECOND_LOOK_MARGIN + 1)) {
        const size_t wider_first = (source.count() - wider) / 2 / row * row;
        size_t best = residual_size(source, wider, choice, wider_first, effort);
        if (const size_t other = residual_size(source, wider, second, wider_first, effort); other < best) {
            choice = second, best = other;
        }
        return static_cast<size_t>(uint64_t{best} * source.count() / wider);
    }
    return whole(smallest);
}

// The sample block of `data` under `layout` as given.
std::vector<uint8_t> encode_block_as(ByteView data, const SampleLayout& layout, SampleEffort effort, FramesCost* cost) {
    const size_t whole = data.size() / layout.frame_bytes() * layout.frame_bytes();
    std::vector<uint8_t> held;
    const std::vector<GapRun> gaps = fill_gaps(layout, data.first(whole), held).value_or(std::vector<GapRun>{});
    const ByteView elements = gaps.empty() ? data.first(whole) : ByteView(held);
    std::vector<uint8_t> lead;
    write_layout(layout, lead);
    write_gaps(layout, gaps, whole / layout.element_size(), lead);
    const uint64_t row = raster_row(layout);
    const std::vector<ValueTransform> transforms = exact_transforms(layout, elements);

    // At the moderate effort a raster's rows, tried with their residuals
    // coded, decide: what comes before them is chosen on estimates, and the
    // cascades, slow to try, come after them, only where a polynomial still
    // leads (a stack of signals, say).
    const bool rows_decide = row != 0 && effort == SampleEffort::Moderate;

    // The transform and channel coding that code frames from the block's
    // middle smallest. The fastest effort takes the estimate, which Rice
    // codes follow closely, and so do rows that decide; the others code the
    // frames, as the range coder learns.
    // A raster's palette competes on its rows (below): along one row it
    // would not show what the rows above give it.
    // A block with gaps takes no palette: its frames' indices would not
    // leave the gaps' elements out.
    const bool palettes = gaps.empty();
    const ValueTransform* palette =
        row != 0 && palettes && transforms.back().kind() == TransformKind::Palette ? &transforms.back() : nullptr;
    const ValueTransform* transform = &transforms[0];
    Choice choice;
    size_t best = SIZE_MAX;
    const bool estimates = effort == SampleEffort::Fast || rows_decide;
    // The fastest effort weighs the transforms with their channels coded
    // apart, then the channel codings under the one chosen alone: a table of
    // prices and volumes spent half its time costing every pair.
    const bool codings_after = effort == SampleEffort::Fast;
    // Where a raster's rows decide, they choose the channel coding of
    // pixels: the polynomials weigh their channels apart alone. On the
    // logos of matplotlib and the RGBA icon, 5 to 10% of level 3's time;
    // of every raster, crop and RGBA image we tried, one 64x64 crop came out
    // otherwise (1% smaller).
    const bool apart_only = rows_decide && layout.pixels;
    // Keeps `candidate` under `coding` if it codes the trial frames smallest yet.
    auto weigh = [&](const ValueTransform& candidate, const Frames& source, std::span<const int64_t> values, size_t first,
                     ChannelCoding coding) {
        Orders orders = best_orders(values, source.channels, candidate.width(), coding);
        Choice trial{coding, PredictorKind::Polynomial, std::move(orders.orders), 0,
                     residual_coding(effort, uint64_t{source.count()} * source.channels, !gaps.empty()),
                     !gaps.empty()};
        std::vector<uint8_t> header;
        write_header(lead, candidate, trial, header);
        const size_t frames = values.size() / source.channels;
        const size_t cost = header.size() + (estimates ? orders.bits / 8 : residual_size(source, frames, trial, first, effort));
        if (cost >= best) return false;
        best = cost, transform = &candidate, choice = std::move(trial);
        return true;
    };
    KeptVector<int64_t> chosen_values;
    size_t chosen_first = 0;
    for (const ValueTransform& candidate : transforms) {
        if (&candidate == palette || (!palettes && candidate.kind() == TransformKind::Palette)) continue;
        const Frames source(layout, elements, candidate, gaps);
        // The fastest effort has no later trial to mend a choice made on few frames.
        const size_t frames = trial_frames(source.count(), effort == SampleEffort::Fast ? 4 * TRIAL_FRAMES : TRIAL_FRAMES, row);
        const size_t first = (source.count() - frames) / 2;
        KeptVector<int64_t> values(frames * source.channels);  // read once for every channel coding
        source.read(first, frames, values.data());
        bool chosen = false;
        for (ChannelCoding coding : channel_codings(layout, source.channels, candidate.width(), !gaps.empty())) {
            chosen |= weigh(candidate, source, values, first, coding);
            if (codings_after || apart_only) break;
        }
        if (chosen && codings_after) chosen_values = std::move(values), chosen_first = first;
    }
    if (codings_after) {
        const ValueTransform& chosen = *transform;
        const Frames source(layout, elements, chosen, gaps);
        const std::vector<ChannelCoding> codings = channel_codings(layout, source.channels, chosen.width(), !gaps.empty());
        for (size_t i = 1; i < codings.size(); ++i) weigh(chosen, source, chosen_values, chosen_first, codings[i]);
    }
    Frames values(layout, elements, *transform, gaps);
    values.hold_values();
    // Predictors, on frames from the block's middle, where its start (often
    // a quiet lead-in) weighs less.
    if (effort != SampleEffort::Fast && !rows_decide) try_cascades(values, effort, choice);
    // A palette's indices are tried first: their size is the rival the
    // values' rows are weighed against.
    std::optional<Frames> colours;
    Choice indices;
    std::vector<uint8_t> palette_header;
    std::optional<size_t> palette_size;
    if (palette) {
        colours.emplace(layout, elements, *palette, gaps);
        colours->hold_values();
        indices = {ChannelCoding::Apart, PredictorKind::Polynomial, {1}, 0, residual_coding(effort, colours->count(), !gaps.empty())};
        const size_t indices_size = *try_rasters(*colours, row, effort, indices, true, std::nullopt);
        write_header(lead, *palette, indices, palette_header);
        palette_size = palette_header.size() + indices_size;
    }
    // The rows' size (measured only where there is a palette, and not where
    // the palette is far ahead).
    std::optional<size_t> rows_size = 0;
    if (row != 0) rows_size = try_rasters(values, row, effort, choice, palette != nullptr, palette_size);
    if (rows_decide && choice.predictor == PredictorKind::Polynomial) try_cascades(values, effort, choice, true);
    const Frames* source = &values;
    std::vector<uint8_t> block;
    if (palette) {
        std::vector<uint8_t> header;
        write_header(lead, *transform, choice, header);
        if (!rows_size || *palette_size < header.size() + *rows_size) {
            transform = palette, choice = std::move(indices), source = &*colours;
            block = std::move(palette_header);
        }
    }
    block.reserve(data.size());  // what a block worth storing fits in
    if (block.empty()) write_header(lead, *transform, choice, block);
    std::vector<uint64_t> starts;
    code_residuals(*source, source->count(), choice, 0, block, nullptr, cost ? &starts : nullptr);
    if (cost && !starts.empty()) {
        const size_t first = std::min(cost->first / RICE_PARTITION, starts.size() - 1);
        const size_t end = std::min((cost->end + RICE_PARTITION - 1) / RICE_PARTITION, starts.size() - 1);
        cost->bytes = end > first ? (starts[end] - starts[first] + 7) / 8 : 0;
    }
    block.insert(block.end(), data.begin() + static_cast<ptrdiff_t>(whole), data.end());
    return block;
}

// Rows from a block's middle judge how its columns are coded: a quarter of
// them, eight at least, of at most this many bytes.
constexpr size_t ROWS_JUDGED_BYTES = size_t{1} << 16;
// Of an (n, c) array, columns of at least this many may be rows.
constexpr uint64_t FEWEST_ROW_COLUMNS = 8;

// An (n, c) array of a few columns is c interleaved channels or, marked as
// rows, a raster of rows of c values (a narrow image or grid, a tile of
// one): rows where the quick estimates (quick_sample_size()) of its middle
// put them smaller. On 48 tiles and strips of 16 to 64 columns cut from our
// rasters, level 3 took rows for 46, up to 27% smaller and coding 3.0 to
// 6.0 times as fast (judged on all their rows, as they were in 64 KiB:
// 2.1 to 4.7 times, the same choices); it chose channels wrongly
// nowhere, rows wrongly for a 32x32 tile of the elevation model (3.8%
// larger) and a strip of 660 rows of the cell image, whose long smooth
// columns the cascades learn (13.7%). Tables of prices and independent
// series stay channels (32 correlated ones went to rows: 1.1% larger, 6
// times as fast), and so does every array at the fastest effort: its Rice
// codes keep a parameter for each column, which suits a scan's flat tiles
// (as rows, a 16x16 tile of the MRI slice came out 30% larger).
SampleLayout judged_layout(ByteView data, const SampleLayout& layout, SampleEffort effort) {
    if (effort == SampleEffort::Fast || layout.pixels || layout.rows || layout.trailing.size() != 1 ||
        layout.channels() < FEWEST_ROW_COLUMNS) {
        return layout;
    }
    SampleLayout rows = layout;
    rows.rows = true;
    const size_t frame = layout.frame_bytes(), frames = data.size() / frame;
    const size_t judged = std::min({frames, ROWS_JUDGED_BYTES / frame, std::max<size_t>(frames / 4, 8)});
    const ByteView middle = data.subspan((frames - judged) / 2 * frame, judged * frame);
    const auto as_channels = quick_sample_size(middle, layout), as_rows = quick_sample_size(middle, rows);
    return as_channels && as_rows && *as_rows < *as_channels ? rows : layout;
}

}  // namespace

std::vector<uint8_t> encode_sample_block(ByteView data, const SampleLayout& layout, SampleEffort effort,
                                         FramesCost* cost) {
    check_layout(layout);
    // The fastest effort, the one that finds a cost, keeps the layout given.
    return encode_block_as(data, judged_layout(data, layout, effort), effort, cost);
}

std::optional<size_t> quick_sample_size(ByteView data, const SampleLayout& layout) {
    check_layout(layout);
    const size_t whole = data.size() / layout.frame_bytes() * layout.frame_bytes();
    std::vector<uint8_t> held;
    if (const auto gaps = fill_gaps(layout, data.first(whole), held); gaps && !gaps->empty()) return std::nullopt;
    const ValueTransform as_stored(layout);
    const std::vector<GapRun> no_gaps;
    const Frames source(layout, data.first(whole), as_stored, no_gaps);
    Choice choice;
    choice.residuals = ResidualCoding::Tabled;
    choice.row = raster_row(layout);
    if (choice.row != 0) {
        choice.predictor = PredictorKind::Plane;  // mode 0: the median edge detector
    } else {
        choice.orders.assign(source.channels, 1);
    }
    std::vector<uint8_t> lead, header;
    write_layout(layout, lead);
    write_gaps(layout, {}, whole / layout.element_size(), lead);
    write_header(lead, as_stored, choice, header);
    return header.size() + residual_size(source, source.count(), choice, 0, SampleEffort::Moderate) + (data.size() - whole);
}

std::optional<SampleLayout> sample_block_layout(ByteView stored) {
    const auto layout = read_layout(stored);
    if (!layout) return std::nullopt;
    return layout->first;
}

Result<std::vector<uint8_t>> decode_sample_block(ByteView stored, uint32_t size) {
    const auto read = read_layout(stored);
    if (!read) return damaged("its layout is not one this library reads");
    const SampleLayout& layout = read->first;
    size_t at = read->second;
    const size_t frame_bytes = layout.frame_bytes(), frames = size / frame_bytes, tail = size % frame_bytes;
    const auto stored_gaps = read_gaps(layout, stored, at);
    if (!stored_gaps) return damaged("its gaps are not within it");
    const auto transform = ValueTransform::read(layout, stored, at);
    if (!transform) return damaged("its value transform is not one this library reads");
    const unsigned channels = transform->channels();
    if (at + 2 > stored.size() || stored[at] >= CHANNEL_CODINGS || (stored[at] == 1 && channels != 2) ||
        (stored[at] == 3 && channels < 3) || (stored[at] == 4 && channels < 4) ||
        (stored[at] == 5 && (channels < 3 || transform->width() > MOST_COLOUR_TRANSFORM_WIDTH)) ||
        (stored[at] != 0 && channels == 1)) {
        return damaged("its channel coding does not fit its layout");
    }
    Choice choice;
    choice.channels = static_cast<ChannelCoding>(stored[at++]);
    choice.predictor = static_cast<PredictorKind>(stored[at++]);
    if (choice.predictor == PredictorKind::Polynomial) {
        if (stored.size() - at < channels) return damaged("it is cut short");
        choice.orders.assign(stored.begin() + static_cast<ptrdiff_t>(at), stored.begin() + static_cast<ptrdiff_t>(at + channels));
        at += channels;
        if (std::any_of(choice.orders.begin(), choice.orders.end(), [](uint8_t order) { return order > 3; })) {
            return damaged("a polynomial order above 3");
        }
    } else if (choice.predictor == PredictorKind::Cascade) {
        if (at >= stored.size() || stored[at] >= CASCADE_PRESETS) return damaged("an unknown cascade");
        choice.preset = stored[at++];
    } else if (choice.predictor == PredictorKind::Plane) {
        choice.row = raster_row(layout);
        if (choice.row == 0 || at >= stored.size() || stored[at] >= PLANE_MODES) return damaged("an unknown plane");
        choice.plane_mode = stored[at++];
    } else if (choice.predictor == PredictorKind::Raster) {
        choice.row = raster_row(layout);
        if (!raster_predicts(layout, channels) || at >= stored.size() || stored[at] >= RASTER_MODES) {
            return damaged("an unknown raster prediction");
        }
        choice.plane_mode = stored[at++];
    } else {
        return damaged("an unknown predictor");
    }
    if (at >= stored.size() || stored[at] > NUMBERS_ONLY_TABLED ||
        (choice.predictor == PredictorKind::Raster && stored[at] == static_cast<uint8_t>(ResidualCoding::Rice))) {
        return damaged("an unknown residual coding");
    }
    choice.numbers_only = stored[at] >= NUMBERS_ONLY_RANGE;
    choice.residuals = stored[at] == NUMBERS_ONLY_RANGE    ? ResidualCoding::Range
                       : stored[at] == NUMBERS_ONLY_TABLED ? ResidualCoding::Tabled
                                                           : static_cast<ResidualCoding>(stored[at]);
    ++at;
    if (choice.numbers_only && (choice.channels != ChannelCoding::Apart || transform->kind() == TransformKind::Palette)) {
        return damaged("gaps without residuals in channels not coded apart");
    }
    if (choice.numbers_only && raster_runs(choice)) return damaged("runs of frames among gaps");
    // Blocks whose gaps' elements have residuals list the runs by elements.
    const auto gaps = gap_runs(layout, *stored_gaps, uint64_t{frames} * layout.channels(),
                               choice.numbers_only ? GapCoding::ByChannels : GapCoding::ByElements);
    if (!gaps) return damaged("its gaps are not within it");
    const unsigned width = coded_width(choice.channels, transform->width());
    if (stored.size() - at < tail) return damaged("it is cut short");
    const ByteView residual_bytes = stored.subspan(at, stored.size() - at - tail);
    const uint64_t most = choice.residuals == ResidualCoding::Rice     ? max_rice_numbers(residual_bytes.size())
                          : choice.residuals == ResidualCoding::Tabled ? max_tabled_residuals(residual_bytes.size())
                                                                       : max_residuals(residual_bytes.size());
    // Gaps' elements coded without residuals cost only their runs; of a
    // raster's frames with runs, those of the first row and column are
    // coded at least.
    uint64_t coded = uint64_t{frames} * channels;
    for (const GapRun& run : *gaps) coded -= choice.numbers_only ? run.length : 0;
    if (raster_runs(choice)) {
        const uint64_t first_row = std::min<uint64_t>(frames, choice.row);
        coded = (first_row + (frames - first_row + choice.row - 1) / choice.row) * channels;
    }
    if (coded > most) {
        return damaged(std::to_string(residual_bytes.size()) + " bytes cannot hold " + std::to_string(coded) + " residuals");
    }
    std::vector<uint8_t> data(size);
    const DecodeTarget target{layout, *transform, choice, *gaps, frames, data};
    // Context residuals, with none coded for gaps' elements where the choice says so.
    auto decode_in_contexts = [&](auto&& residuals) {
        if (choice.numbers_only) return decode_frames(target, NumbersOnly(std::move(residuals), *gaps));
        return decode_frames(target, std::move(residuals));
    };
    std::optional<CodecError> fault;
    if (choice.residuals == ResidualCoding::Rice) {
        fault = decode_frames(target, RiceResiduals(residual_bytes, channels, width));
    } else if (choice.residuals == ResidualCoding::Range) {
        fault = decode_in_contexts(ContextResiduals(RangeReader(residual_bytes, coded_magnitude_bits(choice, width)), channels));
    } else {
        auto reader = TabledResidualReader::open(residual_bytes, coded_magnitude_bits(choice, width));
        if (!reader) return damaged("its residuals' tables are not whole");
        fault = decode_in_contexts(ContextResiduals(std::move(*reader), channels));
    }
    if (fault) return *fault;
    restore_gaps(layout, *gaps, data);
    std::copy(stored.end() - static_cast<ptrdiff_t>(tail), stored.end(), data.end() - static_cast<ptrdiff_t>(tail));
    return data;
}

}  // namespace zelk
