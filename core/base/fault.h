// Internal faults: conditions the library treats as fatal to the current call
// (a NaN reaching fixed-point conversion, a failed interpreter call that must
// not fail, ...). A fault writes its report to standard error at the moment it
// occurs and then unwinds the call as a `Fault` exception; the call boundary
// of the Python module is the only place that catches it.
#pragma once

#include <exception>
#include <source_location>
#include <string>

namespace zelk {

class Fault : public std::exception {
public:
    explicit Fault(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const { return message_; }

private:
    std::string message_;
};

// Writes the fault report (thread, source position, message, backtrace hint)
// to standard error and throws Fault with the message.
[[noreturn]] void fault(std::string message,
                        std::source_location where = std::source_location::current());

}  // namespace zelk
