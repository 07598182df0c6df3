// The progress line is redrawn in place with a carriage return and padded
// to cover its previous text, which works on any terminal; at most five
// redraws a second.
#include "progress.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "base/fd_write.h"

namespace zelk::cli {
namespace {

using Clock = std::chrono::steady_clock;

std::string mebibytes(uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}

}  // namespace

ProgressLine::ProgressLine(std::string program, std::string name, std::optional<uint64_t> input_size,
                           bool enabled, bool immediate)
    : prefix_(std::move(program) + ": " + std::move(name) + " "),
      input_size_(input_size),
      enabled_(enabled),
      immediate_(immediate),
      start_(Clock::now()),
      last_shown_(start_) {}

ProgressLine::~ProgressLine() {
    if (shown_width_ > 0) show("\r" + std::string(shown_width_, ' ') + "\r");
}

void ProgressLine::update(uint64_t input_bytes, uint64_t output_bytes) {
    if (!enabled_) return;
    const auto now = Clock::now();
    const bool due = shown_width_ == 0 ? (immediate_ || now - start_ >= std::chrono::seconds(1))
                                       : now - last_shown_ >= std::chrono::milliseconds(200);
    if (!due) return;
    last_shown_ = now;

    std::string text = prefix_;
    if (input_size_ && *input_size_ > 0) {
        char percent[16];
        std::snprintf(percent, sizeof percent, "%3u%% ",
                      static_cast<unsigned>(input_bytes * 100 / *input_size_));
        text += percent;
    }
    const double seconds = std::chrono::duration<double>(now - start_).count();
    char rate[32];
    // The larger side is the uncompressed one, compressing or not.
    const auto data_bytes = static_cast<double>(std::max(input_bytes, output_bytes));
    std::snprintf(rate, sizeof rate, "  %.2f MB/s", seconds > 0 ? data_bytes / seconds / 1e6 : 0.0);
    text += mebibytes(input_bytes) + " -> " + mebibytes(output_bytes) + rate;
    const size_t width = text.size();
    if (width < shown_width_) text += std::string(shown_width_ - width, ' ');
    show("\r" + text);
    shown_width_ = std::max(shown_width_, width);
}

void ProgressLine::show(const std::string& text) {
    if (write_all(STDERR_FILENO, text) != 0) enabled_ = false;  // stop drawing, keep working
}

}  // namespace zelk::cli
