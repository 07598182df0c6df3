// Chunk encoder: header, then one residual symbol per input byte against the
// model's prediction, coded by the range coder.
//
// The model is built from the weight bytes exactly as the decoder will see
// them (the stored block with its zero padding, plus the caller's anchor
// bytes), and learns each true byte after coding it, so both sides make the
// same predictions. An input that does not shrink, or whose coding collapses
// the coder's range, is refused with "Expansion detected": the caller stores
// such data some other way.
//
// A long input may have its byte-determined predictions computed by a second
// thread (prediction_pipeline.h); should no thread be had, the encoder runs
// alone and writes the same chunk.
#include <algorithm>
#include <cstdint>
#include <system_error>

#include "codec/ans_coder.h"
#include "codec/chunk_models.h"
#include "codec/codec.h"
#include "codec/prediction_pipeline.h"
#include "concurrency/thread_pool.h"

namespace zelk {
namespace {

constexpr std::size_t BUFFER_SLACK = 4096;
constexpr uint8_t MAX_PREDICTOR_ID = 2;
constexpr uint64_t MAX_INPUT_LENGTH = UINT32_MAX;  // what the length field can hold

// Refusals that come before any work, shared by both entry points so that a
// refused call allocates nothing.
std::optional<CodecError> refuse_arguments(ByteView data, uint8_t predictor_id) {
    if (data.size() > MAX_INPUT_LENGTH) return input_too_large();
    if (predictor_id > MAX_PREDICTOR_ID) return unsupported_predictor_id(predictor_id);
    return std::nullopt;
}

// Below 256 KiB the second thread's start and the first segment it must fill
// before the encoder can begin are not repaid (measured on text: even at
// 300 KB, 1.4x from 512 KiB up).
bool second_thread_pays(EncoderThreads threads, std::size_t length) {
    constexpr std::size_t MIN_LENGTH = std::size_t{256} << 10;
    return threads == EncoderThreads::Two && length >= MIN_LENGTH && available_cores() > 1;
}

// Calls run(model) with the encoder's model for `data`: fed by a prediction
// pipeline where a second thread is allowed, worth its start and to be had.
template <typename Run>
bool with_encoder_models(ByteView data, const WeightSets& sets, EncoderThreads threads, Run&& run) {
    if (second_thread_pays(threads, data.size())) {
        std::optional<PredictionPipeline> pipeline;
        try {
            pipeline.emplace(data);
        } catch (const std::system_error&) {
            // No thread to be had: the encoder runs alone.
        }
        if (pipeline) {
            FastEnsemble<PipelinedPredictions> model(sets.initial, sets.anchor, *pipeline);
            return run(model);
        }
    }
    return with_chunk_models(data.size(), sets.initial, sets.anchor, run);
}

}  // namespace

Result<std::size_t> encode_chunk(ByteView data, uint8_t predictor_id,
                                 std::optional<ByteView> weights, std::span<uint8_t> out,
                                 DebugSink& debug, EncoderThreads threads) {
    if (auto refusal = refuse_arguments(data, predictor_id)) return *refusal;
    const Result<WrittenHeader> header = write_header(out, data.size(), weights);
    if (!header) return header.error();
    const auto [mode, header_length] = header.value();

    const ByteView neural_block = out.subspan(PLAIN_HEADER_LEN, header_length - PLAIN_HEADER_LEN);
    const WeightSets sets = weight_sets_from_bytes(
        model_weight_bytes(Side::Encoder, mode, neural_block, weights).view());
    debug.write_line(ENCODER_DEBUG_LINE);

    AnsEncoder coder;
    const bool coded = with_encoder_models(data, sets, threads, [&](auto& model) {
        History history(data.data());
        for (uint64_t i = 0; i < data.size(); ++i) {
            const uint8_t byte = data[i];
            const uint8_t* h = history.at(i);
            const uint8_t residual = static_cast<uint8_t>(byte - model.predict(h, i, i + 1 == data.size()) + 128);
            if (!coder.encode(residual)) return false;
            history.record(i, byte);
            model.update(h, i, byte);
        }
        model.finish();
        return true;
    });
    if (!coded) return expansion_detected();
    const std::vector<uint8_t> payload = std::move(coder).finish();

    if (payload.size() > out.size() - header_length) return expansion_detected();
    std::copy(payload.begin(), payload.end(), out.begin() + static_cast<std::ptrdiff_t>(header_length));
    const std::size_t total = header_length + payload.size();
    if (total >= data.size()) return expansion_detected();
    return total;
}

Result<std::vector<uint8_t>> compress_chunk(ByteView data, uint8_t predictor_id,
                                            std::optional<ByteView> weights, DebugSink& debug,
                                            EncoderThreads threads) {
    if (auto refusal = refuse_arguments(data, predictor_id)) return *refusal;
    std::vector<uint8_t> buffer(data.size() + BUFFER_SLACK + (weights ? weights->size() : 0));
    const Result<std::size_t> length = encode_chunk(data, predictor_id, weights, buffer, debug, threads);
    if (!length) return length.error();
    buffer.resize(length.value());
    return buffer;
}

}  // namespace zelk
