// Encoding and decoding of the frame's fixed-size parts. All integers are
// little-endian; every part ends in a CRC-32C check of the bytes before it,
// a record's check followed by its index and, from version 2 on, the salt.
#include "frame/frame_format.h"

#include <algorithm>

#include "base/bytes.h"
#include "frame/crc32c.h"

namespace zelk {
namespace {

uint32_t record_check(std::span<const uint8_t> fields, uint64_t index, const FrameHeader& frame) {
    uint8_t tail[12];
    store_le(tail, index);
    store_le(tail + 8, frame.salt);
    const size_t tail_size = frame.version >= 2 ? 12 : 8;
    return crc32c(std::span<const uint8_t>(tail, tail_size), crc32c(fields));
}

void seal_record(std::span<uint8_t> bytes, uint64_t index, const FrameHeader& frame) {
    const size_t n = bytes.size() - 4;
    store_le(&bytes[n], record_check(bytes.first(n), index, frame));
}

}  // namespace

uint8_t frame_version_for(uint32_t block_size, bool samples) {
    if (block_size > MAX_BLOCK_SIZE) return LARGE_BLOCK_FRAME_VERSION;
    return samples ? SAMPLE_FRAME_VERSION : FRAME_VERSION;
}

uint32_t max_block_size(uint8_t version) {
    return version >= LARGE_BLOCK_FRAME_VERSION ? MAX_LARGE_BLOCK_SIZE : MAX_BLOCK_SIZE;
}

size_t frame_header_size(uint8_t version) { return version >= 2 ? 18 : 14; }
size_t end_record_size(uint8_t version) { return version >= 2 ? 25 : 21; }

std::vector<uint8_t> encode_frame_header(const FrameHeader& header) {
    std::vector<uint8_t> bytes(frame_header_size(header.version));
    std::copy(FRAME_MAGIC.begin(), FRAME_MAGIC.end(), bytes.begin());
    bytes[4] = header.version;
    bytes[5] = header.flags;
    store_le(&bytes[6], header.block_size);
    if (header.version >= 2) store_le(&bytes[10], header.salt);
    const size_t n = bytes.size() - 4;
    store_le(&bytes[n], crc32c(std::span(bytes).first(n)));
    return bytes;
}

FrameHeader decode_frame_header(std::span<const uint8_t> bytes) {
    FrameHeader header{bytes[4], bytes[5], load_le<uint32_t>(&bytes[6]), 0};
    if (header.version >= 2) header.salt = load_le<uint32_t>(&bytes[10]);
    return header;
}

bool frame_header_check_ok(std::span<const uint8_t> bytes) {
    const size_t n = bytes.size() - 4;
    return load_le<uint32_t>(&bytes[n]) == crc32c(bytes.first(n));
}

BlockRecordBytes encode_block_record(const BlockRecord& record, uint64_t index, const FrameHeader& frame) {
    BlockRecordBytes bytes{};
    bytes[0] = static_cast<uint8_t>(record.type);
    store_le(&bytes[1], record.size);
    store_le(&bytes[5], record.stored_size);
    store_le(&bytes[9], record.crc);
    seal_record(bytes, index, frame);
    return bytes;
}

BlockRecord decode_block_record(const BlockRecordBytes& bytes) {
    return BlockRecord{static_cast<RecordType>(bytes[0]), load_le<uint32_t>(&bytes[1]),
                       load_le<uint32_t>(&bytes[5]), load_le<uint32_t>(&bytes[9])};
}

std::vector<uint8_t> encode_end_record(const EndRecord& record, const FrameHeader& frame) {
    std::vector<uint8_t> bytes(end_record_size(frame.version));
    bytes[0] = static_cast<uint8_t>(RecordType::End);
    store_le(&bytes[1], record.total_size);
    store_le(&bytes[9], record.block_count);
    if (frame.version >= 2) store_le(&bytes[17], record.content_crc);
    seal_record(bytes, record.block_count, frame);
    return bytes;
}

EndRecord decode_end_record(std::span<const uint8_t> bytes, const FrameHeader& frame) {
    EndRecord end{load_le<uint64_t>(&bytes[1]), load_le<uint64_t>(&bytes[9]), 0};
    if (frame.version >= 2) end.content_crc = load_le<uint32_t>(&bytes[17]);
    return end;
}

bool record_check_ok(std::span<const uint8_t> record, uint64_t index, const FrameHeader& frame) {
    if (record.size() < 4) return false;
    const size_t n = record.size() - 4;
    return load_le<uint32_t>(&record[n]) == record_check(record.first(n), index, frame);
}

bool record_type_known(uint8_t type, uint8_t version) {
    switch (static_cast<RecordType>(type)) {
        case RecordType::Raw:
        case RecordType::Chunk:
        case RecordType::End: return true;
        case RecordType::ZstdChunk: return version >= 2;
        case RecordType::Sample: return version >= 3;
    }
    return false;
}

std::string record_type_name(RecordType type) {
    switch (type) {
        case RecordType::Raw: return "raw";
        case RecordType::Chunk: return "chunk";
        case RecordType::ZstdChunk: return "zstd";
        case RecordType::Sample: return "sample";
        case RecordType::End: return "end";
    }
    return "unknown";
}

}  // namespace zelk
