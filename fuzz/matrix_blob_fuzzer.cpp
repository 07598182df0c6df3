// Hostile compressed matrices for the reader the command lists and tests
// them with, and for the decoder that restores their values. The harness
// first reseals every check the blob's structure lets it find (the
// header's, each band descriptor's, a wavelet band's head), so that what
// the fuzzer varies is the structure and the nested frames, not checks that
// would stop the reader at once. Summarising must then succeed wherever
// verifying does and report the same; restoring may succeed only where
// verifying does; and none may crash, hang or take memory its input does
// not justify (the frames' blocks are decoded under a memory limit).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <vector>

#include "base/bytes.h"
#include "frame/block_codec.h"
#include "frame/crc32c.h"
#include "frame/frame_format.h"
#include "matrix_blob/matrix_blob.h"
#include "matrix_blob/matrix_decoder.h"
#include "sample/sample_layout.h"

namespace {

using namespace zelk;

constexpr uint64_t MEMORY_LIMIT = uint64_t{256} << 20;
constexpr uint64_t MOST_RESTORED = uint64_t{64} << 20;  // the array a blob may claim for the decoder to run

// Reads past a blob's fields: fixed ones, and counts of eight bytes before
// version 5, varints from then on; `ok` until one runs past the end.
struct Fields {
    const std::vector<uint8_t>& bytes;
    size_t at;
    bool varints;
    bool ok = true;
    void skip(size_t count) {
        if (bytes.size() - at < count) ok = false;
        else at += count;
    }
    uint64_t count() {
        if (!varints) {
            skip(8);
            return ok ? load_le<uint64_t>(&bytes[at - 8]) : 0;
        }
        const std::optional<uint64_t> value = read_varint(bytes, at);
        ok = ok && value.has_value();
        return value.value_or(0);
    }
};

void reseal(std::vector<uint8_t>& bytes) {
    if (bytes.size() < 8 || bytes[4] < 2 || bytes[4] > 5) return;
    const bool varints = bytes[4] >= 5;
    Fields header{bytes, 8, varints};
    header.skip(32);  // the bound, the errors and the range
    header.count();   // corrections
    header.skip(8);   // the largest step
    header.count();   // units per band
    for (size_t i = 0; i < bytes[6]; ++i) header.count();
    if (!header.ok || bytes.size() - header.at < 4) return;
    store_le(&bytes[header.at], crc32c(std::span(bytes).first(header.at)));
    for (size_t at = header.at + 4;;) {
        Fields descriptor{bytes, at, varints};
        descriptor.skip(9);  // path and step
        descriptor.count();  // corrections
        const uint64_t values = descriptor.count(), corrections = descriptor.count();
        if (!descriptor.ok || bytes.size() - descriptor.at < 4) return;
        store_le(&bytes[descriptor.at], crc32c(std::span(bytes).subspan(at, descriptor.at - at)));
        const size_t body = descriptor.at + 4;
        if ((bytes[at] == 3 || bytes[at] == 7) && bytes.size() - body >= 13) {  // a wavelet's head: levels, step
            store_le(&bytes[body + 9], crc32c(std::span(bytes).subspan(body, 9)));
        }
        if (values > bytes.size() - body || corrections > bytes.size() - body - values) return;
        at = body + values + corrections;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    std::vector<uint8_t> bytes(data, data + size);
    reseal(bytes);
    bool summarised = false;
    MatrixSummary summary;
    try {
        summary = summarize_matrix_blob(bytes);
        summarised = true;
    } catch (const FrameError&) {
    }
    bool verified = false;
    try {
        const MatrixSummary checked = verify_matrix_blob(bytes, ChunkBlockCodec{}, 1, MEMORY_LIMIT);
        if (!summarised || checked.bands != summary.bands || checked.shape != summary.shape) std::abort();
        verified = true;
    } catch (const FrameError&) {
    }
    if (summarised && summary.version >= 2 && summary.value_bytes() <= MOST_RESTORED) {
        try {
            const MatrixLayout layout = read_matrix_layout(bytes);
            std::vector<uint8_t> values(layout.summary.value_bytes());
            decode_matrix_bands(layout, ChunkBlockCodec{}, 1, MEMORY_LIMIT, values);
            if (!verified) std::abort();
        } catch (const FrameError&) {
        }
    }
    return 0;
}
