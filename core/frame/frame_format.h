// The byte layout of a zelk frame (docs/frame-format.md): the frame header,
// the block record that precedes each stored block and the end record. Only
// layout lives here: encoding the fixed-size parts, decoding their fields
// and computing their checks. What a reader accepts is decided by the parser.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>

namespace zelk {

inline constexpr std::array<uint8_t, 4> FRAME_MAGIC = {0x89, 'Z', 'L', 'K'};
inline constexpr uint8_t FRAME_VERSION = 1;

// Blocks are at most this long, which bounds what one block costs a reader.
inline constexpr uint32_t MAX_BLOCK_SIZE = uint32_t{64} << 20;

inline constexpr size_t FRAME_HEADER_SIZE = 14;
inline constexpr size_t BLOCK_RECORD_SIZE = 17;
inline constexpr size_t END_RECORD_SIZE = 21;

enum class RecordType : uint8_t { Raw = 0x01, Chunk = 0x02, End = 0xFF };

struct FrameHeader {
    uint8_t version = FRAME_VERSION;
    uint8_t flags = 0;
    uint32_t block_size = 0;
};

struct BlockRecord {
    RecordType type = RecordType::Raw;
    uint32_t size = 0;         // uncompressed bytes
    uint32_t stored_size = 0;  // bytes that follow the record
    uint32_t crc = 0;          // CRC-32C of the uncompressed bytes
};

struct EndRecord {
    uint64_t total_size = 0;   // uncompressed bytes of the whole frame
    uint64_t block_count = 0;  // block records in the frame
};

// Damage or misuse found in a frame; the message says what and where.
class FrameError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

using HeaderBytes = std::array<uint8_t, FRAME_HEADER_SIZE>;
using BlockRecordBytes = std::array<uint8_t, BLOCK_RECORD_SIZE>;
using EndRecordBytes = std::array<uint8_t, END_RECORD_SIZE>;

HeaderBytes encode_frame_header(const FrameHeader& header);
FrameHeader decode_frame_header(const HeaderBytes& bytes);
bool frame_header_check_ok(const HeaderBytes& bytes);

// `index` is the record's position in its frame (the end record's is the
// block count); it enters the record's check, so that records moved,
// repeated or dropped fail it.
BlockRecordBytes encode_block_record(const BlockRecord& record, uint64_t index);
BlockRecord decode_block_record(const BlockRecordBytes& bytes);
EndRecordBytes encode_end_record(const EndRecord& record);
EndRecord decode_end_record(const EndRecordBytes& bytes);

// Whether the last four bytes of a record are the check of the others.
bool record_check_ok(std::span<const uint8_t> record, uint64_t index);

std::string record_type_name(RecordType type);

}  // namespace zelk
