// Encoding and decoding of the frame's fixed-size parts. All integers are
// little-endian; every part ends in a CRC-32C check of the bytes before it.
#include "frame_format.h"

#include <algorithm>

#include "crc32c.h"

namespace zelk {
namespace {

template <typename T>
void put_le(uint8_t* out, T value) {
    for (size_t i = 0; i < sizeof(T); ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

template <typename T>
T get_le(const uint8_t* in) {
    T value = 0;
    for (size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(in[i]) << (8 * i);
    return value;
}

uint32_t record_check(std::span<const uint8_t> fields, uint64_t index) {
    uint8_t index_bytes[8];
    put_le(index_bytes, index);
    return crc32c(index_bytes, crc32c(fields));
}

template <size_t N>
void seal_record(std::array<uint8_t, N>& bytes, uint64_t index) {
    put_le(&bytes[N - 4], record_check(std::span(bytes).first(N - 4), index));
}

}  // namespace

HeaderBytes encode_frame_header(const FrameHeader& header) {
    HeaderBytes bytes{};
    std::copy(FRAME_MAGIC.begin(), FRAME_MAGIC.end(), bytes.begin());
    bytes[4] = header.version;
    bytes[5] = header.flags;
    put_le(&bytes[6], header.block_size);
    put_le(&bytes[10], crc32c(std::span(bytes).first(10)));
    return bytes;
}

FrameHeader decode_frame_header(const HeaderBytes& bytes) {
    return FrameHeader{bytes[4], bytes[5], get_le<uint32_t>(&bytes[6])};
}

bool frame_header_check_ok(const HeaderBytes& bytes) {
    return get_le<uint32_t>(&bytes[10]) == crc32c(std::span(bytes).first(10));
}

BlockRecordBytes encode_block_record(const BlockRecord& record, uint64_t index) {
    BlockRecordBytes bytes{};
    bytes[0] = static_cast<uint8_t>(record.type);
    put_le(&bytes[1], record.size);
    put_le(&bytes[5], record.stored_size);
    put_le(&bytes[9], record.crc);
    seal_record(bytes, index);
    return bytes;
}

BlockRecord decode_block_record(const BlockRecordBytes& bytes) {
    return BlockRecord{static_cast<RecordType>(bytes[0]), get_le<uint32_t>(&bytes[1]),
                       get_le<uint32_t>(&bytes[5]), get_le<uint32_t>(&bytes[9])};
}

EndRecordBytes encode_end_record(const EndRecord& record) {
    EndRecordBytes bytes{};
    bytes[0] = static_cast<uint8_t>(RecordType::End);
    put_le(&bytes[1], record.total_size);
    put_le(&bytes[9], record.block_count);
    seal_record(bytes, record.block_count);
    return bytes;
}

EndRecord decode_end_record(const EndRecordBytes& bytes) {
    return EndRecord{get_le<uint64_t>(&bytes[1]), get_le<uint64_t>(&bytes[9])};
}

bool record_check_ok(std::span<const uint8_t> record, uint64_t index) {
    if (record.size() < 4) return false;
    const size_t n = record.size() - 4;
    return get_le<uint32_t>(&record[n]) == record_check(record.first(n), index);
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
