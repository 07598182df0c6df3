// Chunk decoder: the encoder's loop with the coder reversed. The model is
// rebuilt from the same weight bytes and sees the same bytes in the same
// order, so each prediction plus the decoded residual restores the byte.
//
// Nothing is checked once the header has passed: the decoder produces
// exactly the stated number of bytes whatever the payload holds. The output
// is reserved in full first; for a large length field that is an allocation
// whose pages are only touched as bytes are decoded, and one that cannot be
// had fails with std::bad_alloc before any model is built.
#include <cstdint>

#include "codec/ans_coder.h"
#include "codec/chunk_models.h"
#include "codec/codec.h"

namespace zelk {

Result<std::vector<uint8_t>> decode_chunk(ByteView chunk, [[maybe_unused]] uint8_t predictor_id,
                                          std::optional<ByteView> weights) {
    const Result<ChunkView> header = read_header(chunk);
    if (!header) return header.error();
    const ChunkView& view = header.value();
    const ModelWeightBytes model_weights =
        model_weight_bytes(Side::Decoder, view.mode, view.neural_block, weights);
    return decode_payload(view.payload, view.length, model_weights.view());
}

std::vector<uint8_t> decode_payload(ByteView payload, uint32_t length, ByteView model_weights) {
    std::vector<uint8_t> output;
    output.reserve(length);

    const WeightSets sets = weight_sets_from_bytes(model_weights);
    AnsDecoder coder(payload);
    with_chunk_models(length, sets.initial, sets.anchor, [&](auto& model) {
        History history(output.data());  // reserved: the bytes do not move
        for (uint64_t i = 0; i < length; ++i) {
            const uint8_t* h = history.at(i);
            const uint8_t prediction = model.predict(h, i, i + 1 == length);
            const uint8_t byte = static_cast<uint8_t>(prediction + coder.decode() + 128);
            output.push_back(byte);
            history.record(i, byte);
            model.update(h, i, byte);
        }
        model.finish();
    });
    return output;
}

}  // namespace zelk
