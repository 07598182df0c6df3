// The one-shot functions of zelk._zelk: whole frames and single chunks.
// Arguments are checked by the Python layer.
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "codec/chunk_format.h"
#include "codec/codec.h"
#include "codec/zstd_chunk.h"
#include "frame/block_codec.h"
#include "frame/frame_encoder.h"
#include "frame/frame_io.h"
#include "frame/frame_reader.h"
#include "frame/levels.h"
#include "native_call.h"
#include "one_shot.h"

namespace zelk::python {
namespace {

// A sink that refuses to grow past a limit.
class LimitedSink final : public ByteSink {
public:
    explicit LimitedSink(uint64_t limit) : limit_(limit) {}
    void write(std::span<const uint8_t> data) override {
        if (data.size() > limit_ - bytes.size()) {
            throw FrameError("the data is longer than max_length (" + std::to_string(limit_) + " bytes)");
        }
        bytes.insert(bytes.end(), data.begin(), data.end());
    }
    Bytes bytes;

private:
    uint64_t limit_;
};

PyObject* compress_frame(PyObject*, PyObject* args) {
    Buffer data;
    int level = 0;
    unsigned int threads = 1, block_size = 0;
    if (!PyArg_ParseTuple(args, "y*iII:compress_frame", data.out(), &level, &threads, &block_size)) return nullptr;
    Bytes frame;
    const auto failure = without_lock([&] {
        const ChunkBlockCodec codec(level_settings(level));
        VectorSink sink;
        FrameEncoder encoder(codec, FrameOptions{block_size, threads}, sink);
        encoder.write(data.bytes());
        encoder.end_frame();
        frame = std::move(sink.bytes);
    });
    return failure ? raise(*failure) : to_bytes(frame);
}

PyObject* decompress_frames(PyObject*, PyObject* args) {
    Buffer data;
    unsigned long long max_length = 0, memory_limit = 0;
    unsigned int threads = 1;
    if (!PyArg_ParseTuple(args, "y*KIK:decompress_frames", data.out(), &max_length, &threads, &memory_limit)) {
        return nullptr;
    }
    LimitedSink sink(max_length);
    const auto failure = without_lock([&] {
        SpanSource source(data.bytes());
        // Zero padding after the last frame is allowed, as the command allows it.
        read_frames(source, &sink, ChunkBlockCodec(), threads, {}, memory_limit);
    });
    if (failure) return raise(*failure);
    return to_bytes(sink.bytes);
}

PyObject* encode_chunk(PyObject*, PyObject* args) {
    Buffer data;
    int level = 0;
    if (!PyArg_ParseTuple(args, "y*i:encode_chunk", data.out(), &level)) return nullptr;
    Bytes chunk;
    const auto failure = without_lock([&] {
        if (data.bytes().size() > UINT32_MAX) throw std::invalid_argument("a chunk holds less than 4 GiB");
        const LevelSettings settings = level_settings(level);
        auto best = ChunkBlockCodec(settings).compress(data.bytes(), EncoderThreads::One);
        // Data nothing shrinks still gets a chunk: Zstandard's stored blocks.
        chunk = best ? std::move(best->stored) : encode_zstd_chunk(data.bytes(), settings.zstd_level).value();
    });
    return failure ? raise(*failure) : to_bytes(chunk);
}

PyObject* decode_chunk(PyObject*, PyObject* args) {
    Buffer chunk, weights;
    int has_weights = 0;
    unsigned long long max_length = 0;
    if (!PyArg_ParseTuple(args, "y*py*K:decode_chunk", chunk.out(), &has_weights, weights.out(), &max_length)) {
        return nullptr;
    }
    Bytes data;
    std::optional<CodecError> refusal;
    const auto failure = without_lock([&] {
        const ByteView bytes = chunk.bytes();
        if (!bytes.empty() && bytes[0] == ZSTD_CHUNK_HEADER_BYTE) {
            auto decoded = decode_zstd_chunk(bytes, max_length);
            if (decoded) data = std::move(decoded).value();
            else refusal = decoded.error();
            return;
        }
        const auto header = read_header(bytes);
        if (header && header.value().length > max_length) {
            refusal = CodecError(ErrorKind::InvalidData,
                                       "the chunk states " + std::to_string(header.value().length) +
                                           " bytes, more than max_length (" + std::to_string(max_length) + ")");
            return;
        }
        const std::optional<ByteView> given = has_weights ? std::optional<ByteView>(weights.bytes()) : std::nullopt;
        auto decoded = zelk::decode_chunk(bytes, 0, given);
        if (decoded) data = std::move(decoded).value();
        else refusal = decoded.error();
    });
    if (failure) return raise(*failure);
    if (refusal) return raise(Failure{zelk_error, refusal->display()});
    return to_bytes(data);
}

PyObject* chunk_info(PyObject*, PyObject* args) {
    Buffer chunk;
    if (!PyArg_ParseTuple(args, "y*:chunk_info", chunk.out())) return nullptr;
    const ByteView bytes = chunk.bytes();
    if (bytes.size() < PLAIN_HEADER_LEN) return raise(Failure{zelk_error, chunk_too_short().display()});
    const unsigned version = bytes[0] >> 4, mode = bytes[0] & 0xF;
    if (version != FORMAT_VERSION || (mode != 0 && mode != 1 && mode != 2)) {
        return raise(Failure{zelk_error, "not a chunk this library reads (header byte " + std::to_string(bytes[0]) + ")"});
    }
    return Py_BuildValue("(Ik)", mode, static_cast<unsigned long>(load_le<uint32_t>(&bytes[1])));
}

}  // namespace

PyMethodDef ONE_SHOT_FUNCTIONS[] = {
    {"compress_frame", compress_frame, METH_VARARGS, "compress_frame(data, level, threads, block_size) -> bytes"},
    {"decompress_frames", decompress_frames, METH_VARARGS,
     "decompress_frames(data, max_length, threads, memory_limit) -> bytes"},
    {"encode_chunk", encode_chunk, METH_VARARGS, "encode_chunk(data, level) -> bytes"},
    {"decode_chunk", decode_chunk, METH_VARARGS, "decode_chunk(chunk, has_weights, weights, max_length) -> bytes"},
    {"chunk_info", chunk_info, METH_VARARGS, "chunk_info(chunk) -> (mode, length)"},
    {nullptr, nullptr, 0, nullptr},
};


}  // namespace zelk::python
