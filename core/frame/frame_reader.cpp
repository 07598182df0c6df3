// The frame reader's loop: the calling thread parses records and writes the
// restored blocks in order; the pool decodes and checks the blocks. A fault
// the parser finds is reported only after the blocks before it have been
// finished, so that an earlier damaged block is the one named.
#include "frame/frame_reader.h"

#include "frame/block_decode_queue.h"
#include "frame/frame_parser.h"

namespace zelk {

FrameReadStats read_frames(ByteSource& input, ByteSink* output, const BlockCodec& codec,
                           unsigned threads, const FrameProgress& progress, uint64_t memory_limit) {
    FrameReadStats stats;
    FrameParser parser(input);
    BlockDecodeQueue blocks(codec, threads, memory_limit, [&](std::vector<uint8_t>&& data) {
        stats.output_bytes += data.size();
        if (output) output->write_owned(std::move(data));
        ++stats.blocks;
        if (progress) progress(parser.offset(), stats.output_bytes);
    });
    auto parse = [&](auto step) {
        try {
            return step();
        } catch (const FrameError&) {
            blocks.drain();
            throw;
        }
    };
    for (;;) {
        const FrameParser::Next next = parse([&] { return parser.next_frame(); });
        if (next != FrameParser::Next::Frame) {
            stats.trailing_data = next == FrameParser::Next::TrailingData;
            break;
        }
        blocks.start_frame(parser.header(), parser.offset() - frame_header_size(parser.header().version));
        while (auto block = parse([&] { return parser.next_block(); })) blocks.push(std::move(*block));
        blocks.end_frame(parser.end_record());
        ++stats.frames;
    }
    stats.input_bytes = parser.offset();
    return stats;
}

}  // namespace zelk
