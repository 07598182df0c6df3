// Messages on standard error and the exit status they add up to, as gzip
// keeps them: 0 when all went well, 1 once anything failed, otherwise 2 once
// anything was only warned about. Quiet mode drops warnings, not errors.
#pragma once

#include <string>

namespace zelk::cli {

class Reporter {
public:
    Reporter(std::string program, int verbosity) : program_(std::move(program)), verbosity_(verbosity) {}

    void error(const std::string& message);
    void warning(const std::string& message);
    void info(const std::string& message);  // shown with -v

    int exit_status() const { return status_; }
    const std::string& program() const { return program_; }
    int verbosity() const { return verbosity_; }

private:
    void print(const std::string& message) const;

    std::string program_;
    int verbosity_;
    int status_ = 0;
};

}  // namespace zelk::cli
