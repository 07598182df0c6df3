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
      pipeline_(pool_, 1, [this, deliver = std::move(deliver)](std::vector<uint8_t>&& data) {
          content_crc_ = crc32c(data, content_crc_);
          deliver(std::move(data));
      }) {}

void BlockDecodeQueue::start_frame(const FrameHeader& header, uint64_t offset) {
    const size_t fitting = blocks_within(memory_limit_, header.block_size);
    if (fitting == 0) {
        throw FrameError("frame at offset " + std::to_string(offset) + " has blocks of " +
                         std::to_string(header.block_size) + " bytes, which need about " +
                         std::to_string(block_memory(header.block_size) >> 20) +
                         " MiB each, more than the memory limit of " + std::to_string(memory_limit_ >> 20) +
                         " MiB");
    }
    header_ = header;
    frame_offset_ = offset;
    content_crc_ = 0;
    max_in_flight_ = std::clamp<size_t>(2 * size_t{pool_.size()}, 1, fitting);
    pipeline_.set_max_in_flight(max_in_flight_);
}

void BlockDecodeQueue::push(StoredBlock&& block) {
    pipeline_.push([&codec = codec_, block = std::move(block)]() mutable { return decode_block(std::move(block), codec); });
}

void BlockDecodeQueue::end_frame(const EndRecord& end) {
    pipeline_.finish();
    if (header_.version >= 2 && content_crc_ != end.content_crc) {
        throw FrameError("frame at offset " + std::to_string(frame_offset_) +
                         ": the checksum of its content does not match, the data is damaged");
    }
}

}  // namespace zelk
