// The Zstandard fallback chunk over libzstd's one-shot functions: the
// frame's content size always written (ZSTD_compress2 does, for a one-shot
// input) and no checksum (the frame format checks every block's bytes
// itself).
//
// Contexts: each thread keeps one of each kind between calls, reset before
// every use (which gives the same bytes as a new one). A new context costs
// some 15 µs in allocating and clearing its tables, more than coding a few
// KiB; a kept compression context whose tables outgrew KEPT_CONTEXT_BYTES
// (the high levels' on large inputs, or one that ran workers) is freed after
// its call, so an idle thread holds little.
//
// Jobs: a chunk coded by workers is cut into JOBS_PER_CHUNK jobs of at
// least MIN_JOB bytes, whatever the number of workers, so that the output
// does not depend on it. Each job loads a whole window of the data before
// it (overlap log 9), which keeps the size within 0.1% of one pass on C
// headers, shared libraries and a tar of documents at levels 3 to 19; half
// a window is a tenth faster but 2% larger on a shared library at level 19
// and 10% on the documents at level 3, where files repeat far apart.
#include "codec/zstd_chunk.h"

#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_getFrameHeader's blockSizeMax
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <memory>
#include <new>
#include <string>

#include "base/kept_buffers.h"

namespace zelk {
namespace {

constexpr uint64_t MAX_INPUT_LENGTH = UINT32_MAX;  // what the length field can hold
constexpr size_t JOBS_PER_CHUNK = 2;
constexpr size_t MIN_JOB = size_t{1} << 20;
constexpr int JOB_OVERLAP_LOG = 9;

CodecError damaged(const std::string& what) { return {ErrorKind::InvalidData, "Zstd chunk: " + what}; }

constexpr size_t KEPT_CONTEXT_BYTES = size_t{4} << 20;

struct ContextDeleter {
    void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
    void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};
using CompressionContext = std::unique_ptr<ZSTD_CCtx, ContextDeleter>;
using DecompressionContext = std::unique_ptr<ZSTD_DCtx, ContextDeleter>;

thread_local CompressionContext kept_compression_context;
thread_local DecompressionContext kept_decompression_context;

// This thread's kept context, taken from it for the call, or a new one;
// with default parameters either way.
CompressionContext take_compression_context() {
    CompressionContext context = std::move(kept_compression_context);
    if (context) {
        ZSTD_CCtx_reset(context.get(), ZSTD_reset_session_and_parameters);
    } else {
        context.reset(ZSTD_createCCtx());
        if (!context) throw std::bad_alloc();
    }
    return context;
}

void keep_compression_context(CompressionContext context, bool ran_workers) {
    if (!ran_workers && ZSTD_sizeof_CCtx(context.get()) <= KEPT_CONTEXT_BYTES) kept_compression_context = std::move(context);
}

DecompressionContext take_decompression_context() {
    DecompressionContext context = std::move(kept_decompression_context);
    if (context) {
        ZSTD_DCtx_reset(context.get(), ZSTD_reset_session_and_parameters);
    } else {
        context.reset(ZSTD_createDCtx());
        if (!context) throw std::bad_alloc();
    }
    return context;
}

// The most a whole frame's blocks can produce, whatever its header states
// (RFC 8878, 3.1.1.2): a raw or RLE block its stated size, a compressed
// block at most the frame's largest block size. 0 for a malformed frame.
uint64_t frame_output_bound(ByteView frame) {
    ZSTD_frameHeader header{};
    if (ZSTD_getFrameHeader(&header, frame.data(), frame.size()) != 0) return 0;
    uint64_t bound = 0;
    for (size_t at = header.headerSize; at + 3 <= frame.size();) {
        const uint32_t block = frame[at] | uint32_t{frame[at + 1]} << 8 | uint32_t{frame[at + 2]} << 16;
        const uint32_t type = (block >> 1) & 3, size = block >> 3;
        if (type == 3) return 0;
        bound += type == 2 ? header.blockSizeMax : size;
        at += 3 + (type == 1 ? 1 : size);
        if (block & 1) return bound;
    }
    return 0;
}

// Sets the parameters of `settings` for `length` bytes; whether workers
// code it (a libzstd built without them codes on the calling thread).
bool set_parameters(ZSTD_CCtx* context, const ZstdSettings& settings, size_t length) {
    ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, settings.level);
    ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, 1);
    if (settings.window_log != 0) {
        ZSTD_CCtx_setParameter(context, ZSTD_c_enableLongDistanceMatching, 1);
        ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, static_cast<int>(settings.window_log));
    }
    const size_t job = std::max(MIN_JOB, (length + JOBS_PER_CHUNK - 1) / JOBS_PER_CHUNK);
    if (settings.workers == 0 || length < 2 * job) return false;
    if (ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_nbWorkers, static_cast<int>(settings.workers)))) return false;
    ZSTD_CCtx_setParameter(context, ZSTD_c_jobSize, static_cast<int>(job));
    ZSTD_CCtx_setParameter(context, ZSTD_c_overlapLog, JOB_OVERLAP_LOG);
    return true;
}

}  // namespace

Result<std::vector<uint8_t>> encode_zstd_chunk(ByteView data, ZstdSettings settings) {
    if (data.size() > MAX_INPUT_LENGTH) return input_too_large();
    CompressionContext context = take_compression_context();
    const bool workers = set_parameters(context.get(), settings, data.size());
    // Coded into an uninitialised buffer and copied out: the bound is
    // larger than the input, and zeroing it cost more than the copy.
    const KeptBytes frame(ZSTD_compressBound(data.size()));
    const std::size_t written = ZSTD_compress2(context.get(), frame.data(), frame.size(), data.data(), data.size());
    if (ZSTD_isError(written)) {
        if (ZSTD_getErrorCode(written) == ZSTD_error_memory_allocation) throw std::bad_alloc();
        return CodecError(ErrorKind::Other, std::string("Zstd chunk: ") + ZSTD_getErrorName(written));
    }
    keep_compression_context(std::move(context), workers);
    std::vector<uint8_t> chunk(ZSTD_CHUNK_HEADER_LEN);
    chunk.reserve(ZSTD_CHUNK_HEADER_LEN + written);
    chunk[0] = ZSTD_CHUNK_HEADER_BYTE;
    store_le(&chunk[1], static_cast<uint32_t>(data.size()));
    chunk.insert(chunk.end(), frame.data(), frame.data() + written);
    return chunk;
}

Result<uint32_t> zstd_chunk_length(ByteView chunk) {
    if (chunk.size() < ZSTD_CHUNK_HEADER_LEN) return chunk_too_short();
    if (chunk[0] != ZSTD_CHUNK_HEADER_BYTE) return damaged("header byte is not 0xa1");
    return load_le<uint32_t>(&chunk[1]);
}

Result<std::vector<uint8_t>> decode_zstd_chunk(ByteView chunk, uint64_t max_length) {
    const Result<uint32_t> stated = zstd_chunk_length(chunk);
    if (!stated) return stated.error();
    const uint32_t length = stated.value();
    if (length > max_length) {
        return damaged("states " + std::to_string(length) + " bytes, more than the " +
                       std::to_string(max_length) + " allowed");
    }
    const ByteView frame = chunk.subspan(ZSTD_CHUNK_HEADER_LEN);
    const std::size_t frame_size = ZSTD_findFrameCompressedSize(frame.data(), frame.size());
    if (ZSTD_isError(frame_size)) return damaged(std::string("no whole frame: ") + ZSTD_getErrorName(frame_size));
    if (frame_size != frame.size()) return damaged("bytes follow its frame");
    const unsigned long long content = ZSTD_getFrameContentSize(frame.data(), frame.size());
    if (content == ZSTD_CONTENTSIZE_UNKNOWN || content == ZSTD_CONTENTSIZE_ERROR) {
        return damaged("its frame does not state its content size");
    }
    if (content != length) {
        return damaged("its frame holds " + std::to_string(content) + " bytes, its header states " +
                       std::to_string(length));
    }
    // The frame's header may state more than its blocks can hold: refuse
    // that before the buffer is reserved, so the memory follows the input.
    if (frame_output_bound(frame) < length) {
        return damaged("states " + std::to_string(length) + " bytes, more than its frame's blocks can hold");
    }
    DecompressionContext context = take_decompression_context();
    // Decoding into one buffer of the stated length needs no window of its
    // own, so a long window costs nothing more.
    ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, static_cast<int>(MAX_LONG_WINDOW_LOG));
    std::vector<uint8_t> data(length);
    const std::size_t got = ZSTD_decompressDCtx(context.get(), data.data(), data.size(), frame.data(), frame.size());
    if (ZSTD_isError(got)) {
        if (ZSTD_getErrorCode(got) == ZSTD_error_memory_allocation) throw std::bad_alloc();
        return damaged(ZSTD_getErrorName(got));
    }
    kept_decompression_context = std::move(context);
    if (got != length) return damaged("its frame decodes to " + std::to_string(got) + " bytes");
    return data;
}

}  // namespace zelk
