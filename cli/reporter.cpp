// Every message goes out as one write, so that lines from a progress bar or
// another process do not split it.
#include "reporter.h"

#include <unistd.h>

namespace zelk::cli {

void Reporter::print(const std::string& message) const {
    const std::string line = program_ + ": " + message + "\n";
    size_t done = 0;
    while (done < line.size()) {
        ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
        if (n <= 0) return;  // nowhere left to complain to
        done += static_cast<size_t>(n);
    }
}

void Reporter::error(const std::string& message) {
    print(message);
    status_ = 1;
}

void Reporter::warning(const std::string& message) {
    if (verbosity_ >= 0) print(message);
    if (status_ == 0) status_ = 2;
}

void Reporter::info(const std::string& message) {
    if (verbosity_ > 0) print(message);
}

}  // namespace zelk::cli
