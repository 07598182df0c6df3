// Arbitrary data through the frame writer and back through the reader, at a
// level and block size the input chooses: the frame must restore the data
// exactly, and be the same when written by one thread or by two.
//
// Input layout: byte 0 = level (mod 9, + 1), byte 1 = block size in KiB
// (mod 64, + 1, so that blocks of every kind and several blocks appear)
// and, in its top bit, whether the writer looks for typed files' samples
// (WAV, .npy, PNM, FITS and its extensions) in the data; then the data.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "frame/block_codec.h"
#include "frame/frame_io.h"
#include "frame/frame_reader.h"
#include "frame/frame_writer.h"
#include "frame/levels.h"

namespace {

std::vector<uint8_t> write(std::span<const uint8_t> data, const zelk::BlockCodec& codec, uint32_t block_size,
                           unsigned threads, bool detect) {
    zelk::SpanSource source(data);
    zelk::VectorSink sink;
    zelk::write_frame(source, sink, codec, zelk::FrameOptions{block_size, threads}, {}, zelk::InputType{{}, detect});
    return sink.bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const zelk::ChunkBlockCodec codec(zelk::level_settings(data[0] % 9 + 1));
    const uint32_t block_size = (uint32_t{data[1]} % 64 + 1) << 10;
    const bool detect = (data[1] & 0x80) != 0;
    const std::span<const uint8_t> input(data + 2, size - 2);
    const std::vector<uint8_t> frame = write(input, codec, block_size, 1, detect);
    if (write(input, codec, block_size, 2, detect) != frame) std::abort();
    zelk::SpanSource source(frame);
    zelk::VectorSink sink;
    zelk::read_frames(source, &sink, codec, 2);
    if (sink.bytes.size() != input.size() || !std::equal(input.begin(), input.end(), sink.bytes.begin())) std::abort();
    return 0;
}
