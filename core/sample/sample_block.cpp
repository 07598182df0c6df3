// Choices are made by coding the block's first frames: every exact value
// transform with every channel coding, under the polynomials that suit each
// channel best (TRIAL_FRAMES), the smallest kept; then, beyond the fast
// effort, those polynomials against the cascades the effort allows, on
// more frames from the block's middle (PREDICTOR_TRIAL_FRAMES), since a
// cascade learns as it goes.
#include "sample/sample_block.h"

#include <algorithm>
#include <array>
#include <bit>
#include <stdexcept>
#include <string>

#include "entropy/range_coder.h"
#include "entropy/residual_coder.h"
#include "sample/predictors.h"
#include "sample/sample_gaps.h"
#include "sample/sample_values.h"

namespace zelk {
namespace {

constexpr size_t TRIAL_FRAMES = size_t{1} << 15;
constexpr size_t PREDICTOR_TRIAL_FRAMES = size_t{1} << 17;

enum class ChannelCoding : uint8_t { Apart = 0, MidSide = 1, FromPrevious = 2 };
enum class PredictorKind : uint8_t { Polynomial = 0, Cascade = 1 };

struct Choice {
    ChannelCoding channels = ChannelCoding::Apart;
    PredictorKind predictor = PredictorKind::Polynomial;
    std::vector<uint8_t> orders;  // polynomial, per channel
    uint8_t preset = 0;           // cascade
};

// One frame's values, channel coding applied or undone in place.
void code_channels(ChannelCoding coding, std::span<int64_t> v, unsigned width) {
    auto minus = [width](int64_t a, int64_t b) { return wrap(static_cast<uint64_t>(a) - static_cast<uint64_t>(b), width); };
    if (coding == ChannelCoding::MidSide) {
        const int64_t side = minus(v[0], v[1]);
        v[0] = wrap(static_cast<uint64_t>(v[1]) + static_cast<uint64_t>(side >> 1), width);
        v[1] = side;
    } else if (coding == ChannelCoding::FromPrevious) {
        for (size_t c = v.size(); c-- > 1;) v[c] = minus(v[c], v[c - 1]);
    }
}

void uncode_channels(ChannelCoding coding, std::span<int64_t> v, unsigned width) {
    auto plus = [width](int64_t a, int64_t b) { return wrap(static_cast<uint64_t>(a) + static_cast<uint64_t>(b), width); };
    if (coding == ChannelCoding::MidSide) {
        const int64_t side = v[1];
        const int64_t right = wrap(static_cast<uint64_t>(v[0]) - static_cast<uint64_t>(side >> 1), width);
        v[0] = plus(side, right);
        v[1] = right;
    } else if (coding == ChannelCoding::FromPrevious) {
        for (size_t c = 1; c < v.size(); ++c) v[c] = plus(v[c], v[c - 1]);
    }
}

// A channel's predictor as the block's choice names it.
class ChannelPredictor {
public:
    ChannelPredictor(const Choice& choice, unsigned channel, unsigned width)
        : width_(width), polynomial_(choice.predictor == PredictorKind::Polynomial ? choice.orders[channel] : 0, width),
          cascade_(cascade_preset(choice.predictor == PredictorKind::Cascade ? choice.preset : 0), width),
          cascaded_(choice.predictor == PredictorKind::Cascade) {}

    int64_t residual_of(int64_t value) {
        if (cascaded_) return cascade_.residual_of(value);
        const int64_t residual = wrap(static_cast<uint64_t>(value) - static_cast<uint64_t>(polynomial_.predict()), width_);
        polynomial_.push(value);
        return residual;
    }
    int64_t value_of(int64_t residual) {
        if (cascaded_) return cascade_.value_of(residual);
        const int64_t value = wrap(static_cast<uint64_t>(residual) + static_cast<uint64_t>(polynomial_.predict()), width_);
        polynomial_.push(value);
        return value;
    }

private:
    unsigned width_;
    Polynomial polynomial_;
    Cascade cascade_;
    bool cascaded_;
};

// Frames of a block read through a value transform.
class Frames {
public:
    Frames(const SampleLayout& layout, ByteView elements, const ValueTransform& transform)
        : layout(layout), transform(transform), elements_(elements), access_(layout),
          frame_bytes_(layout.frame_bytes()) {}
    size_t count() const { return elements_.size() / frame_bytes_; }
    void read(size_t frame, std::span<int64_t> v) const {
        const uint8_t* at = &elements_[frame * frame_bytes_];
        for (size_t c = 0; c < v.size(); ++c) v[c] = transform.value(access_.load(at + c * access_.size()));
    }

    const SampleLayout& layout;
    const ValueTransform& transform;

private:
    ByteView elements_;
    ElementBytes access_;
    size_t frame_bytes_;
};

// The residual bytes of `frames` frames from `first` on under `choice`.
std::vector<uint8_t> code_residuals(const Frames& source, size_t frames, const Choice& choice, size_t first = 0) {
    const unsigned channels = source.layout.channels(), width = source.transform.width();
    std::vector<uint8_t> out;
    RangeEncoder coder(out);
    ResidualCoder residuals(width);
    std::vector<ResidualStream> streams(channels);
    std::vector<ChannelPredictor> predictors;
    for (unsigned c = 0; c < channels; ++c) predictors.emplace_back(choice, c, width);
    std::array<int64_t, MAX_CHANNELS> v{};
    const std::span<int64_t> frame(v.data(), channels);
    for (size_t t = first; t < first + frames; ++t) {
        source.read(t, frame);
        code_channels(choice.channels, frame, width);
        for (unsigned c = 0; c < channels; ++c) residuals.encode(coder, streams[c], predictors[c].residual_of(frame[c]));
    }
    coder.finish();
    return out;
}

// The polynomial order per channel with the smallest estimated cost on the trial frames.
std::vector<uint8_t> best_orders(const Frames& source, size_t frames, ChannelCoding coding) {
    const unsigned channels = source.layout.channels(), width = source.transform.width();
    std::vector<std::array<uint64_t, 4>> cost(channels);
    std::vector<std::array<Polynomial, 4>> polynomials;
    for (unsigned c = 0; c < channels; ++c) {
        polynomials.push_back({Polynomial(0, width), Polynomial(1, width), Polynomial(2, width), Polynomial(3, width)});
    }
    std::array<int64_t, MAX_CHANNELS> v{};
    const std::span<int64_t> frame(v.data(), channels);
    for (size_t t = 0; t < frames; ++t) {
        source.read(t, frame);
        code_channels(coding, frame, width);
        for (unsigned c = 0; c < channels; ++c) {
            for (unsigned order = 0; order < 4; ++order) {
                const int64_t r = wrap(static_cast<uint64_t>(frame[c]) - static_cast<uint64_t>(polynomials[c][order].predict()), width);
                cost[c][order] += 64 - static_cast<unsigned>(std::countl_zero(r < 0 ? ~static_cast<uint64_t>(r) : static_cast<uint64_t>(r)));
                polynomials[c][order].push(frame[c]);
            }
        }
    }
    std::vector<uint8_t> orders(channels);
    for (unsigned c = 0; c < channels; ++c) {
        orders[c] = static_cast<uint8_t>(std::min_element(cost[c].begin(), cost[c].end()) - cost[c].begin());
    }
    return orders;
}

void write_header(const SampleLayout& layout, const std::vector<GapRun>& gaps, const ValueTransform& transform,
                  const Choice& choice, std::vector<uint8_t>& out) {
    write_layout(layout, out);
    write_gaps(layout, gaps, out);
    transform.write(out);
    out.push_back(static_cast<uint8_t>(choice.channels));
    out.push_back(static_cast<uint8_t>(choice.predictor));
    if (choice.predictor == PredictorKind::Polynomial) out.insert(out.end(), choice.orders.begin(), choice.orders.end());
    else out.push_back(choice.preset);
}

std::vector<ChannelCoding> channel_codings(unsigned channels) {
    if (channels == 1) return {ChannelCoding::Apart};
    if (channels == 2) return {ChannelCoding::Apart, ChannelCoding::MidSide, ChannelCoding::FromPrevious};
    return {ChannelCoding::Apart, ChannelCoding::FromPrevious};
}

CodecError damaged(const std::string& what) { return {ErrorKind::InvalidData, "sample block: " + what}; }

}  // namespace

std::vector<uint8_t> encode_sample_block(ByteView data, const SampleLayout& layout, SampleEffort effort) {
    check_layout(layout);
    const size_t whole = data.size() / layout.frame_bytes() * layout.frame_bytes();
    std::vector<uint8_t> held;
    const std::vector<GapRun> gaps = fill_gaps(layout, data.first(whole), held).value_or(std::vector<GapRun>{});
    const ByteView elements = gaps.empty() ? data.first(whole) : ByteView(held);
    const std::vector<ValueTransform> transforms = exact_transforms(layout, elements);

    // The transform and channel coding that code the first frames smallest.
    const ValueTransform* transform = &transforms[0];
    Choice choice;
    size_t best = SIZE_MAX;
    for (const ValueTransform& candidate : transforms) {
        const Frames source(layout, elements, candidate);
        const size_t frames = std::min(source.count(), TRIAL_FRAMES);
        for (ChannelCoding coding : channel_codings(layout.channels())) {
            Choice trial{coding, PredictorKind::Polynomial, best_orders(source, frames, coding), 0};
            std::vector<uint8_t> header;
            write_header(layout, gaps, candidate, trial, header);
            const size_t cost = header.size() + code_residuals(source, frames, trial).size();
            if (cost < best) best = cost, transform = &candidate, choice = std::move(trial);
        }
    }
    const Frames source(layout, elements, *transform);
    if (effort != SampleEffort::Fast) {
        // From the middle of the block, where its start (often a quiet lead-in) weighs less.
        const size_t trial = effort == SampleEffort::Moderate ? TRIAL_FRAMES : PREDICTOR_TRIAL_FRAMES;
        const size_t frames = std::min(source.count(), trial), first = (source.count() - frames) / 2;
        size_t smallest = code_residuals(source, frames, choice, first).size();
        const std::vector<uint8_t> presets = effort == SampleEffort::Moderate ? std::vector<uint8_t>{1, 2}
                                                                              : std::vector<uint8_t>{0, 1, 2, 3, 4, 5};
        Choice cascade = choice;
        cascade.predictor = PredictorKind::Cascade;
        for (uint8_t preset : presets) {
            cascade.preset = preset;
            const size_t size = code_residuals(source, frames, cascade, first).size();
            if (size < smallest) smallest = size, choice = cascade;
        }
    }
    std::vector<uint8_t> block;
    write_header(layout, gaps, *transform, choice, block);
    const std::vector<uint8_t> residuals = code_residuals(source, source.count(), choice);
    block.insert(block.end(), residuals.begin(), residuals.end());
    block.insert(block.end(), data.begin() + static_cast<ptrdiff_t>(whole), data.end());
    return block;
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
    const auto gaps = read_gaps(layout, stored, at, uint64_t{frames} * layout.channels());
    if (!gaps) return damaged("its gaps are not within it");
    const auto transform = ValueTransform::read(layout, stored, at);
    if (!transform) return damaged("its value transform is not one this library reads");
    const unsigned channels = layout.channels();
    if (at + 2 > stored.size() || stored[at] > 2 || (stored[at] == 1 && channels != 2) || (stored[at] != 0 && channels == 1)) {
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
    } else {
        return damaged("an unknown predictor");
    }
    if (stored.size() - at < tail) return damaged("it is cut short");
    const ByteView residual_bytes = stored.subspan(at, stored.size() - at - tail);
    if (uint64_t{frames} * channels > max_residuals(residual_bytes.size())) {
        return damaged(std::to_string(residual_bytes.size()) + " bytes cannot hold " +
                       std::to_string(uint64_t{frames} * channels) + " residuals");
    }

    std::vector<uint8_t> data(size);
    const unsigned width = transform->width();
    RangeDecoder decoder(residual_bytes);
    ResidualCoder residuals(width);
    std::vector<ResidualStream> streams(channels);
    std::vector<ChannelPredictor> predictors;
    for (unsigned c = 0; c < channels; ++c) predictors.emplace_back(choice, c, width);
    const ElementBytes access(layout);
    std::array<int64_t, MAX_CHANNELS> v{};
    const std::span<int64_t> frame(v.data(), channels);
    try {
        for (size_t t = 0; t < frames; ++t) {
            for (unsigned c = 0; c < channels; ++c) frame[c] = predictors[c].value_of(residuals.decode(decoder, streams[c]));
            uncode_channels(choice.channels, frame, width);
            uint8_t* out = &data[t * frame_bytes];
            for (unsigned c = 0; c < channels; ++c) {
                const auto bits = transform->bits(frame[c]);
                if (!bits) return damaged("a value its transform does not have");
                access.store(out + c * access.size(), *bits);
            }
        }
    } catch (const std::runtime_error& e) {
        return damaged(e.what());
    }
    if (decoder.overrun() > 0) return damaged("its residuals end early");
    restore_gaps(layout, *gaps, data);
    std::copy(stored.end() - static_cast<ptrdiff_t>(tail), stored.end(), data.end() - static_cast<ptrdiff_t>(tail));
    return data;
}

}  // namespace zelk
