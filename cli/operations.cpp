// The life of one input. Nothing is written to a named output until the
// whole result is known to be good: the frame reader checks every block
// before writing it, and a named output becomes visible only by the final
// rename. Standard output, which cannot be taken back, receives only checked
// blocks, so it holds a correct prefix of the data when a later block fails.
#include "operations.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <vector>
#include <new>
#include <optional>
#include <system_error>

#include "fd_stream.h"
#include "frame/frame_format.h"
#include "frame/frame_reader.h"
#include "frame/frame_writer.h"
#include "frame/memory_limit.h"
#include "matrix_blob/matrix_blob.h"
#include "progress.h"
#include "safe_output.h"

namespace zelk::cli {
namespace {

bool has_suffix(const std::string& name, const std::string& suffix) {
    return name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// A source that gives back the bytes already read from another first.
class PeekedSource final : public ByteSource {
public:
    PeekedSource(std::vector<uint8_t> head, ByteSource& rest) : head_(std::move(head)), rest_(rest) {}
    size_t read(std::span<uint8_t> buffer) override {
        if (given_ == head_.size()) return rest_.read(buffer);
        const size_t count = std::min(buffer.size(), head_.size() - given_);
        std::copy_n(head_.begin() + static_cast<ptrdiff_t>(given_), count, buffer.begin());
        given_ += count;
        return count;
    }

private:
    std::vector<uint8_t> head_;
    size_t given_ = 0;
    ByteSource& rest_;
};

// The first bytes of a source, as many as `count` if it has them.
std::vector<uint8_t> peek(ByteSource& source, size_t count) {
    std::vector<uint8_t> head(count);
    size_t got = 0;
    while (got < count) {
        const size_t n = source.read(std::span(head).subspan(got));
        if (n == 0) break;
        got += n;
    }
    head.resize(got);
    return head;
}

// The whole of a source that began with `head`, a compressed matrix, which
// is read at once; within the memory limit.
std::vector<uint8_t> read_whole(std::vector<uint8_t> head, ByteSource& rest, uint64_t memory_limit) {
    std::vector<uint8_t> all = std::move(head);
    std::vector<uint8_t> buffer(1 << 16);
    while (const size_t n = rest.read(buffer)) {
        all.insert(all.end(), buffer.begin(), buffer.begin() + static_cast<ptrdiff_t>(n));
        if (all.size() > memory_limit) {
            throw FrameError("a compressed matrix larger than the memory limit of " + describe_bytes(memory_limit));
        }
    }
    return all;
}

struct Input {
    std::string name;                     // as shown in messages
    UniqueFd owned;                       // empty for standard input
    int fd = STDIN_FILENO;
    std::optional<struct stat> file;      // set for a named input
    bool link = false;                    // a named input that is a symbolic link
    bool regular() const { return file && S_ISREG(file->st_mode); }
};

// What one run produced, for -v.
struct Outcome {
    uint64_t input_bytes = 0, output_bytes = 0, blocks = 0, chunks = 0, zstd_chunks = 0, sample_blocks = 0;
    bool trailing_data = false;
};

class Job {
public:
    Job(Session& session, Input input) : s_(session), opt_(session.options), in_(std::move(input)) {}
    void run();

private:
    std::optional<std::string> destination();
    Outcome work(ByteSink* sink);
    void report_outcome(const Outcome& outcome, const std::string& to, double seconds) const;

    Session& s_;
    const Options& opt_;
    Input in_;
};

// The named output, if any: "" for standard output, nothing when the input
// is to be skipped (the reason has been reported).
std::optional<std::string> Job::destination() {
    const bool compress = opt_.operation == Operation::Compress;
    if (opt_.output) return *opt_.output;
    if (opt_.to_stdout || !in_.file) return std::string();
    if (!in_.regular()) {
        s_.report.warning(in_.name + " is not a regular file -- ignored");
        return std::nullopt;
    }
    // As gzip: an output beside a link is not made through it unless forced.
    if (in_.link && !opt_.force) {
        s_.report.warning(in_.name + " is a symbolic link -- ignored (-f follows it)");
        return std::nullopt;
    }
    const std::string& suffix = opt_.suffix;
    if (compress) {
        if (has_suffix(in_.name, suffix)) {
            s_.report.warning(in_.name + " already has " + suffix + " suffix -- unchanged");
            return std::nullopt;
        }
        return in_.name + suffix;
    }
    if (!has_suffix(in_.name, suffix)) {
        s_.report.warning(in_.name + ": unknown suffix -- ignored");
        return std::nullopt;
    }
    return in_.name.substr(0, in_.name.size() - suffix.size());
}

Outcome Job::work(ByteSink* sink) {
    FdSource source(in_.fd);
    const bool shown = opt_.progress == ProgressMode::Always ||
                       (opt_.progress == ProgressMode::Auto && opt_.verbosity >= 0 && isatty(STDERR_FILENO));
    std::optional<uint64_t> size;
    if (in_.regular()) size = static_cast<uint64_t>(in_.file->st_size);
    ProgressLine progress(s_.report.program(), in_.name, size, shown, opt_.progress == ProgressMode::Always);
    auto tell = [&](uint64_t in, uint64_t out) { progress.update(in, out); };

    Outcome outcome;
    if (opt_.operation == Operation::Compress) {
        const FrameWriteStats stats =
            write_frame(source, *sink, s_.codec, s_.frame, tell, s_.input_type);
        outcome = {stats.input_bytes, stats.output_bytes, stats.blocks, stats.chunk_blocks, stats.zstd_blocks,
                   stats.sample_blocks, false};
    } else if (opt_.force && opt_.operation == Operation::Decompress && (opt_.to_stdout || !in_.file)) {
        // As zstd -dcf and zcat -f: what is not a frame passes through as it is.
        std::vector<uint8_t> head = peek(source, FRAME_MAGIC.size());
        const bool frame = std::equal(head.begin(), head.end(), FRAME_MAGIC.begin()) && head.size() == FRAME_MAGIC.size();
        PeekedSource whole(std::move(head), source);
        if (!frame) {
            std::vector<uint8_t> buffer(1 << 16);
            while (const size_t n = whole.read(buffer)) {
                sink->write(std::span(buffer).first(n));
                outcome.input_bytes += n;
                tell(outcome.input_bytes, outcome.input_bytes);
            }
            outcome.output_bytes = outcome.input_bytes;
            return outcome;
        }
        const FrameReadStats stats = read_frames(whole, sink, s_.codec, s_.frame.threads, tell, s_.frame.memory_limit);
        outcome = {stats.input_bytes, stats.output_bytes, stats.blocks, 0, 0, 0, stats.trailing_data};
    } else {
        // zelk.matrix's blobs are tested here and restored by the package.
        std::vector<uint8_t> head = peek(source, MATRIX_MAGIC.size());
        if (starts_matrix_blob(head)) {
            if (opt_.operation != Operation::Test) {
                throw FrameError("a compressed matrix: zelk -l and -t read it, zelk.matrix.decompress() restores it");
            }
            const std::vector<uint8_t> blob = read_whole(std::move(head), source, s_.frame.memory_limit);
            const MatrixSummary matrix = verify_matrix_blob(blob, s_.codec, s_.frame.threads, s_.frame.memory_limit);
            return {blob.size(), matrix.value_bytes(), matrix.bands, 0, 0, 0, false};
        }
        PeekedSource whole(std::move(head), source);
        const FrameReadStats stats = read_frames(whole, sink, s_.codec, s_.frame.threads, tell, s_.frame.memory_limit);
        outcome = {stats.input_bytes, stats.output_bytes, stats.blocks, 0, 0, 0, stats.trailing_data};
    }
    return outcome;
}

void Job::report_outcome(const Outcome& o, const std::string& to, double seconds) const {
    if (o.trailing_data) s_.report.warning(in_.name + ": trailing garbage ignored");
    if (s_.report.verbosity() <= 0) return;
    const uint64_t data = opt_.operation == Operation::Compress ? o.input_bytes : o.output_bytes;
    char rate[48];
    std::snprintf(rate, sizeof rate, "%.2f MB/s", seconds > 0 ? static_cast<double>(data) / seconds / 1e6 : 0.0);
    std::string text = in_.name + ": ";
    if (opt_.operation == Operation::Test) {
        text += "OK, " + std::to_string(data) + " bytes in " + std::to_string(o.blocks) + " blocks, " + rate;
    } else if (opt_.operation == Operation::Decompress) {
        text += std::to_string(o.input_bytes) + " -> " + std::to_string(o.output_bytes) + " bytes, " + rate;
    } else {
        char share[32];
        std::snprintf(share, sizeof share, " (%.2f%%)",
                      o.input_bytes ? 100.0 * static_cast<double>(o.output_bytes) / static_cast<double>(o.input_bytes) : 100.0);
        text += std::to_string(o.input_bytes) + " -> " + std::to_string(o.output_bytes) + " bytes" + share + ", " +
                std::to_string(o.blocks) + " blocks (" + std::to_string(o.chunks) + " zelk, " +
                std::to_string(o.zstd_chunks) + " zstd, " + std::to_string(o.sample_blocks) + " sample), " + rate;
    }
    if (!to.empty()) text += " -> " + to;
    s_.report.info(text);
}

// Whether `path` names something to write into rather than a file to replace.
bool written_into(const std::string& path) {
    struct stat target {}, link {}, out {};
    if (::stat(path.c_str(), &target) != 0) return false;
    if (!S_ISREG(target.st_mode) && !S_ISDIR(target.st_mode)) return true;
    return ::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode) && ::fstat(STDOUT_FILENO, &out) == 0 &&
           out.st_dev == target.st_dev && out.st_ino == target.st_ino;
}

void Job::run() {
    if (opt_.operation == Operation::List) {
        FdSource source(in_.fd);
        std::vector<uint8_t> head = peek(source, MATRIX_MAGIC.size());
        if (starts_matrix_blob(head)) {
            s_.listing.list_matrix(in_.name, read_whole(std::move(head), source, s_.frame.memory_limit));
            return;
        }
        PeekedSource whole(std::move(head), source);
        s_.listing.list(in_.name, whole);
        return;
    }
    const auto start = std::chrono::steady_clock::now();
    auto seconds = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
    if (opt_.operation == Operation::Test) {
        const Outcome outcome = work(nullptr);
        report_outcome(outcome, "", seconds());
        return;
    }
    const std::optional<std::string> to = destination();
    if (!to) return;
    if (to->empty()) {
        FdSink sink(STDOUT_FILENO);
        const Outcome outcome = work(&sink);
        report_outcome(outcome, "", seconds());
        return;
    }
    // A device, a FIFO or a socket, or a link to one (/dev/null, a named
    // pipe), and a link to standard output (/dev/stdout, whatever it is):
    // written into, never replaced, whatever -f says. The input is kept,
    // since nothing says the data was kept.
    if (written_into(*to)) {
        UniqueFd fd(::open(to->c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC));
        if (!fd) throw std::system_error(errno, std::generic_category(), "cannot open " + *to);
        FdSink sink(fd.get());
        const Outcome outcome = work(&sink);
        report_outcome(outcome, *to, seconds());
        if (opt_.remove_input && in_.file) s_.report.warning(in_.name + " kept: " + *to + " is not a regular file");
        return;
    }

    struct stat existing {};
    if (::lstat(to->c_str(), &existing) == 0) {
        if (in_.file && existing.st_dev == in_.file->st_dev && existing.st_ino == in_.file->st_ino) {
            s_.report.error(in_.name + ": input and output are the same file");
            return;
        }
        if (!opt_.force) {
            s_.report.warning(*to + " already exists; not overwritten");
            return;
        }
    }
    const bool remove_input = opt_.remove_input && in_.file;
    const mode_t mode = in_.regular() ? (in_.file->st_mode & 0777) : (0666 & ~s_.umask);
    TempOutput output(*to, mode);
    FdSink sink(output.fd());
    const Outcome outcome = work(&sink);
    output.commit(in_.file, opt_.force, remove_input);
    if (remove_input && ::unlink(in_.name.c_str()) != 0) {
        throw std::system_error(errno, std::generic_category(), "cannot remove " + in_.name);
    }
    report_outcome(outcome, *to, seconds());
}

}  // namespace

namespace {

// The entries of a directory, in name order, as paths; with -r each is
// processed as if named, without following links to other directories.
void process_directory(const std::string& name, Session& session) {
    std::error_code error;
    std::vector<std::string> entries;
    for (std::filesystem::directory_iterator it(name, error), end; !error && it != end; it.increment(error)) {
        entries.push_back(it->path().string());
    }
    if (error) {
        session.report.error(name + ": " + error.message());
        return;
    }
    std::sort(entries.begin(), entries.end());
    for (const std::string& entry : entries) process_input(entry, session, true);
}

// Whether a file found by a walk is one the operation applies to.
bool wanted(const std::string& name, const Options& options) {
    const bool compressed = has_suffix(name, options.suffix);
    return options.operation == Operation::Compress ? !compressed : compressed;
}

}  // namespace

void process_input(const std::string& name, Session& session, bool found) {
    const Options& options = session.options;
    Input input;
    if (name == "-") {
        input.name = "(stdin)";
        if (options.operation != Operation::Compress && !options.force && isatty(STDIN_FILENO)) {
            session.report.error("compressed data not read from a terminal. Use -f to force.");
            return;
        }
    } else {
        input.name = name;
        struct stat entry {};
        const bool seen = ::lstat(name.c_str(), &entry) == 0;
        input.link = seen && S_ISLNK(entry.st_mode);
        if (found && input.link && !options.force) return;  // a walk follows links to files only with -f
        if (options.recursive && seen && S_ISDIR(entry.st_mode)) {
            process_directory(name, session);
            return;
        }
        if (found && !wanted(name, options)) return;
        // Non-blocking, so that opening a FIFO without a writer cannot hang
        // before we know what the input is; reads block again after.
        input.owned = UniqueFd(::open(name.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
        struct stat st {};
        if (!input.owned || ::fstat(input.owned.get(), &st) != 0 ||
            ::fcntl(input.owned.get(), F_SETFL, O_RDONLY) != 0) {
            session.report.error(name + ": " + std::generic_category().message(errno));
            return;
        }
        if (S_ISDIR(st.st_mode)) {
            // A link to a directory: followed when named, never in a walk (it could lead back up).
            if (options.recursive && !found) process_directory(name, session);
            else if (!found) session.report.warning(name + " is a directory -- ignored");
            return;
        }
        if (found && !S_ISREG(st.st_mode)) return;
        input.fd = input.owned.get();
        input.file = st;
    }
    const std::string shown = input.name;
    try {
        Job(session, std::move(input)).run();
    } catch (const OutputExists& e) {
        session.report.warning(e.what());
    } catch (const FrameError& e) {
        session.report.error(shown + ": " + e.what());
    } catch (const std::bad_alloc&) {
        session.report.error(shown + ": out of memory");
    } catch (const std::exception& e) {
        session.report.error(shown + ": " + e.what());
    }
}

}  // namespace zelk::cli
