// A frame reader that is fed its input piece by piece, for callers that
// cannot hand over a source to pull from (a compression object's
// decompress(data) calls, a file object's reads). Fed bytes wait until they
// complete a header, a block with its record, or the end record; blocks are
// decoded on a pool and their data handed out in order, as much as the
// caller asks for. Memory: the bytes fed and not yet parsed, plus the blocks
// in flight (memory_limit.h).
//
// It reads one frame, or a sequence as a compressed file holds it:
//   OneFrame   what follows the end record is kept as unused bytes, and
//              eof() is true there;
//   Sequence   after a frame may come another frame, or zero bytes to the
//              end of the input (padding); anything else is damage
//              (classify_after_frame). The caller says when the input has
//              ended (finish()); eof() is true once all data is out.
// One pool serves every frame of a sequence.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <span>
#include <vector>

#include "frame/block_codec.h"
#include "frame/block_decode_queue.h"
#include "frame/frame_io.h"
#include "frame/frame_parser.h"

namespace zelk {

enum class FrameSequence { OneFrame, Sequence };

class FrameDecoder {
public:
    FrameDecoder(const BlockCodec& codec, unsigned threads, uint64_t memory_limit,
                 FrameSequence sequence = FrameSequence::OneFrame);

    // Adds input. After the end of a single frame it is kept as unused bytes.
    void feed(std::span<const uint8_t> data);
    // Appends up to `max` bytes of data to `out`, decoding as much of the
    // input fed as that takes. Throws FrameError for damaged input (in a
    // sequence, once the data decoded before the damage has been read out),
    // after which the decoder must not be used.
    void read(uint64_t max, std::vector<uint8_t>& out);
    // The input has ended (Sequence). Throws TruncatedFrame if it ended
    // inside a frame, and the FrameError of data after a frame for a cut
    // magic; an empty input is no frames and no data.
    void finish();

    // OneFrame: the end record has been read and the content found whole.
    // Sequence: the input has ended and every frame has been read out.
    bool eof() const { return eof_; }
    // Nothing more comes out of read() until more input is fed (or, in a
    // sequence, finish() is called).
    bool needs_input() const;
    // OneFrame: the bytes fed after the end of the frame.
    std::span<const uint8_t> unused() const;

private:
    // Parses every unit whose bytes have all arrived, while blocks fit in
    // flight; returns whether it parsed any.
    bool parse_ready_units();
    size_t ready_unit_size() const;
    // In a sequence after a frame: starts the next frame or reads padding,
    // once the bytes fed tell which.
    void settle_between_frames();
    void end_of_frame();
    std::span<const uint8_t> unparsed() const { return std::span(input_).subspan(parsed_); }

    // Serves the parser the fed bytes, from `parsed_` on.
    class FedSource final : public ByteSource {
    public:
        explicit FedSource(FrameDecoder& owner) : owner_(owner) {}
        size_t read(std::span<uint8_t> buffer) override;

    private:
        FrameDecoder& owner_;
    };

    FrameSequence sequence_;
    std::vector<uint8_t> input_;
    size_t parsed_ = 0;  // bytes of input_ the parser has read
    FedSource source_{*this};
    FrameParser parser_;
    bool in_frame_ = false;        // a header has been read, its end record not yet delivered
    bool between_frames_ = false;  // a frame of a sequence has ended
    std::optional<uint64_t> padding_start_;  // zero padding after the last frame began here
    std::optional<EndRecord> end_;
    bool eof_ = false;
    std::exception_ptr fault_;  // found while data before it waits to be read
    std::vector<uint8_t> ready_;  // data decoded and not yet handed out
    size_t ready_start_ = 0;
    BlockDecodeQueue blocks_;
};

}  // namespace zelk
