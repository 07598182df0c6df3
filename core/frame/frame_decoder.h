// A reader of one frame that is fed its input piece by piece, for callers
// that cannot hand over a source to pull from (a compression object's
// decompress(data) calls). Fed bytes wait until they complete a header, a
// block with its record, or the end record; blocks are decoded on a pool and
// their data handed out in order, as much as the caller asks for. Whatever
// follows the end record is kept as unused bytes. Memory: the bytes fed and
// not yet parsed, plus the blocks in flight (memory_limit.h).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "frame/block_codec.h"
#include "frame/block_decode_queue.h"
#include "frame/frame_io.h"
#include "frame/frame_parser.h"

namespace zelk {

class FrameDecoder {
public:
    // `start`: the frame's offset in the whole input, for error messages.
    FrameDecoder(const BlockCodec& codec, unsigned threads, uint64_t memory_limit, uint64_t start = 0);

    // Adds input. After the end of the frame it is kept as unused bytes.
    void feed(std::span<const uint8_t> data);
    // Appends up to `max` bytes of data to `out`, decoding as much of the
    // input fed as that takes. Throws FrameError for damaged input, after
    // which the decoder must not be used.
    void read(uint64_t max, std::vector<uint8_t>& out);

    // The end record has been read and the content found whole.
    bool eof() const { return eof_; }
    // Nothing more comes out of read() until more input is fed.
    bool needs_input() const;
    // The bytes fed after the end of the frame.
    std::span<const uint8_t> unused() const;
    // The bytes of the frame fed so far and not yet parsed (for a caller that
    // must tell a frame cut short from one that ended).
    size_t pending() const { return eof_ ? 0 : input_.size() - parsed_; }

private:
    // Parses every unit whose bytes have all arrived, while blocks fit in
    // flight; returns whether it parsed any.
    bool parse_ready_units();
    size_t ready_unit_size() const;

    // Serves the parser the fed bytes, from `parsed_` on.
    class FedSource final : public ByteSource {
    public:
        explicit FedSource(FrameDecoder& owner) : owner_(owner) {}
        size_t read(std::span<uint8_t> buffer) override;

    private:
        FrameDecoder& owner_;
    };

    std::vector<uint8_t> input_;
    size_t parsed_ = 0;  // bytes of input_ the parser has read
    FedSource source_{*this};
    FrameParser parser_;
    bool header_read_ = false;
    std::optional<EndRecord> end_;
    bool eof_ = false;
    std::vector<uint8_t> ready_;  // data decoded and not yet handed out
    size_t ready_start_ = 0;
    BlockDecodeQueue blocks_;
};

}  // namespace zelk
