// zelk, the command-line program: compresses and restores files and pipes in
// the framed format, on all cores. It runs the chunk encoder without its
// debug line, so nothing but data reaches standard output.
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>
#include <cstdio>
#include <string>
#include <vector>

#include "frame/coding_options.h"
#include "frame/frame_format.h"
#include "listing.h"
#include "operations.h"
#include "options.h"
#include "reporter.h"
#include "safe_output.h"

namespace {

std::string base_name(const char* path) {
    const std::string text = path ? path : "zelk";
    const size_t slash = text.rfind('/');
    return slash == std::string::npos ? text : text.substr(slash + 1);
}

// Whether compressed output would go to standard output.
bool compresses_to_stdout(const zelk::cli::Options& options) {
    if (options.operation != zelk::cli::Operation::Compress || options.output) return false;
    if (options.to_stdout || options.inputs.empty()) return true;
    for (const auto& name : options.inputs) {
        if (name == "-") return true;
    }
    return false;
}

// Flushes what went to standard output through stdio (help, version, the
// listing); a failure there is an error like any other.
int flush_stdout(zelk::cli::Reporter& report) {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) report.error("write error on standard output");
    return report.exit_status();
}

}  // namespace

int main(int argc, char** argv) {
    using namespace zelk::cli;
    const std::string program = base_name(argc > 0 ? argv[0] : nullptr);
    Options options;
    zelk::CodingSettings settings;
    try {
        options = parse_options(program, std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
        settings = zelk::resolve_coding_options({options.level, options.threads, options.block_size,
                                                 options.memory_limit, options.long_window});
    } catch (const std::invalid_argument& e) {  // UsageError, or a value out of the library's range
        std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", program.c_str(), e.what(),
                     program.c_str());
        return 1;
    }
    Reporter report(program, options.verbosity);
    if (options.help) {
        std::fputs(help_text(program).c_str(), stdout);
        return flush_stdout(report);
    }
    if (options.version) {
        std::printf("%s %s (frame format %u)\n", program.c_str(), ZELK_VERSION, unsigned{zelk::NEWEST_FRAME_VERSION});
        return flush_stdout(report);
    }
    if (compresses_to_stdout(options) && !options.force && isatty(STDOUT_FILENO)) {
        report.error("compressed data not written to a terminal. Use -f to force compression.");
        return report.exit_status();
    }
    if (options.inputs.empty()) options.inputs.push_back("-");

    install_interrupt_cleanup();
    const mode_t mask = ::umask(0);
    ::umask(mask);
    {
        Listing listing(report);
        Session session{options, report, listing, mask, zelk::ChunkBlockCodec(settings.level), settings.frame,
                        options.input_type};
        for (const std::string& name : options.inputs) process_input(name, session);
    }
    return flush_stdout(report);
}
