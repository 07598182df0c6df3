// The debug line goes out whole; EBADF (nothing open on descriptor 1) counts
// as written, any other failure is a fault.
#include "stdout_sink.h"

#include "base/fault.h"
#include "base/fd_write.h"
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace zelk::py {

void StdoutSink::write_line(std::string_view line) {
    const int error = write_all(STDOUT_FILENO, line);
    if (error == 0 || error == EBADF) return;  // EBADF: nothing open on descriptor 1
    zelk::fault(std::string("failed printing to stdout: ") + std::strerror(error));
}

}  // namespace zelk::py
