#include "frame/frame_summary.h"

#include "sample/sample_block.h"

namespace zelk {

FrameSummary summarize_frames(ByteSource& input, const BlockVisitor& visit) {
    FrameSummary summary;
    FrameParser parser(input);
    FrameParser::Next next;
    while ((next = parser.next_frame()) == FrameParser::Next::Frame) {
        while (auto block = parser.next_block()) {
            const BlockRecord& record = block->record;
            summary.content_size += record.size;
            switch (record.type) {
                case RecordType::Chunk: ++summary.chunk_blocks; break;
                case RecordType::ZstdChunk: ++summary.zstd_blocks; break;
                case RecordType::Sample:
                    ++summary.sample_blocks;
                    if (!summary.layout) summary.layout = sample_block_layout(block->stored);
                    break;
                default: ++summary.raw_blocks; break;
            }
            if (visit) visit(summary.frames, parser.header(), *block);
        }
        ++summary.frames;
    }
    summary.compressed_size = parser.offset();
    summary.trailing_data = next == FrameParser::Next::TrailingData;
    return summary;
}

}  // namespace zelk
