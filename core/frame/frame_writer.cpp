#include "frame/frame_writer.h"

#include <algorithm>
#include <vector>

#include "frame/frame_encoder.h"

namespace zelk {

FrameWriteStats write_frame(ByteSource& input, ByteSink& output, const BlockCodec& codec,
                            const FrameOptions& options, const FrameProgress& progress) {
    FrameEncoder encoder(codec, options, output, progress);
    std::vector<uint8_t> buffer(std::min<size_t>(options.block_size, size_t{1} << 20));
    for (;;) {
        const size_t got = read_full(input, buffer);
        encoder.write(std::span(buffer).first(got));
        if (got < buffer.size()) break;  // the end of the input
    }
    encoder.end_frame();
    return encoder.stats();
}

}  // namespace zelk
