// Block codecs standing in for the chunk codec in the frame's tests: simple
// and fast enough for exhaustive checks, and able to decline or misbehave
// on demand.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include "frame/block_codec.h"
#include "test_support.h"

namespace zelk::test {

// Run-length coding as pairs (run length - 1, byte). It declines what does
// not shrink and, when told to, any piece holding a 0xEE byte at least
// `poison_after` bytes after its start: a stand-in for the coder state that
// makes the chunk encoder give up part-way through compressible data.
class RunLengthCodec final : public BlockCodec {
public:
    explicit RunLengthCodec(size_t poison_after = SIZE_MAX) : poison_after_(poison_after) {}

    std::optional<CompressedBlock> compress(std::span<const uint8_t> data, ChunkThreads,
                                            const SampleLayout*) const override {
        offered += data.size();
        Bytes out;
        for (size_t i = 0; i < data.size();) {
            if (data[i] == 0xEE && i >= poison_after_) return std::nullopt;
            size_t run = 1;
            while (i + run < data.size() && run < 256 && data[i + run] == data[i]) ++run;
            out.push_back(static_cast<uint8_t>(run - 1));
            out.push_back(data[i]);
            i += run;
        }
        if (out.size() >= data.size()) return std::nullopt;
        return CompressedBlock{RecordType::Chunk, out};
    }

    Result<Bytes> decompress(RecordType, std::span<const uint8_t> stored, uint32_t size) const override {
        Bytes out;
        for (size_t i = 0; i + 1 < stored.size() && out.size() < size; i += 2) {
            out.insert(out.end(), size_t{stored[i]} + 1, stored[i + 1]);
        }
        if (out.size() != size) return CodecError(ErrorKind::InvalidData, "bad runs");
        return out;
    }

    mutable std::atomic<uint64_t> offered{0};

private:
    size_t poison_after_;
};

// A codec that claims success with output no shorter than its input.
class InflatingCodec final : public BlockCodec {
public:
    std::optional<CompressedBlock> compress(std::span<const uint8_t> data, ChunkThreads,
                                            const SampleLayout*) const override {
        Bytes out(data.begin(), data.end());
        out.push_back(0);
        return CompressedBlock{RecordType::Chunk, out};
    }
    Result<Bytes> decompress(RecordType, std::span<const uint8_t>, uint32_t) const override {
        return CodecError(ErrorKind::InvalidData, "never stored");
    }
};

// Stretches of runs (which shrink) and of noise (which do not), so that a
// frame holds both kinds of block.
inline Bytes mixed_data(size_t n, unsigned seed) {
    std::mt19937 random(seed);
    Bytes data;
    while (data.size() < n) {
        const size_t stretch = 1 + random() % 150;
        if (random() % 2) {
            data.insert(data.end(), stretch, static_cast<uint8_t>(random() % 4));
        } else {
            for (size_t i = 0; i < stretch; ++i) data.push_back(static_cast<uint8_t>(random()));
        }
    }
    data.resize(n);
    return data;
}

}  // namespace zelk::test
