// The frame parser's checks and their messages. Every message names the byte
// offset in the compressed input where the faulty part begins.
#include "frame/frame_parser.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace zelk {
namespace {

std::string hex_byte(uint8_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", value);
    return text;
}

std::string at(uint64_t offset) { return " at offset " + std::to_string(offset); }

bool all_zero(std::span<const uint8_t> bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

}  // namespace

std::string block_place(uint64_t index, uint64_t offset) {
    return "block " + std::to_string(index) + " at offset " + std::to_string(offset);
}

size_t FrameParser::read(std::span<uint8_t> buffer) {
    size_t got = read_full(source_, buffer);
    offset_ += got;
    return got;
}

void FrameParser::read_record_rest(std::span<uint8_t> record, uint64_t start,
                                   const std::string& what) {
    if (read(record) != record.size()) {
        throw FrameError("truncated input: it ends inside " + what + at(start));
    }
}

FrameError data_after_frame(uint64_t offset, uint64_t frame_index) {
    return FrameError("unknown data" + at(offset) + " after frame " + std::to_string(frame_index) +
                      ": a damaged frame, or not zelk data");
}

AfterFrame classify_after_frame(std::span<const uint8_t> head, uint64_t offset, uint64_t frame_index) {
    const size_t compared = std::min(head.size(), FRAME_MAGIC.size());
    if (std::equal(head.begin(), head.begin() + compared, FRAME_MAGIC.begin())) {
        return compared == FRAME_MAGIC.size() ? AfterFrame::Frame : AfterFrame::Undecided;
    }
    if (all_zero(head)) return AfterFrame::Padding;
    throw data_after_frame(offset, frame_index);
}

// `bytes`: what was read where the next magic would be, not a whole magic.
FrameParser::Next FrameParser::after_frame(std::span<const uint8_t> bytes, uint64_t start) {
    if (bytes.empty()) return Next::EndOfInput;
    if (classify_after_frame(bytes, start, frames_ - 1) != AfterFrame::Padding) throw data_after_frame(start, frames_ - 1);
    std::array<uint8_t, 1 << 16> rest{};
    while (const size_t got = read(rest)) {
        if (!all_zero(std::span(rest).first(got))) throw data_after_frame(start, frames_ - 1);
    }
    return Next::TrailingData;
}

FrameParser::Next FrameParser::next_frame() {
    const uint64_t start = offset_;
    const bool first = frames_ == 0;
    std::array<uint8_t, MAX_FRAME_HEADER_SIZE> bytes{};
    const size_t got = read(std::span(bytes).first(FRAME_MAGIC.size()));
    const bool magic = got == FRAME_MAGIC.size() && std::equal(FRAME_MAGIC.begin(), FRAME_MAGIC.end(), bytes.begin());
    if (first && got == 0) throw FrameError("empty input, not in zelk format");
    if (first && !magic) throw FrameError("not in zelk format");
    if (!magic) return after_frame(std::span(bytes).first(got), start);
    read_record_rest(std::span(bytes).subspan(FRAME_MAGIC.size(), 1), start, "a frame header");
    const uint8_t version = bytes[FRAME_MAGIC.size()];
    check_version(version, start);
    const auto header_bytes = std::span(bytes).first(frame_header_size(version));
    read_record_rest(header_bytes.subspan(FRAME_MAGIC.size() + 1), start, "a frame header");
    const FrameHeader header = decode_frame_header(header_bytes);
    if (!frame_header_check_ok(header_bytes)) throw FrameError("damaged frame header" + at(start));
    if (header.flags != 0) {
        throw FrameError("frame" + at(start) + " uses unknown features (flags " +
                         hex_byte(header.flags) + ")");
    }
    if (header.block_size == 0 || header.block_size > max_block_size(header.version)) {
        throw FrameError("frame" + at(start) + " has an unsupported block size of " +
                         std::to_string(header.block_size) + " bytes");
    }
    header_ = header;
    ++frames_;
    next_index_ = 0;
    frame_total_ = 0;
    return Next::Frame;
}

std::optional<StoredBlock> FrameParser::next_block() {
    const uint64_t start = offset_;
    const std::string place = block_place(next_index_, start);
    uint8_t type = 0;
    if (read(std::span(&type, 1)) == 0) {
        throw FrameError("truncated input: it ends" + at(start) + ", where block " +
                         std::to_string(next_index_) + " or the end record should begin");
    }
    if (type == static_cast<uint8_t>(RecordType::End)) {
        std::array<uint8_t, MAX_END_RECORD_SIZE> buffer{};
        const auto bytes = std::span(buffer).first(end_record_size(header_.version));
        bytes[0] = type;
        read_record_rest(bytes.subspan(1), start, "the end record");
        check_end(bytes, start);
        return std::nullopt;
    }
    BlockRecordBytes bytes{};
    bytes[0] = type;
    if (record_type_known(type, header_.version)) {
        read_record_rest(std::span(bytes).subspan(1), start, "the record of " + place);
    }
    StoredBlock block{next_index_, start, check_record(bytes, start), {}};
    block.stored.resize(block.record.stored_size);
    const size_t got = read(block.stored);
    if (got != block.stored.size()) {
        throw FrameError("truncated input: it ends inside the stored bytes of " + place + " (" +
                         std::to_string(got) + " of " + std::to_string(block.stored.size()) +
                         " bytes present)");
    }
    ++next_index_;
    frame_total_ += block.record.size;
    return block;
}

void FrameParser::check_version(uint8_t version, uint64_t start) const {
    if (version < OLDEST_FRAME_VERSION || version > NEWEST_FRAME_VERSION) {
        throw FrameError("frame" + at(start) + " has format version " + std::to_string(version) +
                         ", this program reads versions " + std::to_string(OLDEST_FRAME_VERSION) + " to " +
                         std::to_string(NEWEST_FRAME_VERSION));
    }
}

BlockRecord FrameParser::check_record(const BlockRecordBytes& bytes, uint64_t start) const {
    const std::string place = block_place(next_index_, start);
    if (!record_type_known(bytes[0], header_.version)) {
        throw FrameError(place + ": unknown record type " + hex_byte(bytes[0]) + ", the frame is damaged");
    }
    if (!record_check_ok(bytes, next_index_, header_)) {
        throw FrameError(place + ": damaged record (its check does not match)");
    }
    const BlockRecord record = decode_block_record(bytes);
    if (record.size == 0 || record.size > header_.block_size) {
        throw FrameError(place + ": size " + std::to_string(record.size) +
                         " is outside the frame's block size of " +
                         std::to_string(header_.block_size));
    }
    const bool consistent = record.type == RecordType::Raw ? record.stored_size == record.size
                                                           : record.stored_size < record.size;
    if (!consistent) {
        throw FrameError(place + ": stored size " + std::to_string(record.stored_size) +
                         " does not fit a " + record_type_name(record.type) + " block of " +
                         std::to_string(record.size) + " bytes");
    }
    return record;
}

size_t FrameParser::next_size(std::span<const uint8_t> head, bool frame_start) const {
    if (frame_start) {
        const size_t magic = std::min(head.size(), FRAME_MAGIC.size());
        if (!std::equal(head.begin(), head.begin() + magic, FRAME_MAGIC.begin())) return magic;  // refused whole
        if (head.size() <= FRAME_MAGIC.size()) return 0;
        check_version(head[FRAME_MAGIC.size()], offset_);
        return frame_header_size(head[FRAME_MAGIC.size()]);
    }
    if (head.empty()) return 0;
    if (head[0] == static_cast<uint8_t>(RecordType::End)) return end_record_size(header_.version);
    if (head.size() < BLOCK_RECORD_SIZE) return record_type_known(head[0], header_.version) ? 0 : 1;
    BlockRecordBytes bytes{};
    std::copy_n(head.begin(), BLOCK_RECORD_SIZE, bytes.begin());
    return BLOCK_RECORD_SIZE + check_record(bytes, offset_).stored_size;
}

void FrameParser::check_end(std::span<const uint8_t> bytes, uint64_t start) {
    const EndRecord end = decode_end_record(bytes, header_);
    if (!record_check_ok(bytes, end.block_count, header_)) {
        throw FrameError("damaged end record" + at(start) + " (its check does not match)");
    }
    if (end.block_count != next_index_) {
        throw FrameError("end record" + at(start) + " counts " + std::to_string(end.block_count) +
                         " blocks, the frame holds " + std::to_string(next_index_));
    }
    if (end.total_size != frame_total_) {
        throw FrameError("end record" + at(start) + " gives a total of " +
                         std::to_string(end.total_size) + " bytes, the blocks hold " +
                         std::to_string(frame_total_));
    }
    end_ = end;
}

}  // namespace zelk
