// Every message goes out as one write, so that lines from a progress bar or
// another process do not split it.
#include "reporter.h"

#include <unistd.h>

#include "base/fd_write.h"

namespace zelk::cli {

void Reporter::print(const std::string& message) const {
    const std::string line = program_ + ": " + message + "\n";
    (void)write_all(STDERR_FILENO, line);  // a failure leaves nowhere to complain to
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
