#include "frame/block_decode_queue.h"

#include <algorithm>
#include <string>

#include "frame/crc32c.h"
#include "frame/frame_block.h"
#include "frame/memory_limit.h"

namespace zelk {

BlockDecodeQueue::BlockDecodeQueue(const BlockCodec& codec, unsigned threads, uint64_t memory_limit,
                                   Deliver deliver)
    : codec_(codec), memory_limit_(memory_limit), pool_(threads),
      pipeline_(pool_, 1, [this, deliver = std::move(deliver)](Restored&& block) {
          // From the block's checked CRC, without reading its bytes again.
          content_crc_ = crc32c_combine(content_crc_, block.crc, block.data.size());
          deliver(std::move(block.data));
      }) {}

void BlockDecodeQueue::start_frame(const FrameHeader& header, uint64_t offset) {
    try {
        max_in_flight_ = blocks_in_flight(memory_limit_, header.block_size, 2 * size_t{pool_.size()});
    } catch (const MemoryLimitExceeded& e) {
        throw FrameError("frame at offset " + std::to_string(offset) + ": " + e.what());
    }
    header_ = header;
    frame_offset_ = offset;
    content_crc_ = 0;
    pipeline_.set_max_in_flight(max_in_flight_);
}

void BlockDecodeQueue::push(StoredBlock&& block) {
    pipeline_.push([&codec = codec_, block = std::move(block)]() mutable {
        const uint32_t crc = block.record.crc;
        return Restored{decode_block(std::move(block), codec), crc};
    });
}

void BlockDecodeQueue::end_frame(const EndRecord& end) {
    pipeline_.finish();
    if (header_.version >= 2 && content_crc_ != end.content_crc) {
        throw FrameError("frame at offset " + std::to_string(frame_offset_) +
                         ": the checksum of its content does not match, the data is damaged");
    }
}

}  // namespace zelk
