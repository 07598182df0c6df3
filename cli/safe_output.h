// Output files that appear whole or not at all. Data goes to a temporary
// file beside the destination, which is renamed onto it only once complete;
// on failure, or when the program is ended by any signal it can catch but a
// fault of its own, the temporary file is removed and the destination is
// untouched.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <stdexcept>
#include <string>

#include "fd_stream.h"

namespace zelk::cli {

// The destination appeared while we worked and may not be replaced.
class OutputExists : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Sets up the removal of temporary files on the terminating signals.
// Called once, before any TempOutput exists.
void install_interrupt_cleanup();

class TempOutput {
public:
    // Creates the temporary file with permissions `mode`. One TempOutput
    // may exist at a time.
    TempOutput(std::string destination, mode_t mode);
    ~TempOutput();
    TempOutput(const TempOutput&) = delete;
    TempOutput& operator=(const TempOutput&) = delete;

    int fd() const { return fd_.get(); }

    // Gives the file the input's owner, group, access and modification
    // times (when given), closes it and renames it onto the destination: over an
    // existing file only if `replace`, otherwise throwing OutputExists.
    // `durable` flushes file and directory to disk first, for when the
    // input is removed next.
    void commit(const std::optional<struct stat>& times_from, bool replace, bool durable);

private:
    void discard() noexcept;

    std::string destination_;
    std::string temp_path_;
    UniqueFd fd_;
    bool committed_ = false;
};

}  // namespace zelk::cli
