// The frame writer's loop: the calling thread reads blocks and writes
// records; the pool stores blocks. At most two blocks per thread are in
// flight, enough to keep every thread busy while the oldest is written. A
// frame of one block (a short input) would leave the other threads idle, so
// that block's encoder may take a second thread.
//
// The header goes out once the first block has been read: the frame's salt
// is the CRC-32C of that block, so the frame still depends on nothing but
// the input and the options, and frames of different inputs differ in salt.
#include "frame/frame_writer.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "concurrency/ordered_pipeline.h"
#include "concurrency/thread_pool.h"
#include "frame/crc32c.h"
#include "frame/frame_block.h"
#include "frame/frame_format.h"
#include "frame/memory_limit.h"

namespace zelk {

FrameWriteStats write_frame(ByteSource& input, ByteSink& output, const BlockCodec& codec,
                            const FrameOptions& options, const FrameProgress& progress) {
    if (options.block_size == 0 || options.block_size > MAX_BLOCK_SIZE) {
        throw std::invalid_argument("block size must be between 1 and " +
                                    std::to_string(MAX_BLOCK_SIZE) + " bytes");
    }
    const size_t fitting = blocks_within(options.memory_limit, options.block_size);
    if (fitting == 0) {
        throw std::invalid_argument("blocks of " + std::to_string(options.block_size) + " bytes need about " +
                                    std::to_string(block_memory(options.block_size) >> 20) +
                                    " MiB each, more than the memory limit of " +
                                    std::to_string(options.memory_limit >> 20) + " MiB");
    }
    FrameWriteStats stats;
    auto emit = [&](std::span<const uint8_t> bytes) {
        output.write(bytes);
        stats.output_bytes += bytes.size();
    };
    FrameHeader header{FRAME_VERSION, 0, options.block_size, 0};
    uint32_t content_crc = 0;

    ThreadPool pool(options.threads);
    OrderedPipeline<std::vector<EncodedPiece>> pipeline(
        pool, std::min(2 * size_t{pool.size()}, fitting), [&](std::vector<EncodedPiece>&& pieces) {
            for (const EncodedPiece& piece : pieces) {
                emit(encode_block_record(piece.record, stats.blocks, header));
                emit(piece.stored);
                ++stats.blocks;
                if (piece.record.type == RecordType::Chunk) ++stats.chunk_blocks;
                if (piece.record.type == RecordType::ZstdChunk) ++stats.zstd_blocks;
                stats.input_bytes += piece.record.size;
            }
            if (progress) progress(stats.input_bytes, stats.output_bytes);
        });

    for (;;) {
        std::vector<uint8_t> block(options.block_size);
        const size_t got = read_full(input, block);
        if (got == 0) break;
        block.resize(got);
        if (stats.output_bytes == 0) {
            header.salt = crc32c(block);
            emit(encode_frame_header(header));
        }
        content_crc = crc32c(block, content_crc);
        // The last block, with nothing else in flight, has the pool to itself.
        const bool alone = got < options.block_size && pipeline.in_flight() == 0 && pool.size() > 1;
        const EncoderThreads threads = alone ? EncoderThreads::Two : EncoderThreads::One;
        pipeline.push([&codec, threads, block = std::move(block)] { return encode_block(block, codec, threads); });
        if (got < options.block_size) break;
    }
    pipeline.finish();

    if (stats.output_bytes == 0) emit(encode_frame_header(header));  // an empty input
    emit(encode_end_record(EndRecord{stats.input_bytes, stats.blocks, content_crc}, header));
    return stats;
}

}  // namespace zelk
