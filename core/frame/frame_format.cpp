// Encoding and decoding of the frame's fixed-size parts. All integers are
// little-endian; every part ends in a CRC-32C check of the bytes before it.
#include "frame/frame_format.h"

#include <algorithm>

#include "base/bytes.h"
#include "frame/crc32c.h"

namespace zelk {
namespace {

uint32_t record_check(std::span<const uint8_t> fields, uint64_t index) {
    uint8_t index_bytes[8];
    store_le(index_bytes, index);
    return crc32c(index_bytes, crc32c(fields));
}

template <size_t N>
void seal_record(std::array<uint8_t, N>& bytes, uint64_t index) {
    store_le(&bytes[N - 4], record_check(std::span(bytes).first(N - 4), index));
}

}  // namespace

HeaderBytes encode_frame_header(const FrameHeader& header) {
    HeaderBytes bytes{};
    std::copy(FRAME_MAGIC.begin(), FRAME_MAGIC.end(), bytes.begin());
    bytes[4] = header.version;
    bytes[5] = header.flags;
    store_le(&bytes[6], header.block_size);
    store_le(&bytes[10], crc32c(std::span(bytes).first(10)));
    return bytes;
}

FrameHeader decode_frame_header(const HeaderBytes& bytes) {
    return FrameHeader{bytes[4], bytes[5], load_le<uint32_t>(&bytes[6])};
}

bool frame_header_check_ok(const HeaderBytes& bytes) {
    return load_le<uint32_t>(&bytes[10]) == crc32c(std::span(bytes).first(10));
}

BlockRecordBytes encode_block_record(const BlockRecord& record, uint64_t index) {
    BlockRecordBytes bytes{};
    bytes[0] = static_cast<uint8_t>(record.type);
    store_le(&bytes[1], record.size);
    store_le(&bytes[5], record.stored_size);
    store_le(&bytes[9], record.crc);
    seal_record(bytes, index);
    return bytes;
}

BlockRecord decode_block_record(const BlockRecordBytes& bytes) {
    return BlockRecord{static_cast<RecordType>(bytes[0]), load_le<uint32_t>(&bytes[1]),
                       load_le<uint32_t>(&bytes[5]), load_le<uint32_t>(&bytes[9])};
}

EndRecordBytes encode_end_record(const EndRecord& record) {
    EndRecordBytes bytes{};
    bytes[0] = static_cast<uint8_t>(RecordType::End);
    store_le(&bytes[1], record.total_size);
    store_le(&bytes[9], record.block_count);
    seal_record(bytes, record.block_count);
    return bytes;
}

EndRecord decode_end_record(const EndRecordBytes& bytes) {
    return EndRecord{load_le<uint64_t>(&bytes[1]), load_le<uint64_t>(&bytes[9])};
}

bool record_check_ok(std::span<const uint8_t> record, uint64_t index) {
    if (record.size() < 4) return false;
    const size_t n = record.size() - 4;
    return load_le<uint32_t>(&record[n]) == record_check(record.first(n), index);
}

std::string record_type_name(RecordType type) {
    switch (type) {
        case RecordType::Raw: return "raw";
        case RecordType::Chunk: return "chunk";
        case RecordType::End: return "end";
    }
    return "unknown";
}

}  // namespace zelk
