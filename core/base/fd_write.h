// Writing a whole buffer to a file descriptor: write(2) until every byte is
// out, resuming after partial writes and EINTR. What to do with a failure is
// the caller's policy (throw, report, ignore), so it is returned, not acted on.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace zelk {

// 0 once every byte is written, else the errno of the failed write (EIO for
// a write that made no progress). Bytes before the failure may have been
// written.
int write_all(int fd, std::span<const uint8_t> bytes);
int write_all(int fd, std::string_view text);

}  // namespace zelk
