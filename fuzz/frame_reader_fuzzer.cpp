// Hostile streams for the frame reader. The harness first recomputes every
// check the stream's structure lets it find (the header's, each record's for
// its index and the frame's salt, the end record's), so that what the
// fuzzer varies is the structure itself and the blocks' contents, not checks
// that would stop the reader at once. The stream is then read on one thread
// and on three: both must end the same way, with the same output or the same
// error, and never decode a zelk block longer than its stored size allows.
// Its first frame is also fed piece by piece to the decoder that takes its
// input that way, on the calling thread, read under a small output limit:
// its data must begin the whole-stream reader's, and it must fail with the
// same message, or wait for more input only where that reader fails too.
//
// The frame's block size is cut to 256 KiB, so that each input's work stays
// small while every path of the reader remains reachable.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "frame/block_codec.h"
#include "frame/crc32c.h"
#include "frame/frame_decoder.h"
#include "frame/frame_format.h"
#include "frame/frame_io.h"
#include "frame/frame_reader.h"

namespace {

using namespace zelk;

constexpr uint32_t MAX_FUZZ_BLOCK = uint32_t{256} << 10;

// Recomputes the checks of the first frame of `bytes`, as far as its
// structure goes, in place.
void reseal(std::vector<uint8_t>& bytes) {
    if (bytes.size() < 5) return;
    const uint8_t version = bytes[4];
    if (version < OLDEST_FRAME_VERSION || version > NEWEST_FRAME_VERSION) return;
    const size_t header_size = frame_header_size(version);
    if (bytes.size() < header_size) return;
    store_le(&bytes[6], std::min(load_le<uint32_t>(&bytes[6]), MAX_FUZZ_BLOCK));
    store_le(&bytes[header_size - 4], crc32c(std::span(bytes).first(header_size - 4)));
    const FrameHeader header = decode_frame_header(std::span(bytes).first(header_size));
    size_t at = header_size;
    for (uint64_t index = 0; at < bytes.size(); ++index) {
        if (bytes[at] == static_cast<uint8_t>(RecordType::End)) {
            const size_t n = end_record_size(version);
            if (at + n > bytes.size()) return;
            EndRecord end = decode_end_record(std::span(bytes).subspan(at, n), header);
            end.block_count = index;
            const std::vector<uint8_t> sealed = encode_end_record(end, header);
            std::copy(sealed.begin(), sealed.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
            return;
        }
        if (at + BLOCK_RECORD_SIZE > bytes.size()) return;
        BlockRecordBytes record{};
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), BLOCK_RECORD_SIZE, record.begin());
        const BlockRecordBytes sealed = encode_block_record(decode_block_record(record), index, header);
        std::copy(sealed.begin(), sealed.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
        at += BLOCK_RECORD_SIZE + decode_block_record(record).stored_size;
    }
}

struct Outcome {
    std::vector<uint8_t> output;
    std::string error;
};

Outcome read(const std::vector<uint8_t>& bytes, unsigned threads) {
    SpanSource source(bytes);
    VectorSink sink;
    Outcome outcome;
    try {
        read_frames(source, &sink, ChunkBlockCodec{}, threads);
    } catch (const FrameError& e) {
        outcome.error = e.what();
    }
    outcome.output = std::move(sink.bytes);
    return outcome;
}

struct PushedOutcome {
    std::vector<uint8_t> output;
    std::string error;
    bool eof = false;
};

// The input fed in pieces under an output limit; a sequence is then told
// that the input has ended, and a cut frame is reported as "truncated".
PushedOutcome read_pushed(const std::vector<uint8_t>& bytes, FrameSequence sequence) {
    const ChunkBlockCodec codec;
    FrameDecoder decoder(codec, 0, UINT64_MAX, sequence);
    PushedOutcome outcome;
    const size_t piece = 1 + bytes.size() % 97, limit = 1 + bytes.size() % 4093;
    auto drain = [&] {
        do decoder.read(limit, outcome.output);
        while (!decoder.needs_input() && !decoder.eof());
    };
    try {
        for (size_t at = 0; at < bytes.size() && !decoder.eof(); at += piece) {
            decoder.feed(std::span(bytes).subspan(at, std::min(piece, bytes.size() - at)));
            drain();
        }
        if (sequence == FrameSequence::Sequence) {
            decoder.finish();
            drain();
        }
    } catch (const TruncatedFrame&) {
        outcome.error = "truncated";
    } catch (const FrameError& e) {
        outcome.error = e.what();
    }
    outcome.eof = decoder.eof();
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    std::vector<uint8_t> bytes(data, data + size);
    reseal(bytes);
    const Outcome one = read(bytes, 1);
    const Outcome three = read(bytes, 3);
    if (one.error != three.error || one.output != three.output) std::abort();
    const PushedOutcome pushed = read_pushed(bytes, FrameSequence::OneFrame);
    if (!pushed.error.empty() && pushed.error != one.error) std::abort();
    if (pushed.output.size() > one.output.size() ||
        !std::equal(pushed.output.begin(), pushed.output.end(), one.output.begin())) {
        std::abort();
    }
    if (pushed.error.empty() && !pushed.eof && one.error.empty()) std::abort();  // waiting where the stream is whole
    // Read as a sequence, the stream gives what the whole-stream reader gives.
    const PushedOutcome all = read_pushed(bytes, FrameSequence::Sequence);
    const bool cut = one.error.starts_with("truncated");
    if (size > 0 && (all.error != (cut ? "truncated" : one.error) || all.output != one.output)) std::abort();
    if (all.error.empty() && !all.eof) std::abort();
    // Zero padding after a frame aside, no stream restores more than about
    // twice its size from zelk blocks; Zstandard blocks are bounded by the
    // block size, which the harness keeps small.
    if (one.output.size() > 2 * size + 64 * size_t{MAX_FUZZ_BLOCK}) std::abort();
    return 0;
}
