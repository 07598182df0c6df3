// A one-line progress display on standard error for work that takes a
// while: bytes in and out, the share of the input done when its size is
// known, and the speed. It appears only after a second of work (at once
// when forced with --progress) and erases itself when done.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace zelk::cli {

class ProgressLine {
public:
    ProgressLine(std::string program, std::string name, std::optional<uint64_t> input_size,
                 bool enabled, bool immediate);
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    void update(uint64_t input_bytes, uint64_t output_bytes);

private:
    void show(const std::string& text);

    std::string prefix_;
    std::optional<uint64_t> input_size_;
    bool enabled_;
    bool immediate_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_shown_;
    size_t shown_width_ = 0;
};

}  // namespace zelk::cli
