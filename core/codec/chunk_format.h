// The chunk layout, shared by the chunk encoder and decoder.
//
//   offset 0      header byte: format version (high nibble, always 10) and
//                 codec mode (low nibble)
//   offset 1..4   uncompressed length, unsigned 32-bit little-endian
//   offset 5..28  Neural mode only: the mixer's six initial weights as
//                 written by the caller, zero padded to 24 bytes
//   then          the range coder's payload, up to the end of the chunk
//
// No magic, no checksum, no payload length: the decoder runs for exactly the
// stated number of bytes. The weight words that drive the model come partly
// from the chunk and partly from the caller (the anchor weights are never
// stored), by the rules below, which both sides must apply identically.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "base/bytes.h"
#include "codec/codec_error.h"
#include "model/model_constants.h"

namespace zelk {

enum class CodecMode : uint8_t { Plain = 0, ZstdFallback = 1, Neural = 2, Split = 3 };

inline constexpr unsigned FORMAT_VERSION = 10;
inline constexpr std::size_t PLAIN_HEADER_LEN = 5;
inline constexpr std::size_t NEURAL_BLOCK_LEN = 24;
inline constexpr std::size_t NEURAL_HEADER_LEN = PLAIN_HEADER_LEN + NEURAL_BLOCK_LEN;

// The weight bytes a model is built from. Only the first twelve words ever
// matter, so only the first 48 bytes are kept.
class ModelWeightBytes {
public:
    static constexpr std::size_t CAPACITY = 48;

    void append(ByteView bytes);
    ByteView view() const { return {bytes_.data(), size_}; }

private:
    std::array<uint8_t, CAPACITY> bytes_{};
    std::size_t size_ = 0;
};

struct WeightSets {
    std::optional<WeightSet> initial;
    std::optional<WeightSet> anchor;
};

// Whole signed 32-bit little-endian words from the start of `bytes`: twelve
// or more give initial and anchor weights, six to eleven initial weights
// only, fewer neither.
WeightSets weight_sets_from_bytes(ByteView bytes);

enum class Side { Encoder, Decoder };

// The bytes a side builds its model from. A Plain chunk's encoder has none
// and its decoder takes the caller's bytes unchanged; in a Neural chunk both
// take the 24-byte block of the chunk followed by the caller's bytes 24..47
// when the caller has at least 48.
ModelWeightBytes model_weight_bytes(Side side, CodecMode mode, ByteView neural_block,
                                    std::optional<ByteView> caller_weights);

// Neural when at least one weight byte is given, Plain otherwise.
CodecMode mode_for_weights(std::optional<ByteView> weights);

struct WrittenHeader {
    CodecMode mode;
    std::size_t length;  // 5 or 29
};

// Writes the header for an input of `input_length` bytes (stored modulo
// 2^32) at the start of `out`. Writes nothing when `out` cannot hold it.
Result<WrittenHeader> write_header(std::span<uint8_t> out, uint64_t input_length,
                                   std::optional<ByteView> weights);

struct ChunkView {
    CodecMode mode;  // Plain or Neural: the only modes that decode
    uint32_t length;
    ByteView neural_block;  // empty for Plain
    ByteView payload;
};

// Validates a chunk's header in the order callers rely on: size, version,
// mode, then the mode's own refusals.
Result<ChunkView> read_header(ByteView chunk);

// The shortest Plain chunk a conforming encoder can write for `length`
// bytes. The cheapest residual has frequency 3273 of 65536, so every byte
// costs at least log2(65536 / 3273) = 4.3236 bits of the coder's interval;
// the coder writes a byte for every 8 bits it narrows the interval by, bar
// the 32 bits its state holds, and then writes all four bytes of that state.
// So a payload has at least 4.3236 * length / 8 > 0.54 * length bytes. A
// shorter chunk is damaged, and refusing it bounds a decoder's work by its
// input: no chunk decodes to more than 1 / 0.54 of its size.
constexpr uint64_t min_plain_chunk_size(uint64_t length) { return PLAIN_HEADER_LEN + length * 54 / 100; }

}  // namespace zelk
