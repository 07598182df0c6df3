// Frame blocks as chunks. The chunk decoder trusts the length in a chunk's
// header and never notices damage, so before a stored chunk is decoded its
// header must name exactly the block's size (which the parser has bounded by
// the frame's block size) and its length must be one a conforming encoder
// can reach for that size; the frame's checksum then catches whatever damage
// the decoder cannot.
#include "frame/block_codec.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "codec/any_chunk.h"
#include "codec/zstd_chunk.h"
#include "sample/sample_block.h"

namespace zelk {

namespace {

// Keeps `stored` as the block's form if it is the shortest yet.
void keep_shorter(std::optional<CompressedBlock>& best, size_t size, RecordType type, std::vector<uint8_t>&& stored) {
    if (stored.size() < (best ? best->stored.size() : size)) best = CompressedBlock{type, std::move(stored)};
}

// Blocks are judged quickly on a window of at most this many bytes from
// their middle, where a file's lead-in weighs least.
constexpr size_t PROBE_WINDOW = size_t{64} << 10;

// `length` bytes from the middle of `data`, which holds at least twice as many.
std::span<const uint8_t> middle_window(std::span<const uint8_t> data, size_t length = PROBE_WINDOW) {
    return data.subspan((data.size() / 2) & ~size_t{7}, length);
}

// The sample type that raw dumps of sensors and sound cards most often
// hold, if one codes the window a tenth smaller than Zstandard does.
// Blocks of fewer than four windows are not probed.
std::optional<SampleLayout> probed_layout(std::span<const uint8_t> data, int zstd_level) {
    if (data.size() < 4 * PROBE_WINDOW) return std::nullopt;
    const auto window = middle_window(data);
    size_t to_beat = encode_zstd_chunk(window, zstd_level).value().size() * 9 / 10;
    std::optional<SampleLayout> best;
    for (const SampleLayout& layout : {SampleLayout{ElementType::U8, false, {}}, SampleLayout{ElementType::I16, false, {}},
                                       SampleLayout{ElementType::I16, false, {2}}, SampleLayout{ElementType::F32, false, {}}}) {
        const size_t size = encode_sample_block(window, layout, SampleEffort::Fast).size();
        if (size < to_beat) to_beat = size, best = layout;
    }
    return best;
}

// At the fastest effort a block is judged on a window of at most this many
// bytes, and one of fewer bytes than this is not judged before Zstandard's
// run on it, which costs little: Zstandard's run on larger windows, or on
// every block of 16 to 64 KiB, was a fifth of level 1's time on small typed
// files, and on the corpus it decided nothing differently.
constexpr size_t FAST_WINDOW = size_t{16} << 10;

// The window a block is judged on: its middle quarter, at most FAST_WINDOW,
// at the fastest effort; beyond it, its middle sixteenth, at most
// PROBE_WINDOW, so that coding the window at the fastest effort stays a few
// percent of the block's time (matplotlib's logo, 282 KB, spent a quarter
// of its level-3 time judging a quarter of itself).
std::span<const uint8_t> judged_window(std::span<const uint8_t> data, SampleEffort effort) {
    if (effort == SampleEffort::Fast) return middle_window(data, std::min(FAST_WINDOW, data.size() / 4));
    return middle_window(data, std::min(PROBE_WINDOW, data.size() / 16));
}

// What a judged window costs: as a sample block, as a Zstandard chunk.
struct WindowSizes {
    size_t sample, zstd;
};

// Whether Zstandard's `zstd` bytes for `window` are under a third of what
// prediction takes, settled at the least cost: not where Zstandard leaves
// two thirds of the window (no sample block takes twice its input), nor
// where the quick estimate of prediction is within three times them; else
// as the fastest effort codes the window. On matplotlib's logo the fastest
// effort's coding took a fifth of the level-3 time, the estimate a
// twentieth.
bool zstd_far_ahead(std::span<const uint8_t> window, const SampleLayout& layout, size_t zstd) {
    if (3 * zstd >= 2 * window.size()) return false;
    if (const auto quick = quick_sample_size(window, layout); quick && *quick <= 3 * zstd) return false;
    return encode_sample_block(window, layout, SampleEffort::Fast).size() > 3 * zstd;
}

constexpr size_t CONSTANT_SAMPLES_TRIED = size_t{4} << 10;

// Whether every frame of `data` repeats its first, as a fill or a
// constant field does (and a short last frame the first's start).
bool repeats_first_frame(std::span<const uint8_t> data, size_t frame) {
    return data.size() > frame && std::memcmp(data.data(), data.data() + frame, data.size() - frame) == 0;
}

}  // namespace

std::optional<CompressedBlock> ChunkBlockCodec::compress(std::span<const uint8_t> data, ChunkThreads threads,
                                                         const SampleLayout* layout) const {
    std::optional<SampleLayout> probed;
    if (!layout && probes_samples()) probed = probed_layout(data, level_.zstd_level);
    if (probed) layout = &*probed;
    std::optional<CompressedBlock> best;
    if (!layout || data.size() < layout->frame_bytes()) {
        ChosenChunk chunk = encode_smallest_chunk(data, level_, threads);
        const RecordType type = chunk.mode == CodecMode::Plain ? RecordType::Chunk : RecordType::ZstdChunk;
        keep_shorter(best, data.size(), type, std::move(chunk.bytes));
        return best;
    }
    // Typed samples: the sample block against Zstandard, whose level's own
    // run (slow at the high levels) is skipped where a quick one is already
    // twice as long: no level of Zstandard halves level 3's output on data
    // that prediction codes well. Below the full effort, where even the
    // quick run would take a fifth to a third of the time, it is skipped
    // where it codes the judged window a quarter longer than the sample
    // block does: at the fastest effort, on blocks of one window or more,
    // than the bytes the block's own coding spent on the window; at the
    // others, on blocks of four windows or more, than the window's share of
    // the block's bytes (against the window coded alone at the fastest
    // effort, Zstandard ran on matplotlib's logo, whose level-3 sample block
    // is 0.65 of Zstandard's size); so are rasters of one window or more.
    // Other shorter blocks always run it: on their middle quarter Zstandard
    // missed repeats that made it 6% smaller than the sample block on a
    // whole block of zelk.matrix's quotients. On rasters the judgement never
    // differed from the whole block's (our 22 rasters, 195 crops of them and
    // 20 RGBA images at level 3), and the run on the whole block took a
    // sixth of level 3's time on small images (a 128x128 RGBA icon, a
    // 256x256 MRI slice).
    const int quick_level = std::min(level_.zstd_level, 3);
    // A block of one repeated frame (a fill, a constant field) is
    // Zstandard's: one match as long as the block, a few dozen bytes, where
    // prediction codes every sample and its tables (a 256x256 field of one
    // 16-bit value took 274 bytes, at a quarter of zlib -6's speed). Up to
    // CONSTANT_SAMPLES_TRIED bytes, where its fixed costs are few, the
    // sample block is tried too: 1 to 13 bytes shorter there, and at most 4
    // longer above it.
    if (repeats_first_frame(data, layout->frame_bytes())) {
        keep_shorter(best, data.size(), RecordType::ZstdChunk, encode_zstd_chunk(data, quick_level).value());
        if (data.size() <= CONSTANT_SAMPLES_TRIED) {
            keep_shorter(best, data.size(), RecordType::Sample, encode_sample_block(data, *layout, level_.sample));
        }
        return best;
    }
    const auto window = judged_window(data, level_.sample);
    const size_t window_start = static_cast<size_t>(window.data() - data.data()), frame = layout->frame_bytes();
    FramesCost window_cost{window_start / frame, (window_start + window.size()) / frame, {}};
    // Beyond the fastest effort, blocks of four windows or more are judged:
    // prediction is not run on a block whose window Zstandard codes in a
    // third of the bytes (flat graphics, long repeats): on real images and
    // signals the whole block's sample coding came at most 2.4 times closer
    // to Zstandard than its window's.
    std::optional<size_t> window_zstd;
    if (level_.sample != SampleEffort::Fast && data.size() >= 4 * PROBE_WINDOW) {
        window_zstd = encode_zstd_chunk(window, quick_level).value().size();
    }
    if (!window_zstd || !zstd_far_ahead(window, *layout, *window_zstd)) {
        keep_shorter(best, data.size(), RecordType::Sample, encode_sample_block(data, *layout, level_.sample, &window_cost));
    }
    if (level_.sample != SampleEffort::Full && best && data.size() >= FAST_WINDOW) {
        std::optional<WindowSizes> spent;
        if (window_cost.bytes) {
            spent = WindowSizes{*window_cost.bytes, encode_zstd_chunk(window, quick_level).value().size()};
        } else if (window_zstd || layout->row_frames() != 0) {
            if (!window_zstd) window_zstd = encode_zstd_chunk(window, quick_level).value().size();
            spent = WindowSizes{best->stored.size() * window.size() / data.size(), *window_zstd};
        }
        if (spent && 4 * spent->zstd > 5 * spent->sample) return best;
    }
    std::vector<uint8_t> quick = encode_zstd_chunk(data, quick_level).value();
    const bool far_behind = best && best->stored.size() * 2 < quick.size();
    keep_shorter(best, data.size(), RecordType::ZstdChunk, std::move(quick));
    if (!far_behind && (quick_level != level_.zstd_level || level_.zstd_window_log != 0)) {
        const ZstdSettings zstd(level_.zstd_level, level_.zstd_window_log, threads.zstd_workers);
        keep_shorter(best, data.size(), RecordType::ZstdChunk, encode_zstd_chunk(data, zstd).value());
    }
    return best;
}

Result<std::vector<uint8_t>> ChunkBlockCodec::decompress(RecordType type, std::span<const uint8_t> stored,
                                                         uint32_t size) const {
    if (type == RecordType::Sample) return decode_sample_block(stored, size);
    const Result<ChunkInfo> info = read_chunk_info(stored);
    if (!info) return info.error();
    const CodecMode expected = type == RecordType::ZstdChunk ? CodecMode::ZstdFallback : CodecMode::Plain;
    if (info.value().mode != expected) {
        return CodecError(ErrorKind::InvalidData, std::string("a ") + record_type_name(type) +
                                                      " block holds a chunk of another mode");
    }
    if (info.value().length != size) {
        return CodecError(ErrorKind::InvalidData, "chunk length " + std::to_string(info.value().length) +
                                                      " differs from the block's size " + std::to_string(size));
    }
    return decode_any_chunk(stored, std::nullopt, size);
}

}  // namespace zelk
