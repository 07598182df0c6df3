// The encoder's debug line, written straight to file descriptor 1 rather
// than through Python's sys.stdout: redirecting sys.stdout does not catch it.
#pragma once

#include "codec/codec.h"

#include <string_view>

namespace zelk::py {

// Writes each line with write(2) in one go (a line-buffered stream flushed at
// its newline). A closed descriptor 1 drops the line silently; any other
// failure is an internal fault "failed printing to stdout: <system error>".
class StdoutSink final : public DebugSink {
public:
    void write_line(std::string_view line) override;
};

}  // namespace zelk::py
