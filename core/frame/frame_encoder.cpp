// At most two blocks per thread are in flight, enough to keep every thread
// busy while the oldest is written. A block that is the last and has the
// pool to itself (a short input) may take more threads for its encoders.
#include "frame/frame_encoder.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "frame/crc32c.h"
#include "frame/memory_limit.h"

namespace zelk {
namespace {

// The block size is checked here as well as by resolve_coding_options(),
// for callers that fill FrameOptions themselves.
size_t blocks_at_once(const FrameOptions& options, unsigned pool_size) {
    if (options.block_size == 0 || options.block_size > MAX_LARGE_BLOCK_SIZE) {
        throw std::invalid_argument("block size must be between 1 and " + std::to_string(MAX_LARGE_BLOCK_SIZE) +
                                    " bytes");
    }
    return blocks_in_flight(options.memory_limit, options.block_size, 2 * size_t{pool_size});
}

// Blocks of samples end at a whole frame; of a raster, at a whole slice, or
// a whole row where a slice is longer than a block, so that prediction from
// the row or slice above never reaches into another block.
uint64_t cut_unit(const SampleLayout& layout, uint32_t block_size) {
    const uint64_t frame = layout.frame_bytes(), row = frame * layout.row_frames(), slice = row * layout.slice_rows();
    for (const uint64_t unit : {slice, row}) {
        if (unit != 0 && unit <= block_size) return unit;
    }
    return frame;
}

}  // namespace

FrameEncoder::FrameEncoder(const BlockCodec& codec, const FrameOptions& options, ByteSink& output,
                           FrameProgress progress)
    : codec_(codec), block_size_(options.block_size), output_(output), progress_(std::move(progress)),
      samples_(options.typed || codec.probes_samples()),
      header_{frame_version_for(options.block_size, samples_), 0, options.block_size, 0},
      block_limit_(options.block_size), pool_(options.threads),
      pipeline_(pool_, blocks_at_once(options, pool_.size()),
                [this](std::vector<EncodedPiece>&& pieces) { write_pieces(std::move(pieces)); }) {}

void FrameEncoder::emit(std::span<const uint8_t> bytes) {
    output_.write(bytes);
    stats_.output_bytes += bytes.size();
}

void FrameEncoder::write_pieces(std::vector<EncodedPiece>&& pieces) {
    for (const EncodedPiece& piece : pieces) {
        emit(encode_block_record(piece.record, frame_blocks_, header_));
        emit(piece.stored);
        ++frame_blocks_;
        ++stats_.blocks;
        if (piece.record.type == RecordType::Chunk) ++stats_.chunk_blocks;
        if (piece.record.type == RecordType::ZstdChunk) ++stats_.zstd_blocks;
        if (piece.record.type == RecordType::Sample) ++stats_.sample_blocks;
        stats_.input_bytes += piece.record.size;
    }
    if (progress_) progress_(stats_.input_bytes, stats_.output_bytes);
}

void FrameEncoder::queue_block(bool last, bool frame_ends) {
    // The block's CRC-32C is its record's, the frame's salt when it is the
    // first, and the content's so far when it starts the frame.
    const uint32_t block_crc = crc32c(block_);
    if (!header_written_) {
        // A frame of one block states the block's length as its block size,
        // so that readers set aside no more memory than the block needs, and
        // an older version where the size asked for would need version 4.
        header_.block_size = frame_ends ? static_cast<uint32_t>(block_.size()) : block_size_;
        header_.version = frame_version_for(header_.block_size, samples_);
        header_.salt = block_crc;
        emit(encode_frame_header(header_));
        header_written_ = true;
    }
    const bool only_block = frame_ends && frame_bytes_ == 0;
    content_crc_ = crc32c_combine(content_crc_, block_crc, block_.size());
    frame_bytes_ += block_.size();
    // A second thread changes nothing in a zelk chunk, so any block that
    // ends up alone may have one; Zstandard's jobs change the output, so
    // only a frame's only block is cut into them, whatever the thread count.
    const bool alone = last && pipeline_.in_flight() == 0 && pool_.size() > 1;
    const ChunkThreads threads(alone ? EncoderThreads::Two : EncoderThreads::One,
                               only_block && pool_.size() > 1 ? pool_.size() : 0);
    pipeline_.push([&codec = codec_, threads, block = std::move(block_), layout = layout_, block_crc] {
        return encode_block(block, codec, threads, layout ? &*layout : nullptr, block_crc);
    });
    block_.clear();
}

void FrameEncoder::write(std::span<const uint8_t> data) {
    while (!data.empty()) {
        // A short input takes no more memory than it needs.
        if (block_.empty()) block_.reserve(std::min(data.size(), size_t{block_limit_}));
        const size_t n = std::min(data.size(), size_t{block_limit_} - block_.size());
        block_.insert(block_.end(), data.begin(), data.begin() + static_cast<ptrdiff_t>(n));
        data = data.subspan(n);
        if (block_.size() == block_limit_) queue_block(false);
    }
}

void FrameEncoder::set_layout(const std::optional<SampleLayout>& layout) {
    if (layout == layout_) return;
    if (layout) {
        if (!samples_) throw std::invalid_argument("typed input was not declared");
        check_layout(*layout);
        if (layout->frame_bytes() > block_size_) {
            throw std::invalid_argument("a frame of samples is longer than the block size");
        }
    }
    if (!block_.empty()) queue_block(false);
    layout_ = layout;
    // Sample blocks gain nothing from the large blocks of long matches.
    const uint32_t typed_size = std::min(block_size_, MAX_BLOCK_SIZE);
    block_limit_ = layout ? static_cast<uint32_t>(typed_size - typed_size % cut_unit(*layout, typed_size)) : block_size_;
}

void FrameEncoder::flush_blocks() { store_blocks(false); }

void FrameEncoder::store_blocks(bool frame_ends) {
    if (!block_.empty()) queue_block(true, frame_ends);
    pipeline_.finish();
}

void FrameEncoder::end_frame() {
    store_blocks(true);
    if (!header_written_) emit(encode_frame_header(header_));  // a frame with no data: salt 0
    emit(encode_end_record(EndRecord{frame_bytes_, frame_blocks_, content_crc_}, header_));
    header_ = {frame_version_for(block_size_, samples_), 0, block_size_, 0};
    header_written_ = false;
    frame_blocks_ = 0;
    frame_bytes_ = 0;
    content_crc_ = 0;
}

}  // namespace zelk
