#include "base/fd_write.h"

#include <unistd.h>

#include <cerrno>

namespace zelk {

int write_all(int fd, std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n > 0) {
            bytes = bytes.subspan(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return n == 0 ? EIO : errno;
    }
    return 0;
}

int write_all(int fd, std::string_view text) {
    return write_all(fd, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

}  // namespace zelk
