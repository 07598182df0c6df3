// The one-shot functions of zelk._zelk: whole frames and single chunks. The
// arguments come as the caller gave them; the library checks them and makes
// every decision (coding_options.h, any_chunk.h).
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>

#include "codec/any_chunk.h"
#include "frame/block_codec.h"
#include "frame/coding_options.h"
#include "frame/frame_encoder.h"
#include "frame/frame_io.h"
#include "frame/frame_reader.h"
#include "frame/frame_summary.h"
#include "binding/ref.h"
#include "native_call.h"
#include "one_shot.h"

namespace zelk::python {
namespace {

// A sink that refuses to grow past a limit.
class LimitedSink final : public ByteSink {
public:
    explicit LimitedSink(uint64_t limit) : limit_(limit) {}
    void write(std::span<const uint8_t> data) override {
        check_room(data.size());
        bytes.insert(bytes.end(), data.begin(), data.end());
    }
    void write_owned(std::vector<uint8_t>&& data) override {
        if (!bytes.empty()) return write(data);
        check_room(data.size());
        bytes = std::move(data);
    }
    Bytes bytes;

private:
    void check_room(size_t size) const {
        if (size > limit_ - bytes.size()) {
            throw FrameError("the data is longer than max_length (" + std::to_string(limit_) + " bytes)");
        }
    }
    uint64_t limit_;
};

PyObject* refuse(const CodecError& error) { return raise(Failure{zelk_error, error.display()}); }

PyObject* compress_frame(PyObject*, PyObject* args) {
    HeldBuffer data;
    PyObject *level, *threads, *block_size, *memory_limit, *long_window, *type_code, *trailing;
    CodingOptions options;
    std::optional<SampleLayout> layout;
    if (!PyArg_ParseTuple(args, "y*OOOOOOO:compress_frame", data.out(), &level, &threads, &block_size, &memory_limit,
                          &long_window, &type_code, &trailing) ||
        !coding_options(level, threads, block_size, memory_limit, long_window, options) ||
        !sample_layout(type_code, trailing, layout)) {
        return nullptr;
    }
    Bytes frame;
    const auto failure = without_lock([&] {
        CodingSettings settings = resolve_coding_options(options);
        settings.frame.typed = layout.has_value();
        const ChunkBlockCodec codec(settings.level);
        VectorSink sink;
        FrameEncoder encoder(codec, settings.frame, sink);
        encoder.set_layout(layout);
        encoder.write(data.bytes());
        encoder.end_frame();
        frame = std::move(sink.bytes);
    });
    return failure ? raise(*failure) : to_bytes(frame);
}

PyObject* decompress_frames(PyObject*, PyObject* args) {
    HeldBuffer data;
    PyObject *max_length_object, *threads, *memory_limit;
    CodingOptions options;
    uint64_t max_length = 0;
    if (!PyArg_ParseTuple(args, "y*OOO:decompress_frames", data.out(), &max_length_object, &threads, &memory_limit) ||
        !length_limit(max_length_object, max_length) ||
        !coding_options(Py_None, threads, Py_None, memory_limit, Py_False, options)) {
        return nullptr;
    }
    LimitedSink sink(max_length);
    const auto failure = without_lock([&] {
        const CodingSettings settings = resolve_coding_options(options);
        SpanSource source(data.bytes());
        read_frames(source, &sink, ChunkBlockCodec(), settings.frame.threads, {}, settings.frame.memory_limit);
    });
    return failure ? raise(*failure) : to_bytes(sink.bytes);
}

// (content_size, frames, {kind: blocks}, type_code or None, shape or None).
PyObject* frame_info(PyObject*, PyObject* args) {
    HeldBuffer data;
    if (!PyArg_ParseTuple(args, "y*:frame_info", data.out())) return nullptr;
    FrameSummary summary;
    const auto failure = without_lock([&] {
        SpanSource source(data.bytes());
        summary = summarize_frames(source);
    });
    if (failure) return raise(*failure);
    binding::Ref type = binding::Ref::borrow(Py_None), shape = binding::Ref::borrow(Py_None);
    if (const auto& layout = summary.layout) {
        type = binding::Ref::steal(PyUnicode_FromString(type_code(layout->type, layout->big_endian).c_str()));
        uint64_t row = layout->element_size();
        for (uint64_t dimension : layout->trailing) row *= dimension;
        if (summary.content_size % row == 0) {
            shape = binding::Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(layout->trailing.size() + 1)));
            for (size_t i = 0; shape && i <= layout->trailing.size(); ++i) {
                const uint64_t dimension = i == 0 ? summary.content_size / row : layout->trailing[i - 1];
                PyTuple_SetItem(shape.get(), static_cast<Py_ssize_t>(i), PyLong_FromUnsignedLongLong(dimension));
            }
        }
        if (!type || !shape) return nullptr;
    }
    return Py_BuildValue("(KK{sKsKsKsK}OO)", static_cast<unsigned long long>(summary.content_size),
                         static_cast<unsigned long long>(summary.frames), "raw",
                         static_cast<unsigned long long>(summary.raw_blocks), "chunk",
                         static_cast<unsigned long long>(summary.chunk_blocks), "zstd",
                         static_cast<unsigned long long>(summary.zstd_blocks), "sample",
                         static_cast<unsigned long long>(summary.sample_blocks), type.get(), shape.get());
}

PyObject* check_coding_options(PyObject*, PyObject* args) {
    PyObject *level, *threads, *block_size, *memory_limit;
    CodingOptions options;
    if (!PyArg_ParseTuple(args, "OOOO:check_coding_options", &level, &threads, &block_size, &memory_limit) ||
        !coding_options(level, threads, block_size, memory_limit, Py_False, options)) {
        return nullptr;
    }
    unsigned pool = 0;
    const auto failure = without_lock([&] { pool = resolve_coding_options(options).frame.threads; });
    if (failure) return raise(*failure);
    return PyLong_FromUnsignedLong(std::max(pool, 1u));
}

PyObject* encode_chunk(PyObject*, PyObject* args) {
    HeldBuffer data;
    PyObject* level;
    CodingOptions options;
    if (!PyArg_ParseTuple(args, "y*O:encode_chunk", data.out(), &level) ||
        !int_argument(level, "level", true, options.level)) {
        return nullptr;
    }
    Bytes chunk;
    const auto failure = without_lock([&] {
        chunk = encode_smallest_chunk(data.bytes(), resolve_coding_options(options).level, EncoderThreads::One).bytes;
    });
    return failure ? raise(*failure) : to_bytes(chunk);
}

PyObject* decode_chunk(PyObject*, PyObject* args) {
    HeldBuffer chunk, weights;
    PyObject *weights_object, *max_length_object;
    uint64_t max_length = 0;
    if (!PyArg_ParseTuple(args, "y*OO:decode_chunk", chunk.out(), &weights_object, &max_length_object) ||
        !length_limit(max_length_object, max_length) ||
        (weights_object != Py_None && !weights.hold(weights_object))) {
        return nullptr;
    }
    std::optional<Result<Bytes>> decoded;
    const auto failure = without_lock([&] {
        const std::optional<ByteView> given =
            weights_object != Py_None ? std::optional<ByteView>(weights.bytes()) : std::nullopt;
        decoded = decode_any_chunk(chunk.bytes(), given, max_length);
    });
    if (failure) return raise(*failure);
    return decoded->ok() ? to_bytes(decoded->value()) : refuse(decoded->error());
}

PyObject* chunk_info(PyObject*, PyObject* args) {
    HeldBuffer chunk;
    if (!PyArg_ParseTuple(args, "y*:chunk_info", chunk.out())) return nullptr;
    const Result<ChunkInfo> info = read_chunk_info(chunk.bytes());
    if (!info) return refuse(info.error());
    return Py_BuildValue("(Ik)", static_cast<unsigned>(info.value().mode),
                         static_cast<unsigned long>(info.value().length));
}

}  // namespace

PyMethodDef ONE_SHOT_FUNCTIONS[] = {
    {"compress_frame", compress_frame, METH_VARARGS,
     "compress_frame(data, level, threads, block_size, memory_limit, long, type_code, trailing_shape) -> bytes"},
    {"decompress_frames", decompress_frames, METH_VARARGS,
     "decompress_frames(data, max_length, threads, memory_limit) -> bytes"},
    {"frame_info", frame_info, METH_VARARGS,
     "frame_info(frames) -> (content_size, frames, blocks by kind, type_code, shape)"},
    {"check_coding_options", check_coding_options, METH_VARARGS,
     "check_coding_options(level, threads, block_size, memory_limit) -> threads: raises what compress_frame "
     "would, else gives the threads it would code on (1: the calling thread alone)"},
    {"encode_chunk", encode_chunk, METH_VARARGS, "encode_chunk(data, level) -> bytes"},
    {"decode_chunk", decode_chunk, METH_VARARGS, "decode_chunk(chunk, weights, max_length) -> bytes"},
    {"chunk_info", chunk_info, METH_VARARGS, "chunk_info(chunk) -> (mode, length)"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace zelk::python
