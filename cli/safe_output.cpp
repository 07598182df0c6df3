// The temporary file's name sits in a fixed buffer that the signal handler
// reads; signals are blocked while the buffer and the file's existence
// change together, so the handler never sees one without the other.
#include "safe_output.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace zelk::cli {
namespace {

char g_temp_path[PATH_MAX];
volatile sig_atomic_t g_temp_armed = 0;

// Every signal whose default action ends the process and that a handler may
// catch, but those that report a fault of the program itself (SIGSEGV, ...).
constexpr int CLEANUP_SIGNALS[] = {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGALRM, SIGTERM, SIGUSR1, SIGUSR2,
                                   SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGPOLL};

extern "C" void remove_temp_and_die(int signal_number) {
    if (g_temp_armed) ::unlink(g_temp_path);
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
}

// Blocks the cleanup signals for the calling thread while alive.
class SignalBlock {
public:
    SignalBlock() {
        sigset_t set;
        sigemptyset(&set);
        for (int s : CLEANUP_SIGNALS) sigaddset(&set, s);
        pthread_sigmask(SIG_BLOCK, &set, &previous_);
    }
    ~SignalBlock() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    SignalBlock(const SignalBlock&) = delete;
    SignalBlock& operator=(const SignalBlock&) = delete;

private:
    sigset_t previous_;
};

[[noreturn]] void fail(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// ".NAME.XXXXXX" beside the destination, NAME shortened where the whole
// would pass the directory's limit on names, so that any name the system
// takes as a destination has a temporary file.
std::string temp_name_for(const std::string& destination) {
    const size_t slash = destination.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : destination.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? destination : destination.substr(slash + 1);
    const long name_max = ::pathconf(dir.empty() ? "." : dir.c_str(), _PC_NAME_MAX);
    const size_t room = name_max > 8 ? static_cast<size_t>(name_max) - 8 : 1;
    if (base.size() > room) base.resize(room);
    return dir + "." + base + ".XXXXXX";
}

void sync_directory_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd || ::fsync(fd.get()) != 0) fail("cannot flush directory " + dir);
}

}  // namespace

void install_interrupt_cleanup() {
    struct sigaction action {};
    action.sa_handler = remove_temp_and_die;
    sigemptyset(&action.sa_mask);
    for (int s : CLEANUP_SIGNALS) {
        struct sigaction old {};
        // A signal ignored at start (nohup, background jobs) stays ignored.
        if (sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        sigaction(s, &action, nullptr);
    }
}

TempOutput::TempOutput(std::string destination, mode_t mode)
    : destination_(std::move(destination)), temp_path_(temp_name_for(destination_)) {
    if (temp_path_.size() >= sizeof g_temp_path) {
        errno = ENAMETOOLONG;
        fail("cannot create " + destination_);
    }
    if (g_temp_armed) throw std::logic_error("only one temporary output at a time");
    SignalBlock block;
    fd_ = UniqueFd(::mkostemp(temp_path_.data(), O_CLOEXEC));
    if (!fd_) fail("cannot create a temporary file for " + destination_);
    std::memcpy(g_temp_path, temp_path_.c_str(), temp_path_.size() + 1);
    g_temp_armed = 1;
    if (::fchmod(fd_.get(), mode) != 0) {
        const int saved = errno;
        discard();
        errno = saved;
        fail("cannot set the permissions of " + destination_);
    }
}

TempOutput::~TempOutput() {
    if (!committed_) discard();
}

void TempOutput::discard() noexcept {
    SignalBlock block;
    fd_ = UniqueFd();
    ::unlink(temp_path_.c_str());
    g_temp_armed = 0;
}

void TempOutput::commit(const std::optional<struct stat>& times_from, bool replace, bool durable) {
    if (times_from) {
        // Owner, group and times are a courtesy; their loss is no failure
        // (only root may give a file away).
        if (::fchown(fd_.get(), times_from->st_uid, times_from->st_gid) != 0) {
            (void)::fchown(fd_.get(), static_cast<uid_t>(-1), times_from->st_gid);
        }
        const struct timespec times[2] = {times_from->st_atim, times_from->st_mtim};
        ::futimens(fd_.get(), times);
    }
    if (durable && ::fsync(fd_.get()) != 0) fail("cannot flush " + destination_);
    fd_.close();

    SignalBlock block;
    int result = 0;
    if (replace) {
        result = ::rename(temp_path_.c_str(), destination_.c_str());
    } else {
        result = ::renameat2(AT_FDCWD, temp_path_.c_str(), AT_FDCWD, destination_.c_str(), RENAME_NOREPLACE);
        if (result != 0 && (errno == EINVAL || errno == ENOSYS)) {
            // File systems without the exclusive rename: a hard link is exclusive too.
            result = ::link(temp_path_.c_str(), destination_.c_str());
            if (result == 0) ::unlink(temp_path_.c_str());
        }
    }
    if (result != 0) {
        if (errno == EEXIST) throw OutputExists(destination_ + " already exists; not overwritten");
        fail("cannot create " + destination_);
    }
    committed_ = true;
    g_temp_armed = 0;
    if (durable) sync_directory_of(destination_);
}

}  // namespace zelk::cli
