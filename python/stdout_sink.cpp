// write(2) loop for the debug line: partial writes continue, EINTR retries,
// EBADF (nothing open on descriptor 1) counts as written.
#include "stdout_sink.h"

#include <fault.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace zelk::py {

void StdoutSink::write_line(std::string_view line) {
    while (!line.empty()) {
        const ssize_t written = ::write(STDOUT_FILENO, line.data(), line.size());
        if (written > 0) {
            line.remove_prefix(static_cast<std::size_t>(written));
            continue;
        }
        const int error = written == 0 ? EIO : errno;  // no progress on a non-empty write
        if (error == EINTR) continue;
        if (error == EBADF) return;
        zelk::fault(std::string("failed printing to stdout: ") + std::strerror(error));
    }
}

}  // namespace zelk::py
