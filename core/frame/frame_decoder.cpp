#include "frame/frame_decoder.h"

#include <algorithm>
#include <string>

namespace zelk {

size_t FrameDecoder::FedSource::read(std::span<uint8_t> buffer) {
    const size_t n = std::min(buffer.size(), owner_.input_.size() - owner_.parsed_);
    std::copy_n(owner_.input_.begin() + static_cast<ptrdiff_t>(owner_.parsed_), n, buffer.begin());
    owner_.parsed_ += n;
    return n;
}

FrameDecoder::FrameDecoder(const BlockCodec& codec, unsigned threads, uint64_t memory_limit, FrameSequence sequence)
    : sequence_(sequence), parser_(source_),
      blocks_(codec, threads, memory_limit, [this](std::vector<uint8_t>&& data) {
          if (ready_start_ == ready_.size()) {
              ready_ = std::move(data);
          } else {
              ready_.erase(ready_.begin(), ready_.begin() + static_cast<ptrdiff_t>(ready_start_));
              ready_.insert(ready_.end(), data.begin(), data.end());
          }
          ready_start_ = 0;
      }) {}

void FrameDecoder::feed(std::span<const uint8_t> data) {
    // Drop what the parser has read once it is most of the buffer, so the
    // buffer holds about what is still to parse.
    if (parsed_ > input_.size() / 2) {
        input_.erase(input_.begin(), input_.begin() + static_cast<ptrdiff_t>(parsed_));
        parsed_ = 0;
    }
    input_.insert(input_.end(), data.begin(), data.end());
}

std::span<const uint8_t> FrameDecoder::unused() const {
    return eof_ && sequence_ == FrameSequence::OneFrame ? unparsed() : std::span<const uint8_t>();
}

size_t FrameDecoder::ready_unit_size() const {
    if (end_ || between_frames_) return 0;
    const std::span<const uint8_t> head = unparsed();
    const size_t size = parser_.next_size(head, !in_frame_);
    return size > 0 && size <= head.size() ? size : 0;
}

bool FrameDecoder::needs_input() const {
    if (eof_ || fault_ || ready_start_ < ready_.size() || blocks_.in_flight() > 0 || end_) return false;
    return between_frames_ || ready_unit_size() == 0;
}

void FrameDecoder::settle_between_frames() {
    const uint64_t last_frame = parser_.frames() - 1;
    if (!padding_start_) {
        const AfterFrame next = classify_after_frame(unparsed(), parser_.offset(), last_frame);
        if (next == AfterFrame::Frame) between_frames_ = false;
        if (next != AfterFrame::Padding) return;
        padding_start_ = parser_.offset();
    }
    if (std::any_of(unparsed().begin(), unparsed().end(), [](uint8_t b) { return b != 0; })) {
        throw data_after_frame(*padding_start_, last_frame);
    }
    parsed_ = input_.size();
}

bool FrameDecoder::parse_ready_units() {
    bool parsed = false;
    for (;;) {
        if (between_frames_) settle_between_frames();
        if (blocks_.full() || ready_unit_size() == 0) return parsed;
        parsed = true;
        try {
            if (!in_frame_) {
                parser_.next_frame();
                in_frame_ = true;
                blocks_.start_frame(parser_.header(), parser_.offset() - frame_header_size(parser_.header().version));
            } else if (auto block = parser_.next_block()) {
                blocks_.push(std::move(*block));
            } else {
                end_ = parser_.end_record();
            }
        } catch (const FrameError&) {
            blocks_.drain();  // an earlier damaged block is the fault to name
            throw;
        }
    }
}

void FrameDecoder::end_of_frame() {
    blocks_.end_frame(*end_);
    end_.reset();
    in_frame_ = false;
    if (sequence_ == FrameSequence::OneFrame) eof_ = true;
    else between_frames_ = true;
}

void FrameDecoder::read(uint64_t max, std::vector<uint8_t>& out) {
    try {
        while (!fault_) {
            const size_t ready = ready_.size() - ready_start_;
            if (ready >= max || eof_) break;
            const bool parsed = parse_ready_units();
            if (blocks_.in_flight() > 0) {
                blocks_.deliver_oldest();
            } else if (end_) {
                end_of_frame();
            } else if (!parsed) {
                break;
            }
        }
    } catch (const FrameError&) {
        fault_ = std::current_exception();
    }
    // In a sequence the data decoded before a fault goes out first, and the
    // fault when none is left, as a file's reader would have it.
    if (fault_ && (sequence_ == FrameSequence::OneFrame || ready_start_ == ready_.size())) {
        std::rethrow_exception(fault_);
    }
    const size_t n = static_cast<size_t>(std::min<uint64_t>(max, ready_.size() - ready_start_));
    if (out.empty() && ready_start_ == 0 && n == ready_.size()) {
        out = std::move(ready_);
        ready_.clear();
        return;
    }
    out.insert(out.end(), ready_.begin() + static_cast<ptrdiff_t>(ready_start_),
               ready_.begin() + static_cast<ptrdiff_t>(ready_start_ + n));
    ready_start_ += n;
}

void FrameDecoder::finish() {
    if (eof_ || fault_) return;
    const bool nothing_fed = parser_.offset() == 0 && input_.empty();
    if (between_frames_ && unparsed().empty()) {
        eof_ = true;
    } else if (between_frames_) {
        throw data_after_frame(parser_.offset(), parser_.frames() - 1);  // a cut magic
    } else if (nothing_fed && sequence_ == FrameSequence::Sequence) {
        eof_ = true;
    } else if (parser_.frames() == 0 && unparsed().size() < FRAME_MAGIC.size()) {
        parser_.next_frame();  // too short for a magic: refused as the whole-stream reader refuses it
    } else {
        throw TruncatedFrame("truncated input: it ends inside frame " + std::to_string(parser_.frames() - in_frame_) +
                             ", at offset " + std::to_string(parser_.offset() + unparsed().size()));
    }
}

}  // namespace zelk
