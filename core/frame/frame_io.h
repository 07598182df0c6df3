// The byte streams a frame is read from and written to: the interfaces, and
// their versions over memory. The command-line program backs them with file
// descriptors.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace zelk {

class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Reads up to buffer.size() bytes; 0 only at the end of the input.
    // Failures are thrown.
    virtual size_t read(std::span<uint8_t> buffer) = 0;
};

class ByteSink {
public:
    virtual ~ByteSink() = default;
    // Writes all of `data` or throws.
    virtual void write(std::span<const uint8_t> data) = 0;
    // As write(), for data the sink may keep: a sink in memory takes a
    // decoded block as its first bytes rather than copying it.
    virtual void write_owned(std::vector<uint8_t>&& data) { write(data); }
};

// Reads a byte range in memory, at most `step` bytes per read (to let
// callers see reads as short as a pipe's).
class SpanSource final : public ByteSource {
public:
    explicit SpanSource(std::span<const uint8_t> data, size_t step = SIZE_MAX)
        : data_(data), step_(step > 0 ? step : 1) {}
    size_t read(std::span<uint8_t> buffer) override {
        size_t n = std::min({buffer.size(), data_.size(), step_});
        std::copy_n(data_.begin(), n, buffer.begin());
        data_ = data_.subspan(n);
        return n;
    }

private:
    std::span<const uint8_t> data_;
    size_t step_;
};

class VectorSink final : public ByteSink {
public:
    void write(std::span<const uint8_t> data) override { bytes.insert(bytes.end(), data.begin(), data.end()); }
    void write_owned(std::vector<uint8_t>&& data) override {
        if (bytes.empty()) bytes = std::move(data);
        else write(data);
    }
    std::vector<uint8_t> bytes;
};

// Told after each block has been written out: the bytes consumed from the
// input and produced on the output so far.
using FrameProgress = std::function<void(uint64_t input_bytes, uint64_t output_bytes)>;

// Reads until `buffer` is full or the input ends; returns the bytes read.
inline size_t read_full(ByteSource& source, std::span<uint8_t> buffer) {
    size_t filled = 0;
    while (filled < buffer.size()) {
        size_t got = source.read(buffer.subspan(filled));
        if (got == 0) break;
        filled += got;
    }
    return filled;
}

}  // namespace zelk
