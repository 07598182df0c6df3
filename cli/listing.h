// zelk -l: what compressed files hold, read from their records alone (no
// block is decoded, so checksums are not verified; -t does that).
#pragma once

#include <cstdint>
#include <string>

#include "base/bytes.h"
#include "frame/frame_io.h"
#include "reporter.h"

namespace zelk::cli {

class Listing {
public:
    explicit Listing(Reporter& report) : report_(report) {}
    // Prints the totals when more than one file was listed.
    ~Listing();
    Listing(const Listing&) = delete;
    Listing& operator=(const Listing&) = delete;

    // Lists one input; throws FrameError for a damaged one.
    void list(const std::string& name, ByteSource& input);
    // Lists a compressed matrix (matrix_blob.h), its frames unread.
    void list_matrix(const std::string& name, ByteView blob);

    struct Counts {
        uint64_t frames = 0, blocks = 0, chunks = 0, zstd = 0, samples = 0, raw = 0, compressed = 0, uncompressed = 0;
    };

private:
    void print_row(const Counts& counts, const std::string& name) const;
    void print_header_once();
    void add(const Counts& counts);

    Reporter& report_;
    Counts totals_;
    unsigned files_ = 0;
};

}  // namespace zelk::cli
