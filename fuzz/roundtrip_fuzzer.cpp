// Encode then decode arbitrary inputs with arbitrary weights: every chunk the
// encoder returns is shorter than its input, records the input's length and
// decodes back to the input when the decoder is given the same weights (and,
// for fewer than 48 weight bytes, also without any).
//
// Input layout: byte 0 = number of weight bytes (255 meaning none), byte 1 =
// predictor id, then the weight bytes, then the data.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>

#include "codec/codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t weight_len = data[0];
    const uint8_t predictor_id = data[1];
    data += 2, size -= 2;
    std::optional<zelk::ByteView> weights;
    if (weight_len != 255) {
        if (weight_len > size) return 0;
        weights = zelk::ByteView(data, weight_len);
        data += weight_len, size -= weight_len;
    }
    const zelk::ByteView input(data, size);

    zelk::NullDebugSink quiet;
    auto encoded = zelk::compress_chunk(input, predictor_id, weights, quiet);
    if (!encoded) {
        if (predictor_id <= 2 && encoded.error().kind() != zelk::ErrorKind::CompressionError)
            std::abort();
        return 0;
    }
    if (predictor_id > 2) std::abort();
    const auto& chunk = encoded.value();
    if (chunk.size() >= size || chunk.size() < 5) std::abort();
    const uint32_t stored = uint32_t(chunk[1]) | uint32_t(chunk[2]) << 8 |
                            uint32_t(chunk[3]) << 16 | uint32_t(chunk[4]) << 24;
    if (stored != size) std::abort();

    auto restore = [&](std::optional<zelk::ByteView> w) {
        auto decoded = zelk::decode_chunk(chunk, uint8_t((predictor_id + 1) % 3), w);
        return decoded && std::equal(decoded.value().begin(), decoded.value().end(),
                                     input.begin(), input.end());
    };
    if (!restore(weights)) std::abort();
    // A Plain chunk needs no weights, and a Neural one carries its initial
    // weights; only anchor weights (bytes 24..47) must be given again.
    if ((!weights || weights->size() < 48) && !restore(std::nullopt)) std::abort();
    return 0;
}
