// The command line of zelk: what it asks for, parsed once before any work.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "frame/frame_writer.h"
#include "frame/levels.h"

namespace zelk::cli {

enum class Operation { Compress, Decompress, Test, List };
enum class ProgressMode { Auto, Always, Never };

struct Options {
    Operation operation = Operation::Compress;
    bool to_stdout = false;
    bool remove_input = false;  // --rm; inputs are kept by default
    bool force = false;
    bool recursive = false;          // -r: the files under directories given
    std::string suffix = ".zlk";     // -S
    int verbosity = 0;          // -1 with -q, 1 and more with -v
    std::optional<std::string> output;
    // As typed; their ranges and defaults are the library's (coding_options.h).
    int64_t threads = 0;        // 0: one per available core
    int level = DEFAULT_LEVEL;  // compression only: -1 .. -9
    std::optional<int64_t> block_size;  // compression only; unset: the level's
    std::optional<int64_t> memory_limit;
    std::optional<int64_t> long_window;  // compression only: --long[=WINDOWLOG]
    InputType input_type{std::nullopt, true};  // compression only: --type, or the file's own format
    ProgressMode progress = ProgressMode::Auto;
    bool help = false;
    bool version = false;
    std::vector<std::string> inputs;  // "-" is standard input; none means it
};

// A command line that cannot be followed; the message says why.
class UsageError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// `program` is the name zelk was started under: as "unzelk" it decompresses
// unless told otherwise.
Options parse_options(const std::string& program, const std::vector<std::string>& args);

std::string help_text(const std::string& program);

}  // namespace zelk::cli
