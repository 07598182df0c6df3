// Reads the structure of a stream of frames: headers, block records with
// their stored bytes, end records, and whatever follows the last frame. It
// checks everything that can be checked without decoding a block (magic,
// version, every record's check, sizes against the frame's block size, the
// end record against the blocks) and throws FrameError naming the place of
// the first fault. Decoding and checksums of the data, the content's
// included, are the caller's.
#pragma once

#include <cstdint>
#include <array>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "frame/frame_format.h"
#include "frame/frame_io.h"

namespace zelk {

// A block read from a frame, with where it was found for error messages.
struct StoredBlock {
    uint64_t index = 0;   // position of its record in the frame
    uint64_t offset = 0;  // byte offset of its record in the compressed input
    BlockRecord record;
    std::vector<uint8_t> stored;
};

// "block N at offset X", the place named in error messages.
std::string block_place(uint64_t index, uint64_t offset);

// What may follow a frame's end record, judged from the bytes that follow
// (`head`): another frame, zero bytes to the end of the input (padding, as
// block devices and tape archives leave), or too few bytes to tell (a
// prefix of the magic). Anything else throws the FrameError of data after
// frame `frame_index` at `offset`: damage, since a frame whose magic was hit
// looks the same. Both frame readers decide here.
enum class AfterFrame { Undecided, Frame, Padding };
AfterFrame classify_after_frame(std::span<const uint8_t> head, uint64_t offset, uint64_t frame_index);
FrameError data_after_frame(uint64_t offset, uint64_t frame_index);

class FrameParser {
public:
    // `start`: the offset of the source's first byte in the whole input,
    // for the offsets messages name.
    explicit FrameParser(ByteSource& source, uint64_t start = 0) : source_(source), offset_(start) {}

    enum class Next { Frame, EndOfInput, TrailingData };

    // Reads the next frame's header. The input must begin with a frame;
    // after a frame's end record, another frame, the end of the input, or
    // zero bytes to its end (TrailingData, read and dropped) may follow;
    // other bytes there are a FrameError, a later frame's damaged header
    // among them.
    Next next_frame();

    // The next block of the current frame, or nothing once its end record
    // has been read and found consistent with the blocks.
    std::optional<StoredBlock> next_block();

    // For a reader fed by pushes, which calls next_frame() or next_block()
    // only once all the bytes it will read have arrived: how many that is,
    // judged from the bytes it begins with (`head`), or 0 while `head` is too
    // short to tell. A block counts with its stored bytes. Throws the
    // FrameError the call would throw where `head` shows the fault already.
    size_t next_size(std::span<const uint8_t> head, bool frame_start) const;

    const FrameHeader& header() const { return header_; }
    // The current frame's end record, once next_block() has returned nothing.
    const EndRecord& end_record() const { return end_; }
    uint64_t offset() const { return offset_; }  // bytes consumed so far
    uint64_t frames() const { return frames_; }  // headers read so far

private:
    size_t read(std::span<uint8_t> buffer);
    void read_record_rest(std::span<uint8_t> record, uint64_t start, const std::string& what);
    void check_version(uint8_t version, uint64_t start) const;
    // The record's type, check and sizes (`bytes` holds one block record).
    BlockRecord check_record(const BlockRecordBytes& bytes, uint64_t start) const;
    void check_end(std::span<const uint8_t> bytes, uint64_t start);
    Next after_frame(std::span<const uint8_t> bytes, uint64_t start);

    ByteSource& source_;
    uint64_t offset_ = 0;
    uint64_t frames_ = 0;
    FrameHeader header_;
    EndRecord end_;
    uint64_t next_index_ = 0;
    uint64_t frame_total_ = 0;
};

}  // namespace zelk
