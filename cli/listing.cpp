// The listing's table, one row per file, on standard output; with -v every
// frame and block is listed as it is read, above its file's row, so that the
// listing's memory does not grow with the number of blocks.
#include "listing.h"

#include <cstdio>

#include "frame/frame_format.h"
#include "frame/frame_summary.h"
#include "matrix_blob/matrix_blob.h"
#include "sample/sample_block.h"

namespace zelk::cli {
namespace {

std::string ratio_text(uint64_t compressed, uint64_t uncompressed) {
    if (uncompressed == 0) return "-";
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", static_cast<double>(compressed) / static_cast<double>(uncompressed));
    return text;
}

// "int16 x2 (big-endian)": the element type, the dimensions after the first
// ("uint8 x64 rows": coded as a raster's rows, not channels).
std::string layout_text(const SampleLayout& layout) {
    std::string text = element_type_name(layout.type);
    for (uint64_t dimension : layout.trailing) text += " x" + std::to_string(dimension);
    if (layout.rows) text += " rows";
    if (layout.big_endian && layout.element_size() > 1) text += " (big-endian)";
    return text;
}

// "float64 512x512, max_error 0.001": what a matrix holds and its bound.
std::string matrix_text(const MatrixSummary& m) {
    std::string shape;
    for (uint64_t dimension : m.shape) shape += (shape.empty() ? "" : "x") + std::to_string(dimension);
    char bound[64];
    std::snprintf(bound, sizeof bound, "%s %g", m.bound, m.requested);
    return "matrix v" + std::to_string(m.version) + ": " + m.dtype + " " + (shape.empty() ? "scalar" : shape) + ", " +
           bound;
}

}  // namespace

void Listing::print_row(const Counts& c, const std::string& name) const {
    std::printf("%8llu %8llu %8llu %8llu %8llu %8llu %14llu %14llu %7s  %s\n",
                static_cast<unsigned long long>(c.frames), static_cast<unsigned long long>(c.blocks),
                static_cast<unsigned long long>(c.chunks), static_cast<unsigned long long>(c.zstd),
                static_cast<unsigned long long>(c.samples), static_cast<unsigned long long>(c.raw),
                static_cast<unsigned long long>(c.compressed),
                static_cast<unsigned long long>(c.uncompressed),
                ratio_text(c.compressed, c.uncompressed).c_str(), name.c_str());
}

void Listing::print_header_once() {
    if (files_ == 0) {
        std::printf("%8s %8s %8s %8s %8s %8s %14s %14s %7s  %s\n", "frames", "blocks", "zelk", "zstd", "sample",
                    "raw", "compressed", "uncompressed", "ratio", "name");
    }
    ++files_;
}

void Listing::add(const Counts& counts) {
    totals_.frames += counts.frames;
    totals_.blocks += counts.blocks;
    totals_.chunks += counts.chunks;
    totals_.zstd += counts.zstd;
    totals_.samples += counts.samples;
    totals_.raw += counts.raw;
    totals_.compressed += counts.compressed;
    totals_.uncompressed += counts.uncompressed;
}

void Listing::list_matrix(const std::string& name, ByteView blob) {
    const MatrixSummary m = summarize_matrix_blob(blob);
    print_header_once();
    if (report_.verbosity() > 0) {
        std::printf("  %s: largest error %g, RMSE %g, %llu values stored exactly\n", matrix_text(m).c_str(),
                    m.max_error, m.rmse, static_cast<unsigned long long>(m.corrections));
        if (m.version >= 2) {
            auto on_path = [&m](MatrixPath path) { return static_cast<unsigned long long>(m.paths[static_cast<size_t>(path)]); };
            std::printf("  %llu bands: %llu grid, %llu interpolated, %llu Lorenzo, %llu exact, %llu wavelet\n",
                        static_cast<unsigned long long>(m.bands), on_path(MatrixPath::Grid),
                        on_path(MatrixPath::Interpolated) + on_path(MatrixPath::Levelled) +
                            on_path(MatrixPath::LevelledLine),
                        on_path(MatrixPath::Lorenzo), on_path(MatrixPath::Exact),
                        on_path(MatrixPath::Wavelet) + on_path(MatrixPath::WaveletLine));
        }
    }
    const Counts counts{0, 0, 0, 0, 0, 0, blob.size(), m.value_bytes()};
    print_row(counts, name + " (" + matrix_text(m) + ")");
    add(counts);
}

void Listing::list(const std::string& name, ByteSource& input) {
    print_header_once();
    const bool details = report_.verbosity() > 0;
    uint64_t frame_shown = UINT64_MAX;
    auto show = [&](uint64_t frame, const FrameHeader& header, const StoredBlock& block) {
        if (frame != frame_shown) {
            std::printf("  frame %llu: version %u, block size %u\n", static_cast<unsigned long long>(frame),
                        unsigned{header.version}, header.block_size);
            frame_shown = frame;
        }
        const BlockRecord& r = block.record;
        std::string kind = record_type_name(r.type);
        if (r.type == RecordType::Sample) {
            if (const auto layout = sample_block_layout(block.stored)) kind += " " + layout_text(*layout);
        }
        std::printf("    %s: %s %u -> %u (%s)\n", block_place(block.index, block.offset).c_str(), kind.c_str(), r.size,
                    r.stored_size, ratio_text(r.stored_size, r.size).c_str());
    };
    const FrameSummary summary = summarize_frames(input, details ? BlockVisitor(show) : BlockVisitor());
    const Counts counts{summary.frames, summary.raw_blocks + summary.chunk_blocks + summary.zstd_blocks +
                                            summary.sample_blocks,
                        summary.chunk_blocks, summary.zstd_blocks, summary.sample_blocks, summary.raw_blocks,
                        summary.compressed_size, summary.content_size};
    if (summary.trailing_data) report_.warning(name + ": trailing garbage ignored");
    print_row(counts, name);
    add(counts);
}

Listing::~Listing() {
    if (files_ > 1) print_row(totals_, "(" + std::to_string(files_) + " files)");
    std::fflush(stdout);
}

}  // namespace zelk::cli
