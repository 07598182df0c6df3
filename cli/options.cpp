// Option parsing in the manner of gzip, xz and zstd: short options that may
// be grouped (-dc, -T4, -ofile), long options with "=value" or a separate
// value, "--" ending the options, and "-" meaning standard input.
#include "options.h"

#include "frame/coding_options.h"

#include <charconv>
#include <string_view>
#include <algorithm>
#include <functional>
#include <initializer_list>


namespace zelk::cli {
namespace {

int64_t parse_threads(const std::string& text) {
    int64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size()) {
        throw UsageError("invalid thread count '" + text + "' (expected a number; 0 means all cores)");
    }
    return value;
}

// A byte count from 1 to 2^63 - 1 with an optional K, M or G (binary) suffix.
std::optional<int64_t> parse_size(const std::string& text) {
    constexpr uint64_t limit = INT64_MAX;
    uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    const std::string suffix(end, text.data() + text.size());
    uint64_t unit = 1;
    if (suffix == "K" || suffix == "k" || suffix == "KiB") unit = uint64_t{1} << 10;
    else if (suffix == "M" || suffix == "m" || suffix == "MiB") unit = uint64_t{1} << 20;
    else if (suffix == "G" || suffix == "g" || suffix == "GiB") unit = uint64_t{1} << 30;
    else if (!suffix.empty()) return std::nullopt;
    if (error != std::errc{} || value == 0 || value > limit / unit) return std::nullopt;
    return static_cast<int64_t>(value * unit);
}

int64_t parse_block_size(const std::string& text) {
    const auto size = parse_size(text);
    if (!size) throw UsageError("invalid block size '" + text + "' (expected a size such as 256K or 16M)");
    return *size;
}

// --long alone or --long=WINDOWLOG, a number the library checks.
int64_t parse_long_window(const std::optional<std::string>& text) {
    if (!text) return DEFAULT_LONG_WINDOW_LOG;
    int64_t value = 0;
    auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), value);
    if (error != std::errc{} || end != text->data() + text->size()) {
        throw UsageError("invalid window log '" + *text + "' (expected a number such as 27 for 128 MiB)");
    }
    return value;
}

int64_t parse_memory_limit(const std::string& text) {
    const auto size = parse_size(text);
    if (!size) throw UsageError("invalid memory limit '" + text + "' (expected a size such as 512M or 2G)");
    return *size;
}

// --type FORMAT[:CHANNELS], or "bytes" for no type and no look at the
// file's format.
InputType parse_type(const std::string& text) {
    if (text == "bytes") return {std::nullopt, false};
    const size_t colon = text.find(':');
    const auto type = parse_command_type(std::string_view(text).substr(0, colon));
    uint64_t channels = 1;
    if (colon != std::string::npos) {
        const char* first = text.data() + colon + 1;
        auto [end, error] = std::from_chars(first, text.data() + text.size(), channels);
        if (error != std::errc{} || end != text.data() + text.size()) channels = 0;
    }
    if (!type || channels == 0 || channels > MAX_CHANNELS) {
        throw UsageError("invalid type '" + text + "' (expected a format such as u8, i16le, i32be, f32le or f64be, "
                         "then :CHANNELS up to " + std::to_string(MAX_CHANNELS) + "; or bytes)");
    }
    SampleLayout layout{type->first, type->second, {}};
    if (channels > 1) layout.trailing.push_back(channels);
    return {layout, false};
}

std::string parse_suffix(const std::string& text) {
    if (text.empty() || text.find('/') != std::string::npos) {
        throw UsageError("invalid suffix '" + text + "' (expected a non-empty suffix without '/', such as .zlk)");
    }
    return text;
}

// A level typed as digits after a dash ("-3", "-19"): 1 to 9, or a refusal
// naming the range, as a zstd or gzip user may type higher ones.
int parse_level(const std::string& digits) {
    if (digits.size() == 1 && digits[0] != '0') return digits[0] - '0';
    throw UsageError("level -" + digits + " is out of range: zelk's levels are 1 to 9 (-9 or --best is the "
                     "smallest output, like zstd -19)");
}

// The operations asked for; resolved into one once the line is read.
struct Requested {
    bool compress = false, decompress = false, test = false, list = false;
};

// Applies the option called `name` (without dashes). `value` yields its
// value for the options that take one. False if there is no such option.
bool apply(const std::string& name, Options& options, Requested& requested,
           const std::function<std::string()>& value) {
    auto is = [&](const char* short_name, std::initializer_list<const char*> long_names) {
        if (name == short_name) return true;
        for (const char* long_name : long_names) {
            if (name == long_name) return true;
        }
        return false;
    };
    if (is("z", {"compress"})) requested.compress = true;
    else if (is("d", {"decompress", "uncompress"})) requested.decompress = true;
    else if (is("t", {"test"})) requested.test = true;
    else if (is("l", {"list"})) requested.list = true;
    else if (is("c", {"stdout", "to-stdout"})) options.to_stdout = true;
    else if (is("k", {"keep"})) options.remove_input = false;
    else if (is("", {"rm"})) options.remove_input = true;
    else if (is("f", {"force"})) options.force = true;
    else if (is("r", {"recursive"})) options.recursive = true;
    else if (is("S", {"suffix"})) options.suffix = parse_suffix(value());
    else if (is("", {"ultra"})) throw UsageError("--ultra: zelk has no levels above 9 (-9 or --best is its smallest output)");
    else if (is("q", {"quiet"})) options.verbosity = -1;
    else if (is("v", {"verbose"})) options.verbosity = std::max(options.verbosity, 0) + 1;
    else if (is("", {"progress"})) options.progress = ProgressMode::Always;
    else if (is("", {"no-progress"})) options.progress = ProgressMode::Never;
    else if (is("h", {"help"})) options.help = true;
    else if (is("V", {"version"})) options.version = true;
    else if (is("", {"fast"})) options.level = MIN_LEVEL;
    else if (is("", {"best"})) options.level = MAX_LEVEL;
    else if (is("T", {"threads"})) options.threads = parse_threads(value());
    else if (is("B", {"block-size"})) options.block_size = parse_block_size(value());
    else if (is("M", {"memlimit", "memory"})) options.memory_limit = parse_memory_limit(value());
    else if (is("o", {"output"})) options.output = value();
    else if (is("", {"type"})) options.input_type = parse_type(value());
    else return false;
    return true;
}

Operation resolve(const Requested& requested, const std::string& program) {
    if (requested.compress && (requested.decompress || requested.test || requested.list)) {
        throw UsageError("-z cannot be combined with -d, -t or -l");
    }
    if (requested.test && requested.list) throw UsageError("-t and -l cannot be used together");
    if (requested.list) return Operation::List;  // -dl and -dt mean -l and -t, as with xz
    if (requested.test) return Operation::Test;
    if (requested.decompress) return Operation::Decompress;
    if (requested.compress) return Operation::Compress;
    return program == "unzelk" || program == "zelkcat" ? Operation::Decompress : Operation::Compress;
}

}  // namespace

Options parse_options(const std::string& program, const std::vector<std::string>& args) {
    Options options;
    Requested requested;
    bool operands_only = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (operands_only || arg == "-" || arg.empty() || arg[0] != '-') {
            options.inputs.push_back(arg);
        } else if (arg == "--") {
            operands_only = true;
        } else if (arg.rfind("--", 0) == 0) {
            const size_t equals = arg.find('=');
            const std::string name = arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
            bool value_used = false;
            auto value = [&]() -> std::string {
                value_used = true;
                if (equals != std::string::npos) return arg.substr(equals + 1);
                if (i + 1 >= args.size()) throw UsageError("option --" + name + " requires a value");
                return args[++i];
            };
            if (name == "long") {  // its value is optional, so never the next argument
                options.long_window = parse_long_window(
                    equals == std::string::npos ? std::nullopt : std::optional(arg.substr(equals + 1)));
                continue;
            }
            if (!apply(name, options, requested, value)) throw UsageError("unknown option '" + arg + "'");
            if (equals != std::string::npos && !value_used) {
                throw UsageError("option --" + name + " takes no value");
            }
        } else {
            // A group of short options; one that takes a value takes the rest
            // of the group, or else the next argument.
            bool rest_taken = false;
            for (size_t j = 1; j < arg.size() && !rest_taken; ++j) {
                if (arg[j] >= '0' && arg[j] <= '9') {  // a level: all its digits
                    const size_t end = arg.find_first_not_of("0123456789", j);
                    options.level = parse_level(arg.substr(j, end - j));
                    j = (end == std::string::npos ? arg.size() : end) - 1;
                    continue;
                }
                const std::string name(1, arg[j]);
                auto value = [&]() -> std::string {
                    rest_taken = true;
                    if (j + 1 < arg.size()) return arg.substr(j + 1);
                    if (i + 1 >= args.size()) throw UsageError("option -" + name + " requires a value");
                    return args[++i];
                };
                if (!apply(name, options, requested, value)) throw UsageError("unknown option '-" + name + "'");
            }
        }
    }
    options.operation = resolve(requested, program);
    if (program == "zelkcat") options.to_stdout = true;
    if (options.output == "-") {
        options.output.reset();
        options.to_stdout = true;
    }
    if (options.output && options.to_stdout) throw UsageError("-o and -c cannot be used together");
    if (options.output && options.inputs.size() > 1) throw UsageError("-o takes one input only");
    if (options.output && (options.operation == Operation::Test || options.operation == Operation::List)) {
        throw UsageError("-o cannot be used with -t or -l");
    }
    return options;
}

std::string help_text(const std::string& program) {
    std::string what = "Compress FILEs (by default, into FILE.zlk, keeping FILE), or restore them.\n";
    std::string compress = "  -z, --compress      compress (the default)\n";
    std::string decompress = "  -d, --decompress    decompress FILE.zlk into FILE\n";
    if (program == "unzelk") {
        what = "Restore FILE.zlk into FILE (keeping FILE.zlk); the same as zelk -d.\n";
        compress = "  -z, --compress      compress instead\n";
        decompress = "  -d, --decompress    decompress (the default)\n";
    } else if (program == "zelkcat") {
        what = "Restore FILEs compressed by zelk to standard output; the same as zelk -dc.\n";
        compress = "  -z, --compress      compress instead\n";
        decompress = "  -d, --decompress    decompress (the default)\n";
    }
    return "Usage: " + program + " [OPTION]... [FILE]...\n" + what +
           "With no FILE, or when FILE is -, read standard input and write standard output.\n"
           "\n" + compress + decompress +
           "  -t, --test          check compressed files, writing nothing\n"
           "  -l, --list          list blocks, storage and ratio of compressed files\n"
           "  -c, --stdout        write to standard output, keep the input files\n"
           "  -o, --output=FILE   write to FILE (one input only)\n"
           "  -k, --keep          keep the input files (the default)\n"
           "      --rm            remove the input files after success\n"
           "  -f, --force         overwrite existing outputs, write compressed data to a\n"
           "                      terminal, follow symbolic links; with -dc, pass data that\n"
           "                      is not zelk's through unchanged\n"
           "  -r, --recursive     operate on the files under the directories given\n"
           "  -S, --suffix=SUF    use suffix SUF on compressed files (default .zlk)\n"
           "  -1 .. -9            compression level (default 3): higher is smaller and slower;\n"
           "                      samples are predicted by polynomials (Rice codes) at 1-2,\n"
           "                      by short cascades of adaptive filters at 3-5, and by the\n"
           "                      best of all cascades at 6-9\n"
           "      --fast, --best  level 1, level 9 (zstd's -10 to -19 and --ultra are refused)\n"
           "  -T, --threads=N     use N threads (default 0: all available cores; at most that)\n"
           "      --long[=WLOG]   find matches as far back as 2^WLOG bytes (10 to 31, default\n"
           "                      27: 128M), in blocks of that size, as zstd --long; reading\n"
           "                      takes memory for two such blocks per thread\n"
           "  -B, --block-size=S  compress in blocks of S bytes, with suffix K, M or G\n"
           "                      (default: the level's, 4M to 16M; at most 2G; blocks over\n"
           "                      64M make frames of version 4, which older zelks refuse)\n"
           "  -M, --memlimit=S    use at most about S bytes for blocks in flight, with suffix\n"
           "                      K, M or G (default: a quarter of the memory); fewer blocks\n"
           "                      at once if need be, and frames needing more are refused\n"
           "      --type=FORMAT[:CHANNELS]  compress the input as samples of FORMAT (u8, i8,\n"
           "                      i16le, u16be, i24le, i32le, u32be, i64le, u64be, f32le, f64be),\n"
           "                      CHANNELS interleaved; 'bytes': as bytes. By default the\n"
           "                      samples of WAV (PCM and float), .npy, PNM (P5, P6) and\n"
           "                      FITS files are found by their headers and coded as such,\n"
           "                      the rest as bytes\n"
           "  -q, --quiet         suppress warnings\n"
           "  -v, --verbose       report sizes and speed (with -l: every block)\n"
           "      --progress      always show progress on standard error\n"
           "      --no-progress   never show progress\n"
           "  -h, --help          show this help\n"
           "  -V, --version       show the version\n"
           "\n"
           "Exit status: 0 success, 1 error, 2 warning.\n";
}

}  // namespace zelk::cli
