// zelk._zelk.FrameEncoder and zelk._zelk.FrameDecoder: the library's frame
// coders fed piece by piece, for the package's compressor, decompressor and
// file objects. Each object's state sits behind a mutex that a call takes
// without the interpreter lock, so threads sharing an object take turns
// instead of racing, and never wait on each other holding the lock. A
// failure leaves the coder unusable: every later call raises it again.
#include <mutex>
#include <new>
#include <optional>
#include <string>

#include "frame/block_codec.h"
#include "frame/frame_decoder.h"
#include "frame/frame_encoder.h"
#include "frame/frame_io.h"
#include "frame/coding_options.h"
#include "binding/ref.h"
#include "native_call.h"
#include "stream_objects.h"

namespace zelk::python {
namespace {

FrameOptions typed_if(FrameOptions options, bool typed) {
    options.typed = typed;
    return options;
}

struct EncoderState {
    EncoderState(const CodingSettings& settings, const std::optional<SampleLayout>& layout)
        : codec(settings.level), encoder(codec, typed_if(settings.frame, layout.has_value()), sink) {
        encoder.set_layout(layout);
    }
    std::mutex mutex;
    std::optional<Failure> broken;
    ChunkBlockCodec codec;
    VectorSink sink;
    FrameEncoder encoder;
};

struct DecoderState {
    DecoderState(const CodingSettings& settings, FrameSequence sequence)
        : decoder(codec, settings.frame.threads, settings.frame.memory_limit, sequence) {}
    std::mutex mutex;
    std::optional<Failure> broken;
    ChunkBlockCodec codec;
    FrameDecoder decoder;
};

template <typename State>
struct Object {
    PyObject_HEAD
    State* state;
};

using EncoderObject = Object<EncoderState>;
using DecoderObject = Object<DecoderState>;

// Creates the state of a new object without the interpreter lock (a pool's
// threads start), from the options the library resolves.
template <typename State, typename... Args>
PyObject* create(PyTypeObject* type, const CodingOptions& options, const Args&... args) {
    State* state = nullptr;
    const auto failure = without_lock([&] { state = new State(resolve_coding_options(options), args...); });
    if (failure) return raise(*failure);
    auto* self = reinterpret_cast<Object<State>*>(PyType_GenericAlloc(type, 0));
    if (!self) {
        delete state;
        return nullptr;
    }
    self->state = state;
    return reinterpret_cast<PyObject*>(self);
}

// Joins the pool's threads (finishing the blocks in flight) without the lock.
template <typename State>
void dealloc(PyObject* object) {
    auto* self = reinterpret_cast<Object<State>*>(object);
    PyTypeObject* type = Py_TYPE(object);
    State* state = self->state;
    Py_BEGIN_ALLOW_THREADS
    delete state;
    Py_END_ALLOW_THREADS
    PyObject_Free(object);
    Py_DecRef(reinterpret_cast<PyObject*>(type));  // instances of heap types hold their type
}

// Runs `work` on the object's state under its mutex, without the
// interpreter lock; a failure breaks the object.
template <typename State, typename F>
std::optional<Failure> with_state(PyObject* object, F&& work) {
    State& state = *reinterpret_cast<Object<State>*>(object)->state;
    return without_lock([&] {
        std::lock_guard lock(state.mutex);
        if (state.broken) throw *state.broken;
        try {
            work(state);
        } catch (...) {
            state.broken = failure_of(std::current_exception());
            throw;
        }
    });
}

// Positional arguments only, as the package passes them.
bool positional(PyObject* kwargs, const char* type_name) {
    if (!kwargs) return true;
    PyErr_Format(PyExc_TypeError, "%s takes positional arguments only", type_name);
    return false;
}

PyObject* encoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject *level, *threads, *block_size, *memory_limit, *long_window, *type_code, *trailing;
    CodingOptions options;
    std::optional<SampleLayout> layout;
    if (!positional(kwargs, "FrameEncoder") ||
        !PyArg_ParseTuple(args, "OOOOOOO:FrameEncoder", &level, &threads, &block_size, &memory_limit, &long_window,
                          &type_code, &trailing) ||
        !coding_options(level, threads, block_size, memory_limit, long_window, options) ||
        !sample_layout(type_code, trailing, layout)) {
        return nullptr;
    }
    return create<EncoderState>(type, options, layout);
}

// Runs one of the encoder's operations and returns the frame bytes it wrote.
template <typename F>
PyObject* encoder_call(PyObject* self, F&& operation) {
    Bytes written;
    const auto failure = with_state<EncoderState>(self, [&](EncoderState& state) {
        operation(state.encoder);
        written.swap(state.sink.bytes);
    });
    return failure ? raise(*failure) : to_bytes(written);
}

PyObject* encoder_write(PyObject* self, PyObject* args) {
    HeldBuffer data;
    if (!PyArg_ParseTuple(args, "y*:write", data.out())) return nullptr;
    return encoder_call(self, [&](FrameEncoder& encoder) { encoder.write(data.bytes()); });
}

PyObject* encoder_flush_blocks(PyObject* self, PyObject*) {
    return encoder_call(self, [](FrameEncoder& encoder) { encoder.flush_blocks(); });
}

PyObject* encoder_end_frame(PyObject* self, PyObject*) {
    return encoder_call(self, [](FrameEncoder& encoder) { encoder.end_frame(); });
}

PyObject* decoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject *threads, *memory_limit;
    int sequence = 0;
    CodingOptions options;
    if (!positional(kwargs, "FrameDecoder") ||
        !PyArg_ParseTuple(args, "OOp:FrameDecoder", &threads, &memory_limit, &sequence) ||
        !coding_options(Py_None, threads, Py_None, memory_limit, Py_False, options)) {
        return nullptr;
    }
    return create<DecoderState>(type, options, sequence ? FrameSequence::Sequence : FrameSequence::OneFrame);
}

PyObject* decoder_decode(PyObject* self, PyObject* args) {
    HeldBuffer data;
    PyObject* max_length_object;
    uint64_t max_length = 0;
    if (!PyArg_ParseTuple(args, "y*O:decode", data.out(), &max_length_object) ||
        !length_limit(max_length_object, max_length)) {
        return nullptr;
    }
    Bytes out;
    bool eof = false, needs_input = false;
    const auto failure = with_state<DecoderState>(self, [&](DecoderState& state) {
        state.decoder.feed(data.bytes());
        state.decoder.read(max_length, out);
        eof = state.decoder.eof();
        needs_input = state.decoder.needs_input();
    });
    if (failure) return raise(*failure);
    PyObject* bytes = to_bytes(out);
    if (!bytes) return nullptr;
    return Py_BuildValue("(NOO)", bytes, eof ? Py_True : Py_False, needs_input ? Py_True : Py_False);
}

PyObject* decoder_finish(PyObject* self, PyObject*) {
    const auto failure = with_state<DecoderState>(self, [](DecoderState& state) { state.decoder.finish(); });
    if (failure) return raise(*failure);
    Py_RETURN_NONE;
}

PyObject* decoder_unused(PyObject* self, PyObject*) {
    Bytes unused;
    const auto failure = with_state<DecoderState>(self, [&](DecoderState& state) {
        unused.assign(state.decoder.unused().begin(), state.decoder.unused().end());
    });
    return failure ? raise(*failure) : to_bytes(unused);
}

PyMethodDef ENCODER_METHODS[] = {
    {"write", encoder_write, METH_VARARGS, "write(data) -> the frame bytes finished so far"},
    {"flush_blocks", encoder_flush_blocks, METH_NOARGS, "flush_blocks() -> the rest of the blocks so far"},
    {"end_frame", encoder_end_frame, METH_NOARGS, "end_frame() -> the rest of the frame"},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef DECODER_METHODS[] = {
    {"decode", decoder_decode, METH_VARARGS, "decode(data, max_length) -> (data, eof, needs_input)"},
    {"finish", decoder_finish, METH_NOARGS, "finish(): the input has ended (EOFError inside a frame)"},
    {"unused", decoder_unused, METH_NOARGS, "unused() -> the bytes fed after the end of a single frame"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot ENCODER_SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(encoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<EncoderState>)},
    {Py_tp_methods, ENCODER_METHODS},
    {Py_tp_doc, const_cast<char*>("FrameEncoder(level, threads, block_size, memory_limit, long, type_code, trailing_shape): frames written piece by piece.")},
    {0, nullptr},
};

PyType_Slot DECODER_SLOTS[] = {
    {Py_tp_new, reinterpret_cast<void*>(decoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<DecoderState>)},
    {Py_tp_methods, DECODER_METHODS},
    {Py_tp_doc, const_cast<char*>("FrameDecoder(threads, memory_limit, sequence): one frame, or a sequence, read piece by piece.")},
    {0, nullptr},
};

PyType_Spec ENCODER_SPEC = {"zelk._zelk.FrameEncoder", sizeof(EncoderObject), 0, Py_TPFLAGS_DEFAULT,
                            ENCODER_SLOTS};
PyType_Spec DECODER_SPEC = {"zelk._zelk.FrameDecoder", sizeof(DecoderObject), 0, Py_TPFLAGS_DEFAULT,
                            DECODER_SLOTS};

int add_type(PyObject* module, PyType_Spec* definition, const char* name) {
    const binding::Ref type = binding::Ref::steal(PyType_FromSpec(definition));
    return type ? binding::add_module_object(module, name, type.get()) : -1;
}

}  // namespace

int add_stream_objects(PyObject* module) {
    if (add_type(module, &ENCODER_SPEC, "FrameEncoder") < 0) return -1;
    return add_type(module, &DECODER_SPEC, "FrameDecoder");
}

}  // namespace zelk::python
