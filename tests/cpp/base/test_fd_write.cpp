// Writing a whole buffer: past the pipe's capacity, so that the kernel takes
// it in partial writes, and the errno of a descriptor that is not open.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <thread>
#include <vector>

#include "base/fd_write.h"
#include "test_support.h"

namespace zelk {
namespace {

TEST(WriteAll, DeliversEveryByteThroughPartialWrites) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const test::Bytes data = test::random_bytes(std::size_t{3} << 20, 1);
    test::Bytes received;
    std::thread reader([&] {
        uint8_t buffer[7919];  // reads of an odd size, so the writes split unevenly
        for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) received.insert(received.end(), buffer, buffer + n);
    });
    EXPECT_EQ(write_all(fds[1], data), 0);
    close(fds[1]);
    reader.join();
    close(fds[0]);
    EXPECT_EQ(received, data);
}

TEST(WriteAll, ReturnsTheErrorOfAFailedWrite) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[1]);
    EXPECT_EQ(write_all(fds[1], std::string_view("lost")), EBADF);
    EXPECT_EQ(write_all(fds[0], std::string_view("read end")), EBADF);
    close(fds[0]);
    EXPECT_EQ(write_all(fds[1], std::string_view{}), 0);  // nothing to write: no call made
}

}  // namespace
}  // namespace zelk
