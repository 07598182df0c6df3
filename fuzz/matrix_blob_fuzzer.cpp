// Hostile compressed matrices for the reader the command lists and tests
// them with. The harness first reseals every check the blob's structure lets
// it find (the header's, each band descriptor's, a wavelet band's head), so
// that what the fuzzer varies is the structure and the nested frames, not
// checks that would stop the reader at once. Summarising must then succeed
// wherever verifying does and report the same, and neither may crash, hang
// or take memory its input does not justify (the frames' blocks are decoded
// under a memory limit).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "base/bytes.h"
#include "frame/block_codec.h"
#include "frame/crc32c.h"
#include "frame/frame_format.h"
#include "matrix_blob/matrix_blob.h"

namespace {

using namespace zelk;

constexpr size_t HEADER = 64, DESCRIPTOR = 33;
constexpr uint64_t MEMORY_LIMIT = uint64_t{256} << 20;

void reseal(std::vector<uint8_t>& bytes) {
    if (bytes.size() < 8 || bytes[4] < 2 || bytes[4] > 4) return;
    const size_t end = HEADER + 8 * size_t{bytes[6]};
    if (bytes.size() < end + 4) return;
    store_le(&bytes[end], crc32c(std::span(bytes).first(end)));
    for (size_t at = end + 4; bytes.size() - at >= DESCRIPTOR + 4;) {
        store_le(&bytes[at + DESCRIPTOR], crc32c(std::span(bytes).subspan(at, DESCRIPTOR)));
        const uint64_t values = load_le<uint64_t>(&bytes[at + 17]), corrections = load_le<uint64_t>(&bytes[at + 25]);
        const size_t body = at + DESCRIPTOR + 4;
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
    try {
        const MatrixSummary verified = verify_matrix_blob(bytes, ChunkBlockCodec{}, 1, MEMORY_LIMIT);
        if (!summarised || verified.bands != summary.bands || verified.shape != summary.shape) std::abort();
    } catch (const FrameError&) {
    }
    return 0;
}
