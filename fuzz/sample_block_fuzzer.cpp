// Sample blocks from two sides. Byte 0 chooses:
//   even  the rest is a stored sample block, and bytes 1-2 the size it must
//         stand for (up to 64 KiB; four times that when bit 1 of byte 0 is
//         set, for blocks long enough to store tables): the decoder refuses
//         it or gives exactly that many bytes, with no memory error,
//         undefined behaviour or hang;
//   odd   the rest is data, bytes 1-2 a layout (element type, byte order;
//         channels, or a raster's row, with colour pixels of three or four
//         channels or not) and byte 0 the effort, the pixels' channels
//         and, in bit 4, whether the data is frames of few values (the
//         rest's first eight frames as the values, each byte after them
//         choosing one), as graphics are: the block the encoder writes
//         decodes to the data.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "sample/sample_block.h"

using namespace zelk;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    std::vector<uint8_t> rest(data + 3, data + size);
    if (data[0] % 2 == 0) {
        const uint32_t claimed = (data[1] | uint32_t{data[2]} << 8) * (data[0] & 2 ? 4 : 1);
        const auto decoded = decode_sample_block(rest, claimed);
        if (decoded && decoded.value().size() != claimed) std::abort();
        return 0;
    }
    SampleLayout layout{static_cast<ElementType>(data[1] % ELEMENT_TYPES + 1), (data[1] & 0x80) != 0, {}};
    if (data[2] & 0x80) {  // a raster
        layout.trailing.push_back((data[2] & 0x3F) + 2);
        const uint64_t colours = data[0] & 8 ? 4 : 3;
        if (data[2] & 0x40) layout = array_layout(layout.type, layout.big_endian, {layout.trailing[0], colours});
    } else if (const unsigned channels = data[2] % 5 + 1; channels > 1) {
        layout.trailing.push_back(channels);
    }
    if (data[0] & 0x10) {
        const size_t frame = layout.frame_bytes(), values = 8 * frame;
        if (rest.size() < values) return 0;
        std::vector<uint8_t> frames;
        for (size_t i = values; i < rest.size(); ++i) {
            const auto chosen = rest.begin() + static_cast<ptrdiff_t>(rest[i] % 8 * frame);
            frames.insert(frames.end(), chosen, chosen + static_cast<ptrdiff_t>(frame));
        }
        rest = std::move(frames);
    }
    const auto effort = static_cast<SampleEffort>(data[0] / 2 % 3);
    const std::vector<uint8_t> block = encode_sample_block(rest, layout, effort);
    const auto decoded = decode_sample_block(block, static_cast<uint32_t>(rest.size()));
    if (!decoded || decoded.value() != rest) std::abort();
    return 0;
}
