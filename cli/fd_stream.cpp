// Reads and writes retried across signals and short transfers.
#include "fd_stream.h"

#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "base/fd_write.h"

namespace zelk::cli {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

UniqueFd::~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
}

void UniqueFd::close() {
    const int fd = std::exchange(fd_, -1);
    if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) {
        throw std::system_error(errno, std::generic_category(), "write error");
    }
}

size_t FdSource::read(std::span<uint8_t> buffer) {
    for (;;) {
        const ssize_t n = ::read(fd_, buffer.data(), buffer.size());
        if (n >= 0) return static_cast<size_t>(n);
        if (errno != EINTR) throw std::system_error(errno, std::generic_category(), "read error");
    }
}

void FdSink::write(std::span<const uint8_t> data) {
    if (const int error = write_all(fd_, data)) throw std::system_error(error, std::generic_category(), "write error");
}

}  // namespace zelk::cli
