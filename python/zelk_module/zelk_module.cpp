// zelk._zelk: the native part of the zelk package. One-shot frames and
// chunks over the library, for any object with the buffer protocol (held,
// not copied, while the call runs), with the interpreter lock released
// around all coding. Arguments are checked by the Python layer; this module
// converts the library's failures into exceptions and nothing else:
//
//   damaged or foreign input (FrameError, a codec refusal) -> zelk.ZelkError
//   a bad argument the library refuses (std::invalid_argument) -> ValueError
//   memory that cannot be had (std::bad_alloc)               -> MemoryError
//
// Built against the stable ABI of CPython 3.11, the first whose limited API
// has the buffer protocol.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "codec/chunk_format.h"
#include "codec/codec.h"
#include "codec/zstd_chunk.h"
#include "frame/block_codec.h"
#include "frame/frame_format.h"
#include "frame/frame_io.h"
#include "frame/frame_reader.h"
#include "frame/frame_writer.h"
#include "frame/levels.h"

namespace {

using zelk::ByteView;
using Bytes = std::vector<uint8_t>;

PyObject* zelk_error = nullptr;  // zelk.ZelkError, owned by the module for the process

// A buffer argument, released when the call ends.
class Buffer {
public:
    Buffer() = default;
    ~Buffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    Py_buffer* out() {
        held_ = true;
        return &view_;
    }
    ByteView bytes() const { return {static_cast<const uint8_t*>(view_.buf), static_cast<size_t>(view_.len)}; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// The library's failure that ended a call, raised once the lock is back.
struct Failure {
    PyObject* type;
    std::string message;
};

// Runs `work` without the interpreter lock; returns the failure it threw.
template <typename F>
std::optional<Failure> without_lock(F&& work) {
    std::optional<Failure> failure;
    PyThreadState* state = PyEval_SaveThread();
    try {
        work();
    } catch (const zelk::FrameError& e) {
        failure = Failure{zelk_error, e.what()};
    } catch (const std::invalid_argument& e) {
        failure = Failure{PyExc_ValueError, e.what()};
    } catch (const std::bad_alloc&) {
        failure = Failure{PyExc_MemoryError, "out of memory"};
    } catch (const std::exception& e) {
        failure = Failure{PyExc_RuntimeError, e.what()};
    }
    PyEval_RestoreThread(state);
    return failure;
}

PyObject* raise(const Failure& failure) {
    PyErr_SetString(failure.type, failure.message.c_str());
    return nullptr;
}

PyObject* to_bytes(const Bytes& bytes) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()), static_cast<Py_ssize_t>(bytes.size()));
}

// A sink that refuses to grow past a limit.
class LimitedSink final : public zelk::ByteSink {
public:
    explicit LimitedSink(uint64_t limit) : limit_(limit) {}
    void write(std::span<const uint8_t> data) override {
        if (data.size() > limit_ - bytes.size()) {
            throw zelk::FrameError("the data is longer than max_length (" + std::to_string(limit_) + " bytes)");
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
    unsigned int threads = 1;
    if (!PyArg_ParseTuple(args, "y*iI:compress_frame", data.out(), &level, &threads)) return nullptr;
    Bytes frame;
    const auto failure = without_lock([&] {
        const zelk::LevelSettings settings = zelk::level_settings(level);
        zelk::SpanSource source(data.bytes());
        zelk::VectorSink sink;
        zelk::write_frame(source, sink, zelk::ChunkBlockCodec(settings),
                          zelk::FrameOptions{settings.block_size, threads});
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
    bool trailing = false;
    const auto failure = without_lock([&] {
        zelk::SpanSource source(data.bytes());
        trailing = zelk::read_frames(source, &sink, zelk::ChunkBlockCodec(), threads, {}, memory_limit).trailing_data;
    });
    if (failure) return raise(*failure);
    (void)trailing;  // zero padding after the last frame, as the command allows
    return to_bytes(sink.bytes);
}

PyObject* encode_chunk(PyObject*, PyObject* args) {
    Buffer data;
    int level = 0;
    if (!PyArg_ParseTuple(args, "y*i:encode_chunk", data.out(), &level)) return nullptr;
    Bytes chunk;
    const auto failure = without_lock([&] {
        if (data.bytes().size() > UINT32_MAX) throw std::invalid_argument("a chunk holds less than 4 GiB");
        const zelk::LevelSettings settings = zelk::level_settings(level);
        auto best = zelk::ChunkBlockCodec(settings).compress(data.bytes(), zelk::EncoderThreads::One);
        // Data nothing shrinks still gets a chunk: Zstandard's stored blocks.
        chunk = best ? std::move(best->stored) : zelk::encode_zstd_chunk(data.bytes(), settings.zstd_level).value();
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
    std::optional<zelk::CodecError> refusal;
    const auto failure = without_lock([&] {
        const ByteView bytes = chunk.bytes();
        if (!bytes.empty() && bytes[0] == zelk::ZSTD_CHUNK_HEADER_BYTE) {
            auto decoded = zelk::decode_zstd_chunk(bytes, max_length);
            if (decoded) data = std::move(decoded).value();
            else refusal = decoded.error();
            return;
        }
        const auto header = zelk::read_header(bytes);
        if (header && header.value().length > max_length) {
            refusal = zelk::CodecError(zelk::ErrorKind::InvalidData,
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
    if (bytes.size() < zelk::PLAIN_HEADER_LEN) return raise(Failure{zelk_error, zelk::chunk_too_short().display()});
    const unsigned version = bytes[0] >> 4, mode = bytes[0] & 0xF;
    if (version != zelk::FORMAT_VERSION || (mode != 0 && mode != 1 && mode != 2)) {
        return raise(Failure{zelk_error, "not a chunk this library reads (header byte " + std::to_string(bytes[0]) + ")"});
    }
    return Py_BuildValue("(Ik)", mode, static_cast<unsigned long>(zelk::load_le<uint32_t>(&bytes[1])));
}

PyMethodDef METHODS[] = {
    {"compress_frame", compress_frame, METH_VARARGS, "compress_frame(data, level, threads) -> bytes"},
    {"decompress_frames", decompress_frames, METH_VARARGS,
     "decompress_frames(data, max_length, threads, memory_limit) -> bytes"},
    {"encode_chunk", encode_chunk, METH_VARARGS, "encode_chunk(data, level) -> bytes"},
    {"decode_chunk", decode_chunk, METH_VARARGS, "decode_chunk(chunk, has_weights, weights, max_length) -> bytes"},
    {"chunk_info", chunk_info, METH_VARARGS, "chunk_info(chunk) -> (mode, length)"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef MODULE = {PyModuleDef_HEAD_INIT, "zelk._zelk", "The native part of the zelk package.", -1, METHODS,
                      nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__zelk() {
    PyObject* module = PyModule_Create(&MODULE);
    if (!module) return nullptr;
    if (!zelk_error) zelk_error = PyErr_NewExceptionWithDoc(
        "zelk.ZelkError", "Damaged or foreign compressed data.", PyExc_Exception, nullptr);
    if (!zelk_error || PyModule_AddObjectRef(module, "ZelkError", zelk_error) < 0 ||
        PyModule_AddIntConstant(module, "MIN_LEVEL", zelk::MIN_LEVEL) < 0 ||
        PyModule_AddIntConstant(module, "MAX_LEVEL", zelk::MAX_LEVEL) < 0 ||
        PyModule_AddIntConstant(module, "DEFAULT_LEVEL", zelk::DEFAULT_LEVEL) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
