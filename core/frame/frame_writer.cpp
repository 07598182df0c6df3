// The writer reads the input in pieces and hands them to a FrameEncoder,
// cutting them where a region of samples begins or ends so that the
// encoder's blocks follow the regions.
#include "frame/frame_writer.h"

#include <algorithm>
#include <vector>

#include "frame/frame_encoder.h"
#include "sample/typed_files.h"

namespace zelk {

FrameWriteStats write_frame(ByteSource& input, ByteSink& output, const BlockCodec& codec,
                            const FrameOptions& options, const FrameProgress& progress, const InputType& type) {
    std::vector<uint8_t> buffer(std::max<size_t>(std::min<size_t>(options.block_size, size_t{1} << 20),
                                                 type.detect ? TYPED_FILE_HEAD : 0));
    size_t got = read_full(input, buffer);
    std::optional<TypedRegion> region;
    if (type.layout) region = TypedRegion{0, UINT64_MAX, *type.layout};
    else if (type.detect) region = find_samples(std::span(buffer).first(got));

    FrameOptions frame_options = options;
    frame_options.typed = region.has_value();
    FrameEncoder encoder(codec, frame_options, output, progress);
    const uint64_t region_end = region ? region->offset + std::min(region->length, UINT64_MAX - region->offset) : 0;
    uint64_t position = 0;
    for (;;) {
        for (std::span<const uint8_t> piece = std::span(buffer).first(got); !piece.empty();) {
            // The layout here, and how far it holds within the piece.
            const bool inside = region && position >= region->offset && position < region_end;
            const uint64_t boundary = !region ? UINT64_MAX : position < region->offset ? region->offset
                                                        : inside ? region_end : UINT64_MAX;
            encoder.set_layout(inside ? std::optional(region->layout) : std::nullopt);
            const size_t n = static_cast<size_t>(std::min<uint64_t>(piece.size(), boundary - position));
            encoder.write(piece.first(n));
            piece = piece.subspan(n);
            position += n;
        }
        if (got < buffer.size()) break;  // the end of the input
        got = read_full(input, buffer);
    }
    encoder.end_frame();
    return encoder.stats();
}

}  // namespace zelk
