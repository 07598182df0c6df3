// A frame writer that is handed its input piece by piece: the input is cut
// into blocks of the chosen size, full blocks are stored on a pool of
// threads while more input comes, and their records are written to the
// output in input order. The frame's bytes depend on the input, the codec
// (its level) and the block size, never on how the input was cut into
// pieces, unless a block is ended early on request, nor on the number of
// threads but in one case: a frame of one block coded by more than one
// thread has its Zstandard chunk coded in jobs, on every thread.
//
// The header goes out once the first block is complete: the frame's salt is
// the CRC-32C of that block, so frames of different inputs differ in salt.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "base/kept_buffers.h"
#include "concurrency/ordered_pipeline.h"
#include "concurrency/thread_pool.h"
#include "frame/block_codec.h"
#include "frame/frame_block.h"
#include "frame/frame_format.h"
#include "frame/frame_io.h"
#include "frame/frame_writer.h"

namespace zelk {

class FrameEncoder {
public:
    // Throws std::invalid_argument for a block size out of range or too
    // large for the memory limit. `codec` and `output` must outlive the
    // encoder; what they throw passes through.
    FrameEncoder(const BlockCodec& codec, const FrameOptions& options, ByteSink& output,
                 FrameProgress progress = {});

    // Takes input; each block it completes is queued for storing, after the
    // oldest queued block has been written out if as many as the memory
    // limit allows are in flight.
    void write(std::span<const uint8_t> data);
    // The type of the samples written from now on (none: bytes of no known
    // type). A change ends the current block; typed blocks hold whole frames
    // of samples but at the end of the input. Throws std::invalid_argument
    // unless the options declared typed input, or for a layout whose frame
    // of samples is longer than the block size.
    void set_layout(const std::optional<SampleLayout>& layout);
    // Stores the input taken so far, a short block included, and writes out
    // every block: everything written so far can then be decoded.
    void flush_blocks();
    // Flushes the blocks and ends the frame with its end record (a frame with
    // no data if nothing was written since the last one). The next write
    // begins a new frame.
    void end_frame();

    // Totals over every frame written.
    const FrameWriteStats& stats() const { return stats_; }

private:
    void emit(std::span<const uint8_t> bytes);
    void queue_block(bool last, bool frame_ends = false);
    void store_blocks(bool frame_ends);
    void write_pieces(std::vector<EncodedPiece>&& pieces);

    const BlockCodec& codec_;
    uint32_t block_size_;
    ByteSink& output_;
    FrameProgress progress_;
    FrameWriteStats stats_;
    bool samples_;  // whether sample blocks may be written
    FrameHeader header_;
    bool header_written_ = false;
    uint64_t frame_blocks_ = 0;  // records in the current frame
    uint64_t frame_bytes_ = 0;
    uint32_t content_crc_ = 0;
    KeptVector<uint8_t> block_;  // input of the block being filled
    std::optional<SampleLayout> layout_;  // of the block being filled
    uint32_t block_limit_;                // block_size_, cut to whole frames of samples
    ThreadPool pool_;
    OrderedPipeline<std::vector<EncodedPiece>> pipeline_;
};

}  // namespace zelk
