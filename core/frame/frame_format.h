// The byte layout of a zelk frame (docs/frame-format.md): the frame header,
// the block record that precedes each stored block and the end record, in
// the current version 2 and in version 1, which readers still accept. Only
// layout lives here: encoding the fixed-size parts, decoding their fields
// and computing their checks. What a reader accepts is decided by the parser.
//
// Version 2 adds the frame's salt, which enters every record's check so that
// records spliced in from another frame fail it, and the CRC-32C of the whole
// content in the end record. Version 3 adds the sample block and nothing
// else; writers write it only for frames given typed data, so that readers
// of version 2 read every other frame.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace zelk {

inline constexpr std::array<uint8_t, 4> FRAME_MAGIC = {0x89, 'Z', 'L', 'K'};
inline constexpr uint8_t FRAME_VERSION = 2;         // what writers write for untyped data
inline constexpr uint8_t SAMPLE_FRAME_VERSION = 3;  // frames that may hold sample blocks
inline constexpr uint8_t LARGE_BLOCK_FRAME_VERSION = 4;  // frames of blocks past MAX_BLOCK_SIZE
inline constexpr uint8_t NEWEST_FRAME_VERSION = 4;  // the newest readers read
inline constexpr uint8_t OLDEST_FRAME_VERSION = 1;  // the oldest readers read

// Blocks are at most this long in frames of versions 1 to 3, and at most
// MAX_LARGE_BLOCK_SIZE in version 4, which long-distance matching writes;
// a reader's memory limit bounds what one block may cost it.
inline constexpr uint32_t MAX_BLOCK_SIZE = uint32_t{64} << 20;
inline constexpr uint32_t MAX_LARGE_BLOCK_SIZE = uint32_t{1} << 31;

// The version a writer writes for blocks of `block_size` that may or may not
// hold samples: the oldest that holds them.
uint8_t frame_version_for(uint32_t block_size, bool samples);
// The largest block size a frame of `version` may state.
uint32_t max_block_size(uint8_t version);

inline constexpr size_t BLOCK_RECORD_SIZE = 17;
inline constexpr size_t MAX_FRAME_HEADER_SIZE = 18;
inline constexpr size_t MAX_END_RECORD_SIZE = 25;

// 14 bytes in version 1, 18 in version 2.
size_t frame_header_size(uint8_t version);
// 21 bytes in version 1, 25 in version 2.
size_t end_record_size(uint8_t version);

enum class RecordType : uint8_t {
    Raw = 0x01,        // the block's bytes
    Chunk = 0x02,      // a zelk chunk in mode Plain
    ZstdChunk = 0x03,  // a Zstandard fallback chunk (version 2)
    Sample = 0x04,     // a sample block: typed samples (version 3)
    End = 0xFF,
};

struct FrameHeader {
    uint8_t version = FRAME_VERSION;
    uint8_t flags = 0;
    uint32_t block_size = 0;
    uint32_t salt = 0;  // version 2: enters every record's check
};

struct BlockRecord {
    RecordType type = RecordType::Raw;
    uint32_t size = 0;         // uncompressed bytes
    uint32_t stored_size = 0;  // bytes that follow the record
    uint32_t crc = 0;          // CRC-32C of the uncompressed bytes
};

struct EndRecord {
    uint64_t total_size = 0;    // uncompressed bytes of the whole frame
    uint64_t block_count = 0;   // block records in the frame
    uint32_t content_crc = 0;   // version 2: CRC-32C of the whole content
};

// Damage or misuse found in a frame; the message says what and where.
class FrameError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The input ended inside a frame, told apart from other damage for callers
// that report it as a file's premature end.
class TruncatedFrame : public FrameError {
public:
    using FrameError::FrameError;
};

using BlockRecordBytes = std::array<uint8_t, BLOCK_RECORD_SIZE>;

std::vector<uint8_t> encode_frame_header(const FrameHeader& header);
// `bytes` holds frame_header_size(bytes[4]) bytes.
FrameHeader decode_frame_header(std::span<const uint8_t> bytes);
bool frame_header_check_ok(std::span<const uint8_t> bytes);

// `index` is the record's position in its frame (the end record's is the
// block count); it enters the record's check with the frame's salt, so that
// records moved, repeated, dropped or taken from another frame fail it.
BlockRecordBytes encode_block_record(const BlockRecord& record, uint64_t index, const FrameHeader& frame);
BlockRecord decode_block_record(const BlockRecordBytes& bytes);
std::vector<uint8_t> encode_end_record(const EndRecord& record, const FrameHeader& frame);
// `bytes` holds end_record_size(frame.version) bytes.
EndRecord decode_end_record(std::span<const uint8_t> bytes, const FrameHeader& frame);

// Whether the last four bytes of a record are the check of the others.
bool record_check_ok(std::span<const uint8_t> record, uint64_t index, const FrameHeader& frame);

// Whether a frame of `version` may hold records of `type`.
bool record_type_known(uint8_t type, uint8_t version);
std::string record_type_name(RecordType type);

}  // namespace zelk
