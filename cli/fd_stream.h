// File descriptors for the frame's byte streams: an owning handle, and a
// source and a sink over a descriptor that report failures as
// std::system_error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "frame/frame_io.h"

namespace zelk::cli {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    ~UniqueFd();

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Closes now, reporting a failed close (which can mean lost data).
    void close();

private:
    int fd_ = -1;
};

class FdSource final : public ByteSource {
public:
    explicit FdSource(int fd) : fd_(fd) {}
    size_t read(std::span<uint8_t> buffer) override;

private:
    int fd_;
};

class FdSink final : public ByteSink {
public:
    explicit FdSink(int fd) : fd_(fd) {}
    void write(std::span<const uint8_t> data) override;

private:
    int fd_;
};

}  // namespace zelk::cli
