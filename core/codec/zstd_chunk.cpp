// The Zstandard fallback chunk over libzstd's one-shot functions: one
// context per call, the frame's content size always written (ZSTD_compress2
// does, for a one-shot input) and no checksum (the frame format checks every
// block's bytes itself).
#include "codec/zstd_chunk.h"

#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <memory>
#include <new>
#include <string>

namespace zelk {
namespace {

constexpr uint64_t MAX_INPUT_LENGTH = UINT32_MAX;  // what the length field can hold

CodecError damaged(const std::string& what) { return {ErrorKind::InvalidData, "Zstd chunk: " + what}; }

struct ContextDeleter {
    void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
    void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};

}  // namespace

int zstd_min_level() { return 1; }
int zstd_max_level() { return ZSTD_maxCLevel(); }

Result<std::vector<uint8_t>> encode_zstd_chunk(ByteView data, int level) {
    if (data.size() > MAX_INPUT_LENGTH) return input_too_large();
    const std::unique_ptr<ZSTD_CCtx, ContextDeleter> context(ZSTD_createCCtx());
    if (!context) throw std::bad_alloc();
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel,
                           std::clamp(level, zstd_min_level(), zstd_max_level()));
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_contentSizeFlag, 1);
    std::vector<uint8_t> chunk(ZSTD_CHUNK_HEADER_LEN + ZSTD_compressBound(data.size()));
    chunk[0] = ZSTD_CHUNK_HEADER_BYTE;
    store_le(&chunk[1], static_cast<uint32_t>(data.size()));
    const std::size_t written = ZSTD_compress2(context.get(), chunk.data() + ZSTD_CHUNK_HEADER_LEN,
                                               chunk.size() - ZSTD_CHUNK_HEADER_LEN, data.data(), data.size());
    if (ZSTD_isError(written)) {
        if (ZSTD_getErrorCode(written) == ZSTD_error_memory_allocation) throw std::bad_alloc();
        return CodecError(ErrorKind::Other, std::string("Zstd chunk: ") + ZSTD_getErrorName(written));
    }
    chunk.resize(ZSTD_CHUNK_HEADER_LEN + written);
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
    const std::unique_ptr<ZSTD_DCtx, ContextDeleter> context(ZSTD_createDCtx());
    if (!context) throw std::bad_alloc();
    std::vector<uint8_t> data(length);
    const std::size_t got = ZSTD_decompressDCtx(context.get(), data.data(), data.size(), frame.data(), frame.size());
    if (ZSTD_isError(got)) {
        if (ZSTD_getErrorCode(got) == ZSTD_error_memory_allocation) throw std::bad_alloc();
        return damaged(ZSTD_getErrorName(got));
    }
    if (got != length) return damaged("its frame decodes to " + std::to_string(got) + " bytes");
    return data;
}

}  // namespace zelk
