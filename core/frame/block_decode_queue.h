// The blocks of one frame at a time, decoded on a pool of threads and
// delivered in order, with the frame's checks that need the data: each
// block's length and checksum (frame_block.h) and, in version 2, the CRC-32C
// of the whole content against the end record. Both frame readers, the one
// that pulls its input and the one fed by pushes, decode through it.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "concurrency/ordered_pipeline.h"
#include "concurrency/thread_pool.h"
#include "frame/block_codec.h"
#include "frame/frame_format.h"
#include "frame/frame_parser.h"

namespace zelk {

class BlockDecodeQueue {
public:
    using Deliver = std::function<void(std::vector<uint8_t>&&)>;

    // `deliver` receives each block's data, in order, on the calling thread.
    BlockDecodeQueue(const BlockCodec& codec, unsigned threads, uint64_t memory_limit, Deliver deliver);

    // Begins a frame whose header starts at `offset`. Throws FrameError when
    // even one of its blocks would need more than the memory limit.
    void start_frame(const FrameHeader& header, uint64_t offset);
    // Queues a block, first delivering the oldest if as many blocks as the
    // limit allows are in flight. A block's fault is thrown when its turn to
    // be delivered comes, the blocks before it delivered.
    void push(StoredBlock&& block);
    bool full() const { return pipeline_.in_flight() >= max_in_flight_; }
    size_t in_flight() const { return pipeline_.in_flight(); }
    void deliver_oldest() { pipeline_.consume_oldest(); }
    // Delivers every block, then checks the content against the end record.
    void end_frame(const EndRecord& end);
    // Delivers the blocks queued so far (before a fault found after them).
    void drain() { pipeline_.finish(); }

private:
    const BlockCodec& codec_;
    uint64_t memory_limit_;
    FrameHeader header_;
    uint64_t frame_offset_ = 0;
    uint32_t content_crc_ = 0;
    size_t max_in_flight_ = 1;
    ThreadPool pool_;
    // A block's bytes, and their CRC-32C as its record states and decode_block() checked.
    struct Restored {
        std::vector<uint8_t> data;
        uint32_t crc;
    };
    OrderedPipeline<Restored> pipeline_;
};

}  // namespace zelk
