// The listing's table, one row per file, on standard output; with -v every
// frame and block is listed as it is read, above its file's row, so that the
// listing's memory does not grow with the number of blocks.
#include "listing.h"

#include <cstdio>

#include "frame/frame_format.h"
#include "frame/frame_parser.h"

namespace zelk::cli {
namespace {

std::string ratio_text(uint64_t compressed, uint64_t uncompressed) {
    if (uncompressed == 0) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", static_cast<double>(compressed) / static_cast<double>(uncompressed));
    return text;
}

}  // namespace

void Listing::print_row(const Counts& c, const std::string& name) const {
    std::printf("%8llu %8llu %8llu %8llu %8llu %14llu %14llu %7s  %s\n",
                static_cast<unsigned long long>(c.frames), static_cast<unsigned long long>(c.blocks),
                static_cast<unsigned long long>(c.chunks), static_cast<unsigned long long>(c.zstd),
                static_cast<unsigned long long>(c.raw),
                static_cast<unsigned long long>(c.compressed),
                static_cast<unsigned long long>(c.uncompressed),
                ratio_text(c.compressed, c.uncompressed).c_str(), name.c_str());
}

void Listing::list(const std::string& name, ByteSource& input) {
    if (files_ == 0) {
        std::printf("%8s %8s %8s %8s %8s %14s %14s %7s  %s\n", "frames", "blocks", "zelk", "zstd", "raw",
                    "compressed", "uncompressed", "ratio", "name");
    }
    ++files_;
    Counts counts;
    const bool details = report_.verbosity() > 0;
    FrameParser parser(input);
    FrameParser::Next next;
    while ((next = parser.next_frame()) == FrameParser::Next::Frame) {
        if (details) {
            std::printf("  frame %llu: version %u, block size %u\n", static_cast<unsigned long long>(counts.frames),
                        unsigned{parser.header().version}, parser.header().block_size);
        }
        while (auto block = parser.next_block()) {
            const BlockRecord& r = block->record;
            ++counts.blocks;
            ++(r.type == RecordType::Chunk ? counts.chunks : r.type == RecordType::ZstdChunk ? counts.zstd : counts.raw);
            counts.uncompressed += r.size;
            if (details) {
                std::printf("    %s: %s %u -> %u (%s)\n", block_place(block->index, block->offset).c_str(),
                            record_type_name(r.type).c_str(), r.size, r.stored_size,
                            ratio_text(r.stored_size, r.size).c_str());
            }
        }
        ++counts.frames;
    }
    counts.compressed = parser.offset();
    if (next == FrameParser::Next::TrailingData) report_.warning(name + ": trailing garbage ignored");
    print_row(counts, name);
    totals_.frames += counts.frames;
    totals_.blocks += counts.blocks;
    totals_.chunks += counts.chunks;
    totals_.zstd += counts.zstd;
    totals_.raw += counts.raw;
    totals_.compressed += counts.compressed;
    totals_.uncompressed += counts.uncompressed;
}

Listing::~Listing() {
    if (files_ > 1) print_row(totals_, "(" + std::to_string(files_) + " files)");
    std::fflush(stdout);
}

}  // namespace zelk::cli
