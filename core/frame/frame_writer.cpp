// The writer reads the input in pieces and hands them to a FrameEncoder,
// cutting them where a region of samples begins or ends so that the
// encoder's blocks follow the regions, and where a region says another part
// of the file may begin (a FITS file's next unit), looking there for more.
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
    bool ended = got < buffer.size();
    std::optional<TypedRegion> region;
    if (type.layout) region = TypedRegion{0, UINT64_MAX, *type.layout};
    else if (type.detect) region = find_samples(std::span(buffer).first(got));

    FrameOptions frame_options = options;
    frame_options.typed = region.has_value();
    FrameEncoder encoder(codec, frame_options, output, progress);
    uint64_t position = 0;
    size_t start = 0;  // of the bytes in the buffer not yet written
    for (;;) {
        while (start < got) {
            if (region && position == region->next) {
                // Another part of the file may begin here: look at as much
                // of it as a file's start, reading on if the buffer ends.
                if (got - start < TYPED_FILE_HEAD && !ended) {
                    std::copy(buffer.begin() + static_cast<ptrdiff_t>(start), buffer.begin() + static_cast<ptrdiff_t>(got),
                              buffer.begin());
                    got -= start, start = 0;
                    const size_t more = read_full(input, std::span(buffer).subspan(got));
                    ended = got + more < buffer.size();
                    got += more;
                }
                region = find_samples_after(std::span(buffer).subspan(start, got - start), position);
            }
            // The layout here, and how far it holds within the buffer.
            const uint64_t region_end = region ? region->offset + std::min(region->length, UINT64_MAX - region->offset) : 0;
            const bool inside = region && position >= region->offset && position < region_end;
            uint64_t boundary = !region ? UINT64_MAX : position < region->offset ? region->offset
                                                    : inside ? region_end : UINT64_MAX;
            if (region && region->next > position) boundary = std::min(boundary, region->next);
            encoder.set_layout(inside ? std::optional(region->layout) : std::nullopt);
            const size_t n = static_cast<size_t>(std::min<uint64_t>(got - start, boundary - position));
            encoder.write(std::span(buffer).subspan(start, n));
            start += n;
            position += n;
        }
        if (ended) break;
        got = read_full(input, buffer);
        ended = got < buffer.size();
        start = 0;
    }
    encoder.end_frame();
    return encoder.stats();
}

}  // namespace zelk
