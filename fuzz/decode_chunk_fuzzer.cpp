// Arbitrary bytes as a chunk, with arbitrary weight bytes: the decoder, and
// the decoder of every mode, must refuse or decode without any memory
// error, undefined behaviour or hang; a decoded chunk always yields exactly
// its stated length, and the same data through both where both decode it.
//
// Input layout: byte 0 = number of weight bytes (0..255, 255 meaning none),
// then the weight bytes, then the chunk. Length fields are cut down to twice
// the chunk's size (no conforming chunk decodes to more than 1 / 0.54 of
// it) and to 64 KiB, so that each input's work follows its size and the
// fuzzer spends its time on the decoder's logic rather than on the
// legitimate cost of huge outputs.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <vector>

#include "codec/any_chunk.h"
#include "codec/codec.h"

namespace {
constexpr uint32_t MAX_LENGTH = 1u << 16;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::size_t weight_len = data[0];
    ++data, --size;
    std::optional<zelk::ByteView> weights;
    if (weight_len != 255) {
        if (weight_len > size) return 0;
        weights = zelk::ByteView(data, weight_len);
        data += weight_len, size -= weight_len;
    }
    std::vector<uint8_t> chunk(data, data + size);
    uint32_t length = 0;
    if (chunk.size() >= 5) {
        length = uint32_t(chunk[1]) | uint32_t(chunk[2]) << 8 | uint32_t(chunk[3]) << 16 |
                 uint32_t(chunk[4]) << 24;
        length %= std::min<uint32_t>(MAX_LENGTH, 2 * static_cast<uint32_t>(chunk.size())) + 1;
        for (int i = 0; i < 4; ++i) chunk[1 + i] = uint8_t(length >> (8 * i));
    }
    auto result = zelk::decode_chunk(chunk, 0, weights);
    if (result && result.value().size() != length) std::abort();
    auto any = zelk::decode_any_chunk(chunk, weights, MAX_LENGTH);
    if (any && any.value().size() != length) std::abort();
    if (any && result && any.value() != result.value()) std::abort();
    return 0;
}
