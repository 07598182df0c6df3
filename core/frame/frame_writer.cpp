#include "frame/frame_writer.h"

#include <vector>

#include "frame/frame_encoder.h"

namespace zelk {

FrameWriteStats write_frame(ByteSource& input, ByteSink& output, const BlockCodec& codec,
                            const FrameOptions& options, const FrameProgress& progress) {
    FrameEncoder encoder(codec, options, output, progress);
    std::vector<uint8_t> buffer(options.block_size);
    for (;;) {
        const size_t got = read_full(input, buffer);
        encoder.write(std::span(buffer).first(got));
        if (got < buffer.size()) break;
    }
    encoder.end_frame();
    return encoder.stats();
}

}  // namespace zelk
