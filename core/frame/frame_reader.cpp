// The frame reader's loop: the calling thread parses records, writes the
// restored blocks in order and checks the content's CRC-32C against the end
// record (version 2); the pool decodes and checks the blocks. A fault the
// parser finds is reported only after the blocks before it have been
// finished, so that an earlier damaged block is the one named.
#include "frame/frame_reader.h"

#include <algorithm>
#include <string>
#include <vector>

#include "concurrency/ordered_pipeline.h"
#include "concurrency/thread_pool.h"
#include "frame/crc32c.h"
#include "frame/frame_block.h"
#include "frame/frame_parser.h"
#include "frame/memory_limit.h"

namespace zelk {

FrameReadStats read_frames(ByteSource& input, ByteSink* output, const BlockCodec& codec,
                           unsigned threads, const FrameProgress& progress, uint64_t memory_limit) {
    FrameReadStats stats;
    FrameParser parser(input);
    ThreadPool pool(threads);
    uint32_t content_crc = 0;
    OrderedPipeline<std::vector<uint8_t>> pipeline(
        pool, 2 * size_t{pool.size()}, [&](std::vector<uint8_t>&& data) {
            content_crc = crc32c(data, content_crc);
            if (output) output->write(data);
            stats.output_bytes += data.size();
            ++stats.blocks;
            if (progress) progress(parser.offset(), stats.output_bytes);
        });

    auto parse = [&](auto step) {
        try {
            return step();
        } catch (const FrameError&) {
            pipeline.finish();
            throw;
        }
    };
    for (;;) {
        const FrameParser::Next next = parse([&] { return parser.next_frame(); });
        if (next != FrameParser::Next::Frame) {
            stats.trailing_data = next == FrameParser::Next::TrailingData;
            break;
        }
        const uint64_t frame_start = parser.offset() - frame_header_size(parser.header().version);
        const uint32_t block_size = parser.header().block_size;
        const size_t fitting = blocks_within(memory_limit, block_size);
        if (fitting == 0) {
            throw FrameError("frame at offset " + std::to_string(frame_start) + " has blocks of " +
                             std::to_string(block_size) + " bytes, which need about " +
                             std::to_string(block_memory(block_size) >> 20) + " MiB each, more than the memory limit of " +
                             std::to_string(memory_limit >> 20) + " MiB");
        }
        pipeline.set_max_in_flight(std::min(2 * size_t{pool.size()}, fitting));
        content_crc = 0;
        while (auto block = parse([&] { return parser.next_block(); })) {
            pipeline.push([&codec, block = std::move(*block)]() mutable {
                return decode_block(std::move(block), codec);
            });
        }
        pipeline.finish();
        if (parser.header().version >= 2 && content_crc != parser.end_record().content_crc) {
            throw FrameError("frame at offset " + std::to_string(frame_start) +
                             ": the checksum of its content does not match, the data is damaged");
        }
        ++stats.frames;
    }
    stats.input_bytes = parser.offset();
    return stats;
}

}  // namespace zelk
