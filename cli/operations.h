// One input of the command line, from start to finish: choosing the output
// name, the checks before any work, compressing, decompressing, testing or
// listing, putting the output in place and reporting.
#pragma once

#include <sys/types.h>

#include <string>

#include "frame/block_codec.h"
#include "frame/frame_writer.h"
#include "listing.h"
#include "options.h"
#include "reporter.h"

namespace zelk::cli {

struct Session {
    const Options& options;
    Reporter& report;
    Listing& listing;
    mode_t umask;
    ChunkBlockCodec codec;
    FrameOptions frame;  // block size, threads and memory limit, resolved
    InputType input_type;
};

// `name` is a file name or "-" for standard input; with -r a directory's
// files are processed in turn (found: named only by a walk, so those the
// operation does not apply to are passed over quietly). Failures are
// reported and counted in the session's reporter, never thrown.
void process_input(const std::string& name, Session& session, bool found = false);

}  // namespace zelk::cli
